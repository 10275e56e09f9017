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
    const std::uint8_t* wanted = bytesOf(shadow.wanted);
    std::uint8_t* sent = bytesOf(shadow.sent);
    // The marked fields that really differ, in field order, are the ones to write.
    bool differs = shadow.wanted.lfoFreq != shadow.sent.lfoFreq;
    for (unsigned words = changed.words; words != 0 && !differs; words &= words - 1) {
        const auto word = std::size_t(std::countr_zero(words));
        for (std::uint64_t bits = changed.fields[word]; bits != 0 && !differs; bits &= bits - 1) {
            const FieldPlace place = FIELD_PLACES[64 * word + std::size_t(std::countr_zero(bits))];
            differs = wanted[place.offset] != sent[place.offset];
        }
    }
    if (differs || state.forceFlush) {
        writeWait(state);
        state.forceFlush = false;
        if (shadow.wanted.lfoFreq != shadow.sent.lfoFreq) {
            writePair(state, LFO_FREQ_REGISTER, shadow.wanted.lfoFreq);
            shadow.sent.lfoFreq = shadow.wanted.lfoFreq;
        }
        for (unsigned words = changed.words; words != 0; words &= words - 1) {
            const auto word = std::size_t(std::countr_zero(words));
            for (std::uint64_t bits = changed.fields[word]; bits != 0; bits &= bits - 1) {
                const FieldPlace place =
                    FIELD_PLACES[64 * word + std::size_t(std::countr_zero(bits))];
                if (wanted[place.offset] == sent[place.offset]) continue;
                writePair(state, place.reg, wanted[place.offset]);
                sent[place.offset] = wanted[place.offset];
            }
        }
    }
    for (unsigned words = changed.words; words != 0; words &= words - 1)
        changed.fields[std::countr_zero(words)] = 0;
    changed.words = 0;
    changed.lfo = false;
}

void writePairAfterFlush(RunState& state, std::uint8_t first, std::uint8_t second) {
    state.forceFlush = true;
    flushChanges(state);
    writePair(state, first, second);
}
