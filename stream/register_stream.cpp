#include "stream/register_stream.hpp"

#include <bit>

#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"
#include "stream/channel_pairs.hpp"

namespace {

// The most a flush writes after its wait: the LFO rate and every field of the image.
constexpr int MOST_FLUSH_BYTES = 2 * (1 + IMAGE_FIELDS);
constexpr int WAIT_BYTES = 2;

// r ticks become (r - 1) / 254 waits of 254 ticks and one wait of the rest.
void writeWait(RunState& state) {
    while (state.pendingTicks > LONGEST_WAIT + 1u) {
        writePair(state, STREAM_COMMAND, LONGEST_WAIT);
        state.pendingTicks -= LONGEST_WAIT + 1u;
    }
    if (state.pendingTicks > 0)
        writePair(state, STREAM_COMMAND, std::uint8_t(state.pendingTicks - 1));
    state.pendingTicks = 0;
}

// Puts the pair of every marked field whose wanted value differs at `at`, in field order,
// records it as sent and clears the marks; returns where the pairs end.
std::uint8_t* putDifferingPairs(OpmShadow& shadow, std::uint8_t* at) {
    ImageChanges& changed = shadow.changed;
    if (changed.lfo && shadow.wanted.lfoFreq != shadow.sent.lfoFreq) {
        at[0] = LFO_FREQ_REGISTER;
        at[1] = shadow.sent.lfoFreq = shadow.wanted.lfoFreq;
        at += 2;
    }
    changed.lfo = false;
    const std::uint8_t* wanted = bytesOf(shadow.wanted);
    std::uint8_t* sent = bytesOf(shadow.sent);
    for (unsigned channels = changed.channels; channels != 0; channels &= channels - 1) {
        const int c = std::countr_zero(channels);
        const FieldPlace* places = &FIELD_PLACES[std::size_t(c * CHANNEL_FIELDS)];
        for (std::uint32_t bits = changed.fields[c]; bits != 0; bits &= bits - 1) {
            const FieldPlace place = places[std::countr_zero(bits)];
            const std::uint8_t value = wanted[place.offset];
            if (value == sent[place.offset]) continue;
            sent[place.offset] = value;
            at[0] = place.reg;
            at[1] = value;
            at += 2;
        }
        changed.fields[c] = 0;
    }
    changed.channels = 0;
    return at;
}

// The same where the wait needs more than one pair.
void flushPairByPair(RunState& state) {
    std::uint8_t pairs[MOST_FLUSH_BYTES];
    const std::uint8_t* end = putDifferingPairs(state.shadow, pairs);
    if (end == pairs && !state.forceFlush) return;
    writeWait(state);
    state.forceFlush = false;
    for (const std::uint8_t* pair = pairs; pair != end; pair += 2)
        writePair(state, pair[0], pair[1]);
}

}  // namespace

void flushChanges(RunState& state) {
    const ImageChanges& changed = state.shadow.changed;
    if (changed.channels == 0 && !changed.lfo && !state.forceFlush) return;
    countTicks(state);
    if (state.pendingTicks > LONGEST_WAIT + 1u) {
        flushPairByPair(state);
        return;
    }
    std::uint8_t* room = streamRoom(state, WAIT_BYTES + MOST_FLUSH_BYTES);
    // The pairs go after the place of the wait, which is filled in once they turn out to exist.
    std::uint8_t* pairs = state.pendingTicks > 0 ? room + WAIT_BYTES : room;
    const std::uint8_t* end = putDifferingPairs(state.shadow, pairs);
    if (end == pairs && !state.forceFlush) return;
    if (state.pendingTicks > 0) {
        room[0] = STREAM_COMMAND;
        room[1] = std::uint8_t(state.pendingTicks - 1);
        state.pendingTicks = 0;
    }
    state.forceFlush = false;
    state.stream.length = int(end - state.stream.bytes);
}

void drainStream(RunState& state) {
    fileWrite(state.outputChannel, 0, state.stream.bytes, state.stream.length);
    state.stream.length = 0;
}

void writePairAfterFlush(RunState& state, std::uint8_t first, std::uint8_t second) {
    state.forceFlush = true;
    flushChanges(state);
    writePair(state, first, second);
}
