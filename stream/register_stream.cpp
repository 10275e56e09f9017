#include "stream/register_stream.hpp"

#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"

namespace {

// The most a flush writes after its wait: every field of the image.
constexpr int MOST_FLUSH_BYTES = 2 * IMAGE_FIELDS;
constexpr int WAIT_BYTES = 2;

// r ticks become (r - 1) / 254 waits of 254 ticks and one wait of the rest.
[[gnu::noinline]] void writeWait(RunState& state) {
    while (state.pendingTicks > LONGEST_WAIT + 1u) {
        writePair(state, STREAM_COMMAND, LONGEST_WAIT);
        state.pendingTicks -= LONGEST_WAIT + 1u;
    }
    if (state.pendingTicks > 0)
        writePair(state, STREAM_COMMAND, std::uint8_t(state.pendingTicks - 1));
    state.pendingTicks = 0;
}

// Compares every field, in field order, and writes the pending wait and the pairs of those
// that differ, recording them as sent.
[[gnu::noinline]] void flushEverything(RunState& state) {
    OpmShadow& shadow = state.shadow;
    std::uint8_t pairs[MOST_FLUSH_BYTES];
    std::uint8_t* end = pairs;
    for (const FieldPlace& place : FIELD_PLACES) {
        const std::uint8_t value = bytesOf(shadow.wanted)[place.offset];
        std::uint8_t& sent = bytesOf(shadow.sent)[place.offset];
        if (value == sent) continue;
        sent = value;
        end[0] = place.reg;
        end[1] = value;
        end += 2;
    }
    shadow.changed.everything = false;
    shadow.changed.lastField = -1;
    if (end == pairs && !state.forceFlush) return;
    writeWait(state);
    state.forceFlush = false;
    for (const std::uint8_t* pair = pairs; pair != end; pair += 2)
        writePair(state, pair[0], pair[1]);
}

}  // namespace

bool openChangedPairs(RunState& state) {
    countTicks(state);
    if (state.pendingTicks > LONGEST_WAIT + 1u) {
        compareEverything(state);
        return false;
    }
    // Room for the wait and every field, so that the pairs of one flush stay together.
    std::uint8_t* at = streamRoom(state, WAIT_BYTES + MOST_FLUSH_BYTES);
    if (state.pendingTicks > 0) {
        at[0] = STREAM_COMMAND;
        at[1] = std::uint8_t(state.pendingTicks - 1);
        state.stream.length += WAIT_BYTES;
    }
    state.shadow.changed.firstPair = state.stream.length;
    return true;
}

[[gnu::noinline]] void compareEverything(RunState& state) {
    ImageChanges& changed = state.shadow.changed;
    if (changed.everything) return;
    if (changed.lastField >= 0) {
        const std::uint8_t* end = state.stream.bytes + state.stream.length;
        for (const std::uint8_t* pair = state.stream.bytes + changed.firstPair; pair != end;
             pair += 2) {
            const std::uint8_t offset = IMAGE_OFFSET_OF_REGISTER[pair[0]];
            bytesOf(state.shadow.sent)[offset] = changed.previous[offset];
        }
        // The ticks stay pending; the wait written before the pairs is taken back with them.
        state.stream.length = changed.firstPair - (state.pendingTicks > 0 ? WAIT_BYTES : 0);
    }
    changed.everything = true;
    changed.lastField = IMAGE_FIELDS;
}

void flushChanges(RunState& state) {
    ImageChanges& changed = state.shadow.changed;
    if (changed.lastField < 0 && !state.forceFlush) return;
    if (changed.everything) {
        countTicks(state);
        flushEverything(state);
        return;
    }
    if (changed.lastField < 0) {  // forced, with nothing changed: the wait alone
        countTicks(state);
        writeWait(state);
        state.forceFlush = false;
        return;
    }
    // The wait and the pairs are in the stream already.
    changed.lastField = -1;
    state.pendingTicks = 0;
    state.forceFlush = false;
}

[[gnu::noinline]] void drainStream(RunState& state) {
    fileWrite(state.outputChannel, 0, state.stream.bytes, state.stream.length);
    state.stream.length = 0;
}

void writePairAfterFlush(RunState& state, std::uint8_t first, std::uint8_t second) {
    state.forceFlush = true;
    flushChanges(state);
    writePair(state, first, second);
}
