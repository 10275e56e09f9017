// The RegisterStream inside an X68000 executable written by opmcast or opmcast-full: the
// player head, the stream of byte pairs through its end marker, for opmcast-full the drums'
// bank, then the player tail, and the header's text size covering all but header and tail.
#pragma once

#include <optional>

#include "dump/drum_bank.hpp"
#include "dump/opm_registers.hpp"
#include "dump/problem.hpp"

struct StreamPair {
    std::uint64_t offset;  // in the file
    std::uint8_t first;
    std::uint8_t second;
    bool sampleNumber = false;  // the number of the ADPCM start before it, no command
};

struct ExecutableStream {
    PlayerKind player = PlayerKind::classic;
    std::uint64_t length = 0;        // of the file
    std::uint64_t streamOffset = 0;  // the player head's size
    std::uint64_t tailSize = 0;      // the player tail's
    std::uint32_t sizeField = 0;     // big-endian text size at offsets 12-15
    std::vector<StreamPair> pairs;   // from the stream offset through the end marker
    std::optional<DrumBank> bank;    // a full program's drums
};

// File offset of the stream: the size of the player's head.
std::uint64_t streamOffset(PlayerKind player);

// The bytes of a stream opening: a wait, noise off, the LFO rate, the two PSG-voice channels'
// 28 registers each and their key-on.
inline constexpr int PROLOGUE_BYTES = 122;

// Whether the file begins with the player of opmcast-full: the bytes of its head, all but the
// text size at offsets 12-15, which covers the stream, and the bank's offset at 66-69. Any
// other "HU" file is read as a program of opmcast.
bool hasFullPlayerHead(const Bytes& file);

// A pair's group as the player reads it in its place: the pair after an ADPCM start is that
// start's sample number.
PairGroup streamPairGroup(PlayerKind player, const StreamPair& pair);
// The steps a pair waits in its place: none for a sample number.
unsigned streamPairSteps(PlayerKind player, const StreamPair& pair);

// Checks the whole layout before anything is reported: the magic, the length, the pairs
// (registers the OPM has, at most one loop marker, an end marker followed by exactly the
// player tail, or by a full program's drums' bank and the tail), the bank, and the text size.
// A classic stream holds at least the prologue; a full stream never writes the timer
// registers 10-14. Fills `stream` and returns nothing when all is well.
std::optional<Problem> readExecutable(const Bytes& file, ExecutableStream& stream);
