// SN76489 writes in opmcast-full: three tone voices and the noise, each on an OPM channel
// while it sounds.
#include "full/translate/full_run.hpp"

namespace {

constexpr std::uint8_t LATCH_BIT = 0x80;
constexpr std::uint8_t VOLUME_BIT = 0x10;
constexpr int NOISE = 3;

}  // namespace

void translateFullSn76489(FullRun& run, std::uint8_t data) {
    run.facts.sourceChipWritten = true;
    PsgSource& psg = run.psg;
    if (data & LATCH_BIT) psg.latch = data;
    const int channel = (psg.latch >> 5) & 0x03;
    if (psg.latch & VOLUME_BIT) {
        psg.attenuation[channel] = data & 0x0F;
        allocateVoices(run);
        if (channel < PSG_TONES)
            updateVoice(run, channel);
        else
            updateVoice(run, NOISE);
        return;
    }
    if (channel == NOISE) {  // the noise register: a latch byte sets it, a data byte too
        psg.noiseControl = data & 0x07;
        allocateVoices(run);
        updateVoice(run, NOISE);
        return;
    }
    std::uint16_t& period = psg.period[channel];
    if (data & LATCH_BIT)
        period = std::uint16_t((period & 0x3F0) | (data & 0x0F));
    else
        period = std::uint16_t(((data & 0x3F) << 4) | (period & 0x0F));
    updateVoice(run, channel);
    if (channel == 2 && (psg.noiseControl & 0x03) == 0x03) updateVoice(run, NOISE);
}
