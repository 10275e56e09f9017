#include "stream/register_stream.hpp"

#include <algorithm>

#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"
#include "stream/channel_pairs.hpp"

namespace {

// The most a flush writes after its wait: every field of the image.
constexpr int MOST_FLUSH_BYTES = 2 * IMAGE_FIELDS;
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

// Puts the pair of one field at `at` if its wanted value differs, and records it as sent;
// returns where the pairs end.
std::uint8_t* putIfDiffers(OpmShadow& shadow, int field, std::uint8_t* at) {
    const FieldPlace place = FIELD_PLACES[std::size_t(field)];
    const std::uint8_t value = bytesOf(shadow.wanted)[place.offset];
    std::uint8_t& sent = bytesOf(shadow.sent)[place.offset];
    if (value == sent) return at;
    sent = value;
    at[0] = place.reg;
    at[1] = value;
    return at + 2;
}

// Puts the pair of every listed field whose wanted value differs at `at`, in field order,
// records it as sent and clears the list; returns where the pairs end.
std::uint8_t* putDifferingPairs(OpmShadow& shadow, std::uint8_t* at) {
    ImageChanges& changed = shadow.changed;
    if (changed.everything) {
        for (int field = 0; field < IMAGE_FIELDS; ++field) at = putIfDiffers(shadow, field, at);
    } else {
        // A translation sets the fields of one write in field order; anything else is sorted.
        std::uint8_t* listed = changed.fields;
        if (!std::is_sorted(listed, listed + changed.count))
            std::sort(listed, listed + changed.count);
        for (int i = 0; i < changed.count; ++i) at = putIfDiffers(shadow, listed[i], at);
    }
    changed.everything = false;
    changed.count = 0;
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
    if (changed.count == 0 && !changed.everything && !state.forceFlush) return;
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
