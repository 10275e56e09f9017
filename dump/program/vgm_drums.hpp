// The drums of a full program in its VGM export: the X68000's MSM6258 as VGM's OKIM6258,
// its samples in a data block, each start of the stream a DAC stream of that block.
#pragma once

#include <optional>

#include "dump/program/executable_stream.hpp"

inline constexpr std::uint32_t VGM_DRUMS_VERSION = 0x171;  // the OKIM6258 needs 1.61
inline constexpr std::size_t VGM_DRUMS_HEADER_SIZE = 0x100;
inline constexpr std::uint32_t OKIM6258_CLOCK = 8000000;  // the X68000's ADPCM clock, Hz
// Header 0x94 bits 3-2: 4-bit ADPCM and 12-bit output (in 10-bit mode MAME's vgmplay clips
// the signal at a quarter of the chip's range); bits 1-0 the first sample's divider.
inline constexpr std::uint8_t OKIM6258_FLAGS = 0x0C;
// MAME takes a new divider at its next sound update, up to 20 ms later; a sample whose
// bytes come before that is decoded at the old rate and, as the chip's signal is the sum of
// its steps, stays wrong to its end. A divider is written at least this many VGM samples
// before the start that needs it.
inline constexpr std::uint64_t DIVIDER_LEAD = 1024;

// A start that plays, as the export meets it.
struct PlannedStart {
    std::uint64_t sample;  // VGM samples from the start of the stream
    std::uint8_t dividerBits;
};

// What the chip plays while the export goes on, and the starts to come.
struct VgmDrums {
    const DrumBank* bank = nullptr;
    std::vector<PlannedStart> starts;  // in stream order, up to the end of the song
    std::size_t next = 0;              // the next of them
    std::size_t afterLoop = 0;         // the first one after the loop marker
    std::uint8_t divider = 0x08;       // the chip's, as port C bits 3-2
    bool playing = false;
    std::uint8_t stream = 0;      // the DAC stream that feeds it
    std::uint64_t endSample = 0;  // where its bytes run out
};

// The starts of a program with drums that play something.
VgmDrums planDrums(const ExecutableStream& stream);
// The header fields (0x90, 0x94), the bank's bytes as one data block of type 0x04, and a DAC
// stream for each rate the bank's samples play at (0x90-0x92: chip 0x17, register 0x01, a
// byte a step at half the sample rate). A bank of 2 GiB or more is a problem.
std::optional<Problem> putDrumBank(const VgmDrums& drums, Bytes& vgm);
// Waits of any length as 0x61 commands of at most 65535 samples each.
void putVgmWait(Bytes& vgm, std::uint64_t samples);
// Waits from sample `from` to `to`, stopping on the way the sample whose bytes run out and
// setting the divider of the next start in time.
void advanceDrums(VgmDrums& drums, Bytes& vgm, std::uint64_t from, std::uint64_t to);
// Stops what plays, then starts the sample: the divider, the sides (port C bits 1-0), PLAY,
// its stream from the sample's offset for its bytes (0x93). Nothing for a start that plays
// nothing.
void startDrum(VgmDrums& drums, Bytes& vgm, std::uint8_t code, std::uint16_t number,
               std::uint64_t sample);
// A side change (00 F4-00 F7): the pan of the sample playing set to the code's bits 1-0
// (0x02: port C bits 1-0, which turn a side off), as the player sets port C while the
// transfer runs; nothing when nothing plays. MAME's vgmplay ignores the pan, libvgm honours it.
void sidesDrum(const VgmDrums& drums, Bytes& vgm, std::uint8_t code);
// DAC stream stop 0x94, the chip's STOP, both sides muted, as the player does when a sample
// ends; nothing when nothing plays.
void stopDrum(VgmDrums& drums, Bytes& vgm);
// At the end of the song: the ADPCM stopped and, for a song that loops, ready for the first
// start after the loop marker.
void endDrums(VgmDrums& drums, Bytes& vgm, bool loops);
