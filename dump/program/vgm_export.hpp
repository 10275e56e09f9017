// The RegisterStream of an executable as a VGM file for the YM2151: what the player sends to
// the chip, at the sample it sends it, playable by any VGM player.
#pragma once

#include <optional>
#include <string>

#include "dump/album/album.hpp"
#include "dump/program/executable_stream.hpp"

inline constexpr std::uint32_t VGM_EXPORT_VERSION = 0x151;
inline constexpr std::uint32_t OPM_CLOCK = 4000000;  // the X68000's YM2151, Hz
inline constexpr std::size_t VGM_EXPORT_HEADER_SIZE = 0x80;

// The player's start-up writes, then one 0x54 write per register pair the player passes on,
// the waits as 0x61 commands (merged), the loop marker as the header's loop offset and loop
// samples, and the end command 0x66. Each pair goes at the sample of its step from the start
// of the stream (stepToSamples): 787 samples a tick for the classic player; round(787 / 5 ·
// step) for the full player, so its waits come out 157 or 158 samples a step and never drift.
// A loop with no wait in it is left out: a VGM player would spin on it without advancing
// time. A stream longer than the 32-bit sample count of a VGM file (about 27 hours) is a
// problem.
//
// The classic player passes neither the timer registers nor 0x1B. The full player passes
// 0x1B with its bits 1-0 (the LFO waveform) and the system's bits 7-6, which drive the ADPCM
// clock and the floppy READY line and play no part in the sound: they are written clear. It
// ends the song at 00 F8-00 FD, without looping. The fade a full program plays after its last
// pass is left out: the VGM holds the song once through with its loop point, and a VGM
// player loops it as often as it is told. A full program with drums
// comes out as VGM 1.71 with the OKIM6258 beside the YM2151 (vgm_drums.hpp), its ADPCM starts
// and stops at their samples, its side changes as the chip's pan at theirs, the ADPCM stopped
// at the end of the song. A program's display block gives the file its GD3 tag (vgm_gd3.hpp).
std::optional<Problem> exportVgm(const ExecutableStream& stream, Bytes& vgm);

// The whole album in one VGM file: each track as exportVgm writes it, once through without a
// loop, one after the other; between tracks the player's clean state (the ADPCM stopped, the
// keys off, noise and LFO cleared, every TL at 7F). The drums come from the shared bank; the
// tag holds what the tracks' display blocks share and lists their titles (albumTag).
std::optional<Problem> exportAlbumVgm(const Album& album, Bytes& vgm);

// Writes bytes to a temporary file beside name and renames it into place; on failure removes
// the temporary file and returns the reason.
std::optional<std::string> writeFileInPlace(const std::string& name, const Bytes& bytes);
