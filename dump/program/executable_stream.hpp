// The RegisterStream inside an X68000 executable written by opmcast or opmcast-full: the
// player head, the stream of byte pairs through its end marker, for opmcast-full the fade, the
// drums' bank and the display block, then the player tail, and the header's text size
// covering all but header and tail.
#pragma once

#include <algorithm>
#include <optional>
#include <string>

#include "dump/problem.hpp"
#include "dump/program/drum_bank.hpp"
#include "dump/program/opm_registers.hpp"

struct StreamPair {
    std::uint64_t offset;  // in the file
    std::uint8_t first;
    std::uint8_t second;
    bool sampleNumber = false;  // the number of the ADPCM start before it, no command
};

// What a full program shows on the text screen (the long word at file offset 70): the
// header's lines (ASCII or Shift-JIS, each ended by CR LF), a NUL, the time line's pattern, a
// NUL, and a NUL more for an even length.
struct DisplayBlock {
    std::uint64_t at = 0;    // file offset
    std::uint64_t size = 0;  // to the player tail
    std::string header;      // the bytes the player prints before the music, CR LF included
    std::string timeLine;    // the pattern, PATTERN_TIME and PATTERN_PASS where it fills in
};
inline constexpr char PATTERN_TIME = 0x01;  // the time played, m:ss
inline constexpr char PATTERN_PASS = 0x02;  // the pass through the loop, from 1

struct ExecutableStream {
    PlayerKind player = PlayerKind::classic;
    std::uint64_t length = 0;        // of the file
    std::uint64_t streamOffset = 0;  // the player head's size
    std::uint64_t tailSize = 0;      // the player tail's
    std::uint32_t sizeField = 0;     // big-endian text size at offsets 12-15
    // From the stream offset through the end marker, then the fade's pairs, if any.
    std::vector<StreamPair> pairs;
    // A full program's passes through the loop before the fade (the word at file offset 74;
    // 0: until a key), and the pairs at the end of `pairs` that are the fade: after the end
    // marker, through the 00 F8 that ends it, played once after the last pass.
    std::uint16_t loops = 0;
    std::size_t fadePairs = 0;
    std::optional<DrumBank> bank;         // a full program's drums
    std::optional<DisplayBlock> display;  // and its text screen
};

// The pairs of one pass: all but the fade.
inline std::size_t passPairs(const ExecutableStream& stream) {
    return stream.pairs.size() - std::min(stream.fadePairs, stream.pairs.size());
}

// File offset of the stream: the size of the player's head.
std::uint64_t streamOffset(PlayerKind player);

// The bytes of a stream opening: a wait, noise off, the LFO rate, the two PSG-voice channels'
// 28 registers each and their key-on.
inline constexpr int PROLOGUE_BYTES = 122;

// Whether the file begins with the player of opmcast-full: the bytes of its head, all but the
// fields the converter sets: the text size at offsets 12-15, the bank's and the display
// block's offsets at 66-73, the passes at 74-75 and an album's table at 76-79. Any other "HU" file
// is read as a program of opmcast.
bool hasFullPlayerHead(const Bytes& file);

// A pair's group as the player reads it in its place: the pair after an ADPCM start is that
// start's sample number.
PairGroup streamPairGroup(PlayerKind player, const StreamPair& pair);
// The steps a pair waits in its place: none for a sample number.
unsigned streamPairSteps(PlayerKind player, const StreamPair& pair);

// The magic, the length (the player's head and tail, for a classic program its prologue, an
// end marker) and an even length.
std::optional<Problem> checkLayout(const Bytes& file, PlayerKind player);

// The display block whose text offset is the long word at `fieldOffset` (none when it is 0): it
// lies after the head and runs to `end` (named `endName` in a problem), its header and its
// time line each ended by a NUL, then at most one NUL for an even length.
std::optional<Problem> readDisplayBlock(const Bytes& file, std::uint64_t fieldOffset,
                                        std::uint64_t end, const char* endName,
                                        std::optional<DisplayBlock>& display);

// Appends to stream.pairs the pairs of a song's stream from `from` through its end marker
// (found before `markerLimit`) and, when it plays `loops` passes and has a loop, the fade
// after it through its 00 F8 (found before `fadeLimit`), setting stream.fadePairs;
// `streamEnd` is the file offset after the last pair read.
std::optional<Problem> readSongStream(const Bytes& file, PlayerKind player, std::uint64_t from,
                                      std::uint64_t markerLimit, std::uint64_t fadeLimit,
                                      std::uint16_t loops, ExecutableStream& stream,
                                      std::uint64_t& streamEnd);

// Checks the whole layout before anything is reported: the magic, the length, the pairs
// (registers the OPM has, at most one loop marker, an end marker followed by exactly the
// player tail, or in a full program by the fade (when it has passes and a loop), the drums'
// bank, the display block and the tail), the bank, the display block and the text size.
// A classic stream holds at least the prologue; a full stream never writes the timer
// registers 10-14. Fills `stream` and returns nothing when all is well. An album (album.hpp)
// is a problem.
std::optional<Problem> readExecutable(const Bytes& file, ExecutableStream& stream);
