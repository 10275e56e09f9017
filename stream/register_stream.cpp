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
    if (changed.words == 0 && !changed.lfo && !state.forceFlush) return;
    // The pairs of the LFO rate and of the marked fields that really differ, in field order;
    // they follow the pending wait. The marks are cleared on the way.
    std::uint8_t pairs[2 * (1 + IMAGE_FIELDS)];
    int length = 0;
    if (shadow.wanted.lfoFreq != shadow.sent.lfoFreq) {
        pairs[length++] = LFO_FREQ_REGISTER;
        pairs[length++] = shadow.sent.lfoFreq = shadow.wanted.lfoFreq;
    }
    const std::uint8_t* wanted = bytesOf(shadow.wanted);
    std::uint8_t* sent = bytesOf(shadow.sent);
    for (unsigned words = changed.words; words != 0; words &= words - 1) {
        const auto word = std::size_t(std::countr_zero(words));
        for (std::uint64_t bits = changed.fields[word]; bits != 0; bits &= bits - 1) {
            const FieldPlace place = FIELD_PLACES[64 * word + std::size_t(std::countr_zero(bits))];
            if (wanted[place.offset] == sent[place.offset]) continue;
            pairs[length++] = place.reg;
            pairs[length++] = sent[place.offset] = wanted[place.offset];
        }
        changed.fields[word] = 0;
    }
    changed.words = 0;
    changed.lfo = false;
    if (length == 0 && !state.forceFlush) return;
    writeWait(state);
    state.forceFlush = false;
    fileWriteBytes(state.outputChannel, pairs, length);
}

void writePairAfterFlush(RunState& state, std::uint8_t first, std::uint8_t second) {
    state.forceFlush = true;
    flushChanges(state);
    writePair(state, first, second);
}
