// The output executable: the player stub's head, the RegisterStream, the stub's tail, and
// the header's text size corrected to cover the stream.
#pragma once

#include <cstdint>

struct RunState;

inline constexpr int STUB_HEAD_SIZE = 434;           // header and player code
inline constexpr int STUB_TAIL_SIZE = 12;            // the player's data section
inline constexpr std::uint16_t STUB_MAGIC = 0x5548;  // 'H', 'U' read as a little-endian word
inline constexpr int EXECUTABLE_HEADER_SIZE = 64;    // the header before the text section
inline constexpr int TEXT_SIZE_FIELD = 12;           // big-endian 32-bit text size

// The text size of an executable of the given length: the player code and the stream, i.e.
// everything but the header and the data section (the stub tail).
constexpr std::int64_t textSizeFor(std::int64_t length) {
    return length - EXECUTABLE_HEADER_SIZE - STUB_TAIL_SIZE;
}

// Writes the two magic bytes already read from the stub, then the rest of its head.
void copyStubHead(RunState& state);
// Writes the end marker and the stub tail, then patches the text size.
void finishExecutable(RunState& state);
