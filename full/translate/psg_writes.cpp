// SN76489 writes in opmcast-full: three tone voices and the noise, each on an OPM channel
// while it sounds.
#include <algorithm>

#include "full/translate/full_run.hpp"

namespace {

constexpr std::uint8_t LATCH_BIT = 0x80;
constexpr std::uint8_t VOLUME_BIT = 0x10;
constexpr int NOISE = 3;
constexpr std::uint8_t SILENT = 15;

}  // namespace

PsgChange applyPsgWrite(PsgSource& psg, std::uint8_t data) {
    if (data & LATCH_BIT) psg.latch = data;
    PsgChange change;
    change.voice = (psg.latch >> 5) & 0x03;
    if (psg.latch & VOLUME_BIT) {
        const bool sounded = psg.attenuation[change.voice] < SILENT;
        change.levelChanged = psg.attenuation[change.voice] != (data & 0x0F);
        psg.attenuation[change.voice] = data & 0x0F;
        change.soundingChanged = sounded != (psg.attenuation[change.voice] < SILENT);
        change.noteStarts = !sounded && change.soundingChanged;
        return change;
    }
    if (change.voice == NOISE) {  // the noise register: a latch byte sets it, a data byte too
        const bool white = psg.noiseControl & 0x04;
        psg.noiseControl = data & 0x07;
        change.whiteChanged = white != bool(psg.noiseControl & 0x04);
        change.noteStarts = true;  // a write restarts the noise's shift register
        return change;
    }
    std::uint16_t& period = psg.period[change.voice];
    const std::uint16_t before = period;
    if (data & LATCH_BIT)
        period = std::uint16_t((period & 0x3F0) | (data & 0x0F));
    else
        period = std::uint16_t(((data & 0x3F) << 4) | (period & 0x0F));
    change.pitchChanged = period != before;
    // A new note: a pitch a semitone or more away (17/16), not a vibrato's small steps.
    change.noteStarts =
        16 * std::max(period, before) >= 17 * std::min(period, before) && change.pitchChanged;
    return change;
}

void translateFullSn76489(FullRun& run, std::uint8_t data) {
    run.facts.sourceChipWritten = true;
    const PsgChange change = applyPsgWrite(run.psg, data);
    const int voice = change.voice;
    if (change.noteStarts) run.psg.noteStartSample[voice] = run.sample;
    // Channels change hands only when a voice starts or stops sounding, or a new note of a
    // voice waiting for a channel may take one, or when one is waiting and the levels decide
    // who gives way.
    const bool waiting = run.voicesWaiting & (1 << voice);
    if (run.psg.latch & VOLUME_BIT) {
        if (change.soundingChanged || (change.levelChanged && run.voicesWaiting))
            allocateVoices(run);
    } else if (change.whiteChanged || (change.noteStarts && waiting)) {
        allocateVoices(run);
    }
    updateVoice(run, voice);
    // A tone waiting, or one that a waiting tone may join, changed pitch or level.
    if ((change.pitchChanged || change.levelChanged) && (run.voicesWaiting & 0x07))
        joinWaitingTones(run);
    if (voice == 2 && change.pitchChanged && (run.psg.noiseControl & 0x03) == 0x03)
        updateVoice(run, NOISE);
}
