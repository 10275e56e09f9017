// The RegisterStream: byte pairs (register, value) for the OPM, where first byte 0 is a
// command: 00 n waits n + 1 ticks (n <= 0xFD), 00 FE marks the loop point, 00 FF ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/run_state.hpp"
#include "translate/image_fields.hpp"

inline constexpr std::uint8_t STREAM_COMMAND = 0x00;
inline constexpr std::uint8_t LONGEST_WAIT = 0xFD;  // 254 ticks
inline constexpr std::uint8_t LOOP_MARKER = 0xFE;
inline constexpr std::uint8_t END_MARKER = 0xFF;
inline constexpr std::uint8_t KEY_ON_REGISTER = 0x08;
inline constexpr std::uint8_t NOISE_REGISTER = 0x0F;

// Turns the whole ticks of the sample backlog into pending ticks; the rest (0 to 786 samples)
// stays in the backlog. Ticks are counted this late, where a wait is about to be written,
// because the sums come out the same however the samples were grouped.
inline void countTicks(RunState& state) {
    if (state.sampleBacklog < SAMPLES_PER_TICK) return;
    state.pendingTicks += std::uint32_t(state.sampleBacklog / SAMPLES_PER_TICK);
    state.sampleBacklog %= SAMPLES_PER_TICK;
}

// Hands the gathered stream bytes to the output channel; due before anything else is written
// there or the channel is closed.
void drainStream(RunState& state);

// Room for n more stream bytes (n at most STREAM_BUFFER_SIZE) after those gathered so far;
// what is put there counts once state.stream.length has been moved past it.
inline std::uint8_t* streamRoom(RunState& state, int n) {
    if (state.stream.length > STREAM_BUFFER_SIZE - n) drainStream(state);
    return state.stream.bytes + state.stream.length;
}

inline void writePair(RunState& state, std::uint8_t first, std::uint8_t second) {
    std::uint8_t* at = streamRoom(state, 2);
    at[0] = first;
    at[1] = second;
    state.stream.length += 2;
}

// Writes the pending wait and every register whose wanted value differs from the sent one,
// in field order; writes nothing unless something differs or forceFlush is set.
void flushChanges(RunState& state);

// Makes the next flush compare every field, taking back the pairs setWanted has put in the
// stream since the last flush.
void compareEverything(RunState& state);
// Keeps the place of the wait before the first pair of changed fields; false when the wait
// needs more than one pair (then everything is compared instead).
bool openChangedPairs(RunState& state);

// Sets `wanted`, a byte of state.shadow.wanted. A value that differs from the sent one goes
// into the stream at once, behind the wait the next flush completes, and counts as sent; that
// keeps the stream in field order as long as the fields of one flush are set in that order,
// once each. Any other order takes those pairs back and makes the flush compare every field.
inline void setWanted(RunState& state, std::uint8_t& wanted, std::uint8_t value) {
    // A store through a byte pointer may change any object, so the counters are read before
    // the byte stores and written ahead of them: that spares reloading them after each.
    ImageChanges& changed = state.shadow.changed;
    const int last = changed.lastField;
    const std::ptrdiff_t offset = &wanted - bytesOf(state.shadow.wanted);
    const ImageField field = FIELD_OF_IMAGE_BYTE[std::size_t(offset)];
    wanted = value;
    if (field.field <= last) [[unlikely]] {
        compareEverything(state);
        return;
    }
    std::uint8_t& sent = bytesOf(state.shadow.sent)[offset];
    const std::uint8_t previous = sent;
    if (value == previous) return;
    if (last == NO_FIELD && !openChangedPairs(state)) return;
    const int length = state.stream.length;
    state.stream.length = length + 2;
    changed.lastField = field.field;
    std::uint8_t* at = state.stream.bytes + length;
    at[0] = field.reg;
    at[1] = value;
    changed.previous[offset] = previous;
    sent = value;
}

// Sets forceFlush, flushes, then writes a pair that is not part of the register image, so
// that it follows every tick and change counted so far.
void writePairAfterFlush(RunState& state, std::uint8_t first, std::uint8_t second);

// The fixed opening of every stream: a one-tick wait, noise off, the LFO rate, the full
// voices of the PSG-voice channels and their key-on.
void writeStreamPrologue(RunState& state);
void writePsgVoices(RunState& state);
