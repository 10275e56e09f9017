#include "stream/register_stream.hpp"

#include <bit>

#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"
#include "stream/channel_pairs.hpp"

namespace {

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

}  // namespace

void flushChanges(RunState& state) {
    OpmShadow& shadow = state.shadow;
    ImageChanges& changed = shadow.changed;
    if (changed.channels == 0 && !changed.lfo && !state.forceFlush) return;
    // The marked fields that really differ, in field order; the marks are cleared on the way.
    const std::uint8_t* wanted = bytesOf(shadow.wanted);
    std::uint8_t* sent = bytesOf(shadow.sent);
    FieldPlace differing[IMAGE_FIELDS];
    int count = 0;
    for (unsigned channels = changed.channels; channels != 0; channels &= channels - 1) {
        const int c = std::countr_zero(channels);
        const FieldPlace* places = &FIELD_PLACES[std::size_t(c * CHANNEL_FIELDS)];
        for (std::uint32_t bits = changed.fields[c]; bits != 0; bits &= bits - 1) {
            const FieldPlace place = places[std::countr_zero(bits)];
            if (wanted[place.offset] != sent[place.offset]) differing[count++] = place;
        }
        changed.fields[c] = 0;
    }
    changed.channels = 0;
    changed.lfo = false;
    const bool lfoDiffers = shadow.wanted.lfoFreq != shadow.sent.lfoFreq;
    if (count == 0 && !lfoDiffers && !state.forceFlush) return;
    writeWait(state);
    state.forceFlush = false;
    if (lfoDiffers) {
        writePair(state, LFO_FREQ_REGISTER, shadow.wanted.lfoFreq);
        shadow.sent.lfoFreq = shadow.wanted.lfoFreq;
    }
    // Straight into the output buffer when it has room, else pair by pair.
    std::uint8_t* room = fileWriteRoom(state.outputChannel, 2 * count);
    for (int i = 0; i < count; ++i) {
        const FieldPlace place = differing[i];
        const std::uint8_t value = sent[place.offset] = wanted[place.offset];
        if (room) {
            room[2 * i] = place.reg;
            room[2 * i + 1] = value;
        } else {
            writePair(state, place.reg, value);
        }
    }
    if (room) fileCommit(state.outputChannel, 2 * count);
}

void writePairAfterFlush(RunState& state, std::uint8_t first, std::uint8_t second) {
    state.forceFlush = true;
    flushChanges(state);
    writePair(state, first, second);
}
