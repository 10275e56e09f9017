#include "stream/register_stream.hpp"

#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"

// The rare paths (long waits, comparing every field, the forced flush, the buffer going out)
// are kept out of line, so that the command loop they would be compiled into keeps its
// registers for the common one.

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
    countTicks(state);
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
    shadow.changed.lastField = NO_FIELD;
    if (end == pairs && !state.forceFlush) return;
    writeWait(state);
    state.forceFlush = false;
    for (const std::uint8_t* pair = pairs; pair != end; pair += 2)
        writePair(state, pair[0], pair[1]);
}

// A forced flush with nothing changed: the wait alone.
[[gnu::noinline]] void flushWaitAlone(RunState& state) {
    countTicks(state);
    writeWait(state);
    state.forceFlush = false;
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
    ImageChanges& changed = state.shadow.changed;
    changed.waitTicks = state.pendingTicks;
    if (state.pendingTicks > 0) {
        at[0] = STREAM_COMMAND;
        at[1] = std::uint8_t(state.pendingTicks - 1);
        state.stream.length += WAIT_BYTES;
        state.pendingTicks = 0;
    }
    changed.firstPair = state.stream.length;
    return true;
}

[[gnu::noinline]] void compareEverything(RunState& state) {
    ImageChanges& changed = state.shadow.changed;
    if (changed.lastField == EVERY_FIELD) return;
    if (changed.lastField != NO_FIELD) {
        const std::uint8_t* end = state.stream.bytes + state.stream.length;
        for (const std::uint8_t* pair = state.stream.bytes + changed.firstPair; pair != end;
             pair += 2) {
            const std::uint8_t offset = IMAGE_OFFSET_OF_REGISTER[pair[0]];
            bytesOf(state.shadow.sent)[offset] = changed.previous[offset];
        }
        // The wait written before the pairs is taken back with them; its ticks are pending again.
        state.stream.length = changed.firstPair - (changed.waitTicks > 0 ? WAIT_BYTES : 0);
        state.pendingTicks = changed.waitTicks;
    }
    changed.lastField = EVERY_FIELD;
}

void flushChanges(RunState& state) {
    ImageChanges& changed = state.shadow.changed;
    if (changed.lastField == NO_FIELD) {
        if (state.forceFlush) flushWaitAlone(state);
    } else if (changed.lastField == EVERY_FIELD) {
        flushEverything(state);
    } else {
        // The wait and the pairs are in the stream already.
        changed.lastField = NO_FIELD;
        state.forceFlush = false;
    }
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
