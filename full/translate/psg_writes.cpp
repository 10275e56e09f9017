// SN76489 writes in opmcast-full: three tone voices and the noise, each on an OPM channel
// while it sounds.
#include "full/translate/full_run.hpp"

namespace {

constexpr std::uint8_t LATCH_BIT = 0x80;
constexpr std::uint8_t VOLUME_BIT = 0x10;
constexpr int NOISE = 3;
constexpr std::uint8_t SILENT = 15;

}  // namespace

void translateFullSn76489(FullRun& run, std::uint8_t data) {
    run.facts.sourceChipWritten = true;
    PsgSource& psg = run.psg;
    if (data & LATCH_BIT) psg.latch = data;
    const int channel = (psg.latch >> 5) & 0x03;
    if (psg.latch & VOLUME_BIT) {
        // Channels change hands only when a voice starts or stops sounding, or when one is
        // waiting for a channel and the levels decide who gives way.
        const bool sounded = psg.attenuation[channel] < SILENT;
        psg.attenuation[channel] = data & 0x0F;
        if (sounded != (psg.attenuation[channel] < SILENT) || run.voicesWaiting)
            allocateVoices(run);
        updateVoice(run, channel);
        return;
    }
    if (channel == NOISE) {  // the noise register: a latch byte sets it, a data byte too
        const bool white = psg.noiseControl & 0x04;
        psg.noiseControl = data & 0x07;
        if (white != bool(psg.noiseControl & 0x04)) allocateVoices(run);
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
