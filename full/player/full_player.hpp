// The player of opmcast-full (player/fullplayer.s, assembled and built into the program) and the
// X68000 executable made of it and a register stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The player is a whole Human68k executable: the 64-byte header and 370 bytes of code (the
// head), then a 12-byte data section of end markers (the tail). A program is the head, the
// stream, then the tail, with the text size in the header covering the code and the stream.
inline constexpr std::size_t FULL_PLAYER_SIZE = 446;
inline constexpr std::size_t FULL_PLAYER_HEAD_SIZE = 434;  // file offset of the stream
inline constexpr std::size_t FULL_PLAYER_TAIL_SIZE = 12;
inline constexpr std::size_t FULL_PLAYER_TEXT_SIZE_OFFSET = 12;  // big-endian, 4 bytes

// The assembled player, fullplayer.bin.
std::span<const std::uint8_t, FULL_PLAYER_SIZE> fullPlayerBytes();

// The header's text size field for a stream of streamLength bytes: the code and the stream,
// big-endian. Throws std::length_error when it would not fit the field's 32 bits.
std::array<std::uint8_t, 4> fullProgramTextSize(std::uint64_t streamLength);

// The program that replays `stream` (pairs as docs/full-mode.md describes them): head, stream,
// tail, the text size set to 370 + the stream's length. The tail's end markers stop the player
// should the stream lack one. Throws std::invalid_argument for a stream of odd length (the
// player reads pairs, and Human68k sections have even sizes) and std::length_error for one whose
// text size would not fit the header's 32 bits.
std::vector<std::uint8_t> buildFullProgram(std::span<const std::uint8_t> stream);
