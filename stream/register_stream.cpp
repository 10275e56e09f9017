#include "stream/register_stream.hpp"

#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"
#include "stream/channel_pairs.hpp"

void writePair(RunState& state, std::uint8_t first, std::uint8_t second) {
    fileWriteByte(state.outputChannel, first);
    fileWriteByte(state.outputChannel, second);
}

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
    OpmImage& wanted = state.shadow.wanted;
    OpmImage& sent = state.shadow.sent;
    const ImageDifferences differences = findDifferences(wanted, sent);
    if (differences.channels != 0 || wanted.lfoFreq != sent.lfoFreq) state.forceFlush = true;
    if (!state.forceFlush) return;
    writeWait(state);
    state.forceFlush = false;
    if (wanted.lfoFreq != sent.lfoFreq) {
        writePair(state, LFO_FREQ_REGISTER, wanted.lfoFreq);
        sent.lfoFreq = wanted.lfoFreq;
    }
    for (int c = 0; c < OPM_CHANNELS; ++c)
        if (differences.channels & (1u << c))
            sendChannel(state, c, ChannelPairs::changedOnly, differences.operators[c]);
}

void writePairAfterFlush(RunState& state, std::uint8_t first, std::uint8_t second) {
    state.forceFlush = true;
    flushChanges(state);
    writePair(state, first, second);
}
