// The RegisterStream inside an X68000 executable written by opmcast or opmcast-full: the
// player head (434 bytes for opmcast's, 704 for opmcast-full's), the stream of byte pairs
// through its end marker, the 12-byte player tail, and the header's text size covering head and
// stream.
#pragma once

#include <optional>

#include "dump/opm_registers.hpp"
#include "dump/problem.hpp"

struct StreamPair {
    std::uint64_t offset;  // in the file
    std::uint8_t first;
    std::uint8_t second;
};

struct ExecutableStream {
    PlayerKind player = PlayerKind::classic;
    std::uint64_t length = 0;       // of the file
    std::uint32_t sizeField = 0;    // big-endian text size at offsets 12-15
    std::vector<StreamPair> pairs;  // from the stream's offset through the end marker
};

// File offset of the stream: the size of the player's head.
std::uint64_t streamOffset(PlayerKind player);

// The bytes of a stream opening: a wait, noise off, the LFO rate, the two PSG-voice channels'
// 28 registers each and their key-on.
inline constexpr int PROLOGUE_BYTES = 122;

// Whether the file begins with the player of opmcast-full: the 704 bytes of its head, all but
// the text size at offsets 12-15, which covers the stream, and the bank's offset at 66-69. Any
// other "HU" file is read as a program of opmcast.
bool hasFullPlayerHead(const Bytes& file);

// Checks the whole layout before anything is reported: the magic, the length, the pairs
// (registers the OPM has, at most one loop marker, an end marker followed by exactly the
// player tail) and the text size. A classic stream holds at least the prologue; a full stream
// never writes the timer registers 10-14. Fills `stream` and returns nothing when all is well.
std::optional<Problem> readExecutable(const Bytes& file, ExecutableStream& stream);
