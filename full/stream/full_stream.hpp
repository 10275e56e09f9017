// The register stream of opmcast-full: the OPM register image the song should reach, written
// as byte pairs when registers change, with waits between the steps. A step is a fifth of the
// classic's step: one overflow of the player's timer, 787/5 VGM samples (3.57 ms) on average.
//
//   r v    r = 01-FF   write v into OPM register r
//   00 n   n = 00-EF   wait n + 1 steps
//   00 F0              stop the ADPCM and mute it
//   00 F1-F3  nn nn    start ADPCM sample nnnn (big-endian); bit 1 left on, bit 0 right on
//   00 F4-F7           the sample playing goes on on the sides of bits 1-0 (F4: muted)
//   00 FE              loop position
//   00 FF              end
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

inline constexpr std::uint8_t FULL_LONGEST_WAIT = 0xEF;  // 240 steps, 0.86 s
inline constexpr std::uint8_t FULL_ADPCM_STOP = 0xF0;
inline constexpr std::uint8_t FULL_ADPCM_START = 0xF0;  // | the sides, then the sample's number
inline constexpr std::uint8_t FULL_ADPCM_SIDES = 0xF4;  // | the sides
inline constexpr std::uint8_t FULL_LOOP_MARKER = 0xFE;
inline constexpr std::uint8_t FULL_END_MARKER = 0xFF;

// Where the pairs go: written to a file channel as they come, a few KiB at a time, so that
// memory stays the same however long the song; kept in `pairs` without one (OUTPUT_KEPT); or
// counted and dropped (OUTPUT_DROPPED), for a program that cannot be written but whose size
// still decides the message.
inline constexpr int OUTPUT_KEPT = 0;
inline constexpr int OUTPUT_DROPPED = -1;
inline constexpr std::size_t PAIRS_HELD = 8192;  // bytes gathered before they go to the file

// What the stream has set each register to: NEVER_SENT before its first write.
inline constexpr std::uint16_t NEVER_SENT = 0x100;
inline constexpr std::array<std::uint16_t, 256> NOTHING_SENT = [] {
    std::array<std::uint16_t, 256> sent{};
    sent.fill(NEVER_SENT);
    return sent;
}();

struct FullStream {
    std::vector<std::uint8_t> pairs;  // not yet handed on; every pair while OUTPUT_KEPT
    int output = OUTPUT_KEPT;         // file channel, or OUTPUT_KEPT or OUTPUT_DROPPED
    std::int64_t handedOn = 0;        // bytes that have left `pairs`
    std::int64_t stepsWritten = 0;    // steps the waits so far add up to
    std::uint8_t wanted[256] = {};    // by OPM register
    std::array<std::uint16_t, 256> sent = NOTHING_SENT;
    std::uint8_t dirty[256] = {};  // registers whose wanted value may differ from sent
    bool isDirty[256] = {};
    int dirtyCount = 0;
    // For a fade after the last pass: a copy of the pairs after the loop position, kept while
    // the loop has lasted at most keepLoopSteps steps (0: none kept).
    std::int64_t keepLoopSteps = 0;
    std::int64_t loopAt = -1;  // stream offset of the pair after the loop position
    std::int64_t loopStep = 0;
    std::vector<std::uint8_t> loopHead;
    bool loopHeadCut = false;  // the copy ends before the loop does
};

// The copy of the loop's first pairs (see keepLoopSteps), up to the end marker when whole.
std::span<const std::uint8_t> loopHeadOf(const FullStream& stream);

// The length of the stream so far, in bytes.
inline std::int64_t streamLength(const FullStream& stream) {
    return stream.handedOn + std::int64_t(stream.pairs.size());
}
// Hands the pairs gathered so far to the output.
void handOnPairs(FullStream& stream);
// What register reg should hold from now on.
void setRegister(FullStream& stream, std::uint8_t reg, std::uint8_t value);
// Writes the wait up to step, then every register whose wanted value differs from what was
// last written, in the order they were changed.
void flushRegisters(FullStream& stream, std::int64_t step);
// A write that must reach the chip as it stands, in its place (key on/off, the LFO depths,
// the LFO reset), after the changes before it.
void writeRegisterNow(FullStream& stream, std::int64_t step, std::uint8_t reg, std::uint8_t value);
void writeLoopMarker(FullStream& stream, std::int64_t step);
// An ADPCM sample started on the sides given (bit 1 left, bit 0 right), after the changes
// before it.
void writeAdpcmStart(FullStream& stream, std::int64_t step, std::uint8_t sides,
                     std::uint16_t sample);
// The sample playing moves to the sides given (0: muted), after the changes before it.
void writeAdpcmSides(FullStream& stream, std::int64_t step, std::uint8_t sides);
// The changes, the wait up to endStep, and the end marker.
void finishFullStream(FullStream& stream, std::int64_t endStep);
