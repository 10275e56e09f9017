// The player of opmcast-full (player/fullplayer.s, assembled and built into the program) and the
// X68000 executable made of it and a register stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The player is a whole Human68k executable: the 64-byte header and 1600 bytes of code (the
// head), then a 12-byte data section of end markers (the tail). A program is the head, the
// stream and the bank, then the tail, with the text size in the header covering the code, the
// stream and the bank.
inline constexpr std::size_t FULL_PLAYER_SIZE = 1676;
inline constexpr std::size_t FULL_PLAYER_HEAD_SIZE = 1664;  // file offset of the stream
inline constexpr std::size_t FULL_PLAYER_TAIL_SIZE = 12;
inline constexpr std::size_t FULL_PLAYER_TEXT_SIZE_OFFSET = 12;  // big-endian, 4 bytes
// The text offset of the drums' bank table, 0 without drums: a long word the player's first
// instruction branches over.
inline constexpr std::size_t FULL_PLAYER_BANK_OFFSET = 66;  // big-endian, 4 bytes
// The text offset of the display block (the header's lines and the time line's pattern), 0
// without a display, and the passes through the loop before the fade (0: until a key).
inline constexpr std::size_t FULL_PLAYER_DISPLAY_OFFSET = 70;  // big-endian, 4 bytes
inline constexpr std::size_t FULL_PLAYER_LOOPS_OFFSET = 74;    // big-endian, 2 bytes
// The text offset of an album's table, 0 in a program of one song.
inline constexpr std::size_t FULL_PLAYER_ALBUM_OFFSET = 76;  // big-endian, 4 bytes

// An album's table: the number of tracks (word, 1 to FULL_ALBUM_MOST_TRACKS), flags (word;
// bit 0: start again after the last track), then an entry a track: its stream's text offset
// (long), its display block's (long, 0: none), its passes before the fade (word, 0: until a
// key) and a spare word.
inline constexpr std::size_t FULL_ALBUM_ENTRY_SIZE = 12;
inline constexpr std::uint16_t FULL_ALBUM_REPEAT = 0x0001;
inline constexpr int FULL_ALBUM_MOST_TRACKS = 999;

// One ADPCM sample of the bank, as the player hands it to DMA channel 3.
struct FullBankSample {
    std::vector<std::uint8_t> bytes;  // two 4-bit codes a byte, low nibble first; empty: left out
    std::uint8_t dividerBits = 0x08;  // PPI port C bits 3-2: $08 for 512, $04 768, $00 1024
};
// A sample holds at most this many bytes, so that with its closing $80 one DMA count covers it.
inline constexpr std::size_t FULL_BANK_SAMPLE_LIMIT = 65534;
// The bank that follows the stream: the table (8 bytes a sample: offset from the table's start,
// long; byte count, word, 0 for a sample left out; divider bits; a spare 0), then the samples,
// each closed by a $80 byte (the MSM6258 repeats its last byte until it is stopped, and $80
// moves the signal by +step/8 then -step/8), padded to an even length. Throws
// std::length_error for a sample over FULL_BANK_SAMPLE_LIMIT.
std::vector<std::uint8_t> fullBankBytes(std::span<const FullBankSample> samples);

// The assembled player, fullplayer.bin.
std::span<const std::uint8_t, FULL_PLAYER_SIZE> fullPlayerBytes();

// The player's head for a program of a stream of streamLength bytes, a bank of bankLength
// (0: no drums) and a display block of displayLength (0: no display), which follow one another
// in the text section: the text size and the three fields set. Throws std::length_error when
// the text would not fit the header's 32 bits.
std::array<std::uint8_t, FULL_PLAYER_HEAD_SIZE> fullProgramHead(std::uint64_t streamLength,
                                                                std::uint64_t bankLength,
                                                                std::uint64_t displayLength,
                                                                std::uint16_t loops);

// The program that replays `stream` (pairs as docs/full-mode.md describes them): head, stream,
// bank (fullBankBytes), display block, tail. The tail's end markers stop the player should the
// stream lack one. Throws std::invalid_argument for a part of odd length (the player reads
// pairs, and Human68k sections have even sizes) and std::length_error for a text size beyond
// the header's 32 bits.
std::vector<std::uint8_t> buildFullProgram(std::span<const std::uint8_t> stream,
                                           std::span<const std::uint8_t> bank = {},
                                           std::span<const std::uint8_t> display = {},
                                           std::uint16_t loops = 0);

// One track of an album: its stream (with its fade where it plays a set number of passes),
// its display block and its passes.
struct FullAlbumTrack {
    std::vector<std::uint8_t> stream;
    std::vector<std::uint8_t> display;
    std::uint16_t loops = 0;
};
// The program that plays the tracks one after the other: head, the tracks' streams in order,
// the shared bank, the album's display block (the keys and the track list), the tracks'
// display blocks, the album's table, tail. Throws as buildFullProgram does, and
// std::invalid_argument for no track or more than FULL_ALBUM_MOST_TRACKS.
std::vector<std::uint8_t> buildFullAlbum(std::span<const FullAlbumTrack> tracks,
                                         std::span<const std::uint8_t> bank,
                                         std::span<const std::uint8_t> albumDisplay, bool repeat);
