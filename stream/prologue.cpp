#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"
#include "stream/channel_pairs.hpp"
#include "stream/register_stream.hpp"

void writePsgVoices(RunState& state) {
    OpmShadow& shadow = state.shadow;
    writePair(state, LFO_FREQ_REGISTER, shadow.wanted.lfoFreq);
    shadow.sent.lfoFreq = shadow.wanted.lfoFreq;
    for (int c = FIRST_PSG_VOICE; c < OPM_CHANNELS; ++c) sendChannel(state, c);
}

void writeStreamPrologue(RunState& state) {
    writePair(state, STREAM_COMMAND, 0x00);  // one tick, so the chip settles before set-up
    writePair(state, NOISE_REGISTER, 0x00);  // noise off
    if (PSG_CHANNELS != 0) {
        writePsgVoices(state);
        // The PSG-voice channels stay keyed on with all four operators for the whole run.
        for (int c = FIRST_PSG_VOICE; c < OPM_CHANNELS; ++c)
            writePair(state, KEY_ON_REGISTER, std::uint8_t(0x78 + c));
    }
    state.forceFlush = false;
}
