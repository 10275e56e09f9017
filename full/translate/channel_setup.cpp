// What an OPM channel is set to for its owner: the FM part's registers, a PSG voice's four
// sine partials, the noise on channel 7's operator C2, or silence. A channel changes owner in
// one step: the operators that stop are keyed off and muted, the new part's registers follow,
// then its key-on.
#include <algorithm>
#include <cmath>

#include "full/translate/full_run.hpp"
#include "full/translate/noise_lfo.hpp"
#include "full/translate/true_pitch.hpp"

namespace {

constexpr int NOISE = 3;  // PsgSource::attenuation index of the noise, and its voice
constexpr std::uint8_t SILENT = 15;
constexpr std::uint8_t TL_OFF = 0x7F;
constexpr int NOISE_OPERATOR = 3;             // C2, by register offset (+24)
constexpr std::uint8_t ALL_OPERATORS = 0x78;  // key-on bits 6-3: C2, M2, C1, M1
constexpr std::uint8_t NOISE_KEY = 0x40;      // C2's key-on bit

// The PSG voice: four sine carriers at 1, 3, 5 and 7 times the pitch at 1/3, 1/5 and 1/7 of
// the fundamental's amplitude (9.5, 14 and 16.9 dB below it: 13, 19 and 22 TL steps), the first
// partials of the tone chip's square wave. M1 carries the fundamental and C2 the seventh
// partial, which gives way to the noise on channel 7 (the square's 1/49 of power, 0.1 dB).
// The level follows the tone chip's attenuation at 2 dB (8/3 TL steps) a step.
constexpr std::uint8_t MULTIPLE_BY_OPERATOR[4] = {1, 3, 5, 7};
constexpr std::uint8_t TL_BELOW_FUNDAMENTAL[4] = {0, 13, 19, 22};
// Measured against the FM voices, whose carriers play 5 TL steps down (fidelity/levels): a
// tone at attenuation 0 sounds 5.55 dB below a YM2612 carrier at TL 0 on the Mega Drive. The
// measurement's voice had partials 3, 6 and 9 dB down; these weaker ones carry 2 dB less
// power, made up by 3 TL steps on every operator.
constexpr int PSG_FUNDAMENTAL_TL = 13;
// Half a semitone above the OPM's highest note at 4 MHz (C8 with fraction 63, 4.95 kHz).
const double HIGHEST_PSG_HZ = opmPitchHz({0x7E, 0xFC}) * std::exp2(1.0 / 24);

// The noise's level is linear in its TL, as (1023 - 8 TL) / 1023: the TL for each attenuation
// step of 2 dB, from the same measurement.
constexpr std::uint8_t NOISE_TL[15] = {3,   29,  49,  66,  78,  89,  97, 103,
                                       108, 112, 115, 118, 120, 122, 123};

// The TL of each operator of a PSG voice by the tone chip's attenuation; 15 is silent.
constexpr std::array<std::array<std::uint8_t, 4>, 16> PSG_TL = [] {
    std::array<std::array<std::uint8_t, 4>, 16> tls{};
    for (int attenuation = 0; attenuation < 16; ++attenuation)
        for (int op = 0; op < 4; ++op) {
            const int tl =
                PSG_FUNDAMENTAL_TL + (8 * attenuation + 1) / 3 + TL_BELOW_FUNDAMENTAL[op];
            tls[std::size_t(attenuation)][std::size_t(op)] =
                attenuation >= SILENT ? TL_OFF : std::uint8_t(tl > TL_OFF ? TL_OFF : tl);
        }
    return tls;
}();

std::uint8_t operatorRegister(int row, int channel, int op) {
    return std::uint8_t(0x40 + 0x20 * row + channel + 8 * op);
}

// The voice an owner stands for, -1 for none.
int voiceOf(Owner owner) {
    const int voice = int(owner) - int(Owner::psgTone0);
    return voice >= 0 && voice < PSG_VOICES ? voice : -1;
}

// Whether C2 of the channel plays the noise now.
bool playsNoise(const FullRun& run, int channel) {
    return channel == NOISE_CHANNEL && run.channel7Noise;
}

double noiseShiftHz(const FullRun& run) {
    return sn76489NoiseShiftHz(run.psg.noiseControl, run.psg.period[2]);
}

void setVoicePitchAndLevel(FullRun& run, int voice, int channel) {
    const std::uint16_t period = voice == NOISE ? 0 : run.psg.period[voice];
    const double hz = voice == NOISE ? periodicNoisePitchHz(noiseShiftHz(run))
                                     : sn76489ToneHz(period == 0 ? 1024 : period);
    const KeyCode code = voice == NOISE ? opmKeyCodeNearest(hz) : sn76489KeyCode(period);
    setRegister(run.stream, std::uint8_t(0x28 + channel), code.keyCode);
    setRegister(run.stream, std::uint8_t(0x30 + channel), code.keyFraction);
    // A tone above the OPM's highest note (the tone chip's shortest periods, often used for
    // effects that the ear cannot hear as a pitch) is not played at a wrong one.
    const bool outOfReach = hz > HIGHEST_PSG_HZ;
    const std::array<std::uint8_t, 4>& tls =
        PSG_TL[outOfReach ? SILENT : run.psg.attenuation[voice]];
    const int boost = outOfReach ? 0 : unisonBoostTl(run, voice);
    const int operators = playsNoise(run, channel) ? NOISE_OPERATOR : 4;
    for (int op = 0; op < operators; ++op) {
        const int tl = tls[std::size_t(op)] == TL_OFF ? TL_OFF : tls[std::size_t(op)] - boost;
        setRegister(run.stream, std::uint8_t(0x60 + channel + 8 * op),
                    std::uint8_t(std::clamp(tl, 0, int(TL_OFF))));
    }
}

void setNoise(FullRun& run) {
    const std::uint8_t attenuation = run.psg.attenuation[NOISE];
    setRegister(run.stream, 0x0F, std::uint8_t(0x80 | opmNoiseFrequency(noiseShiftHz(run))));
    setRegister(run.stream, 0x60 + NOISE_CHANNEL + 8 * NOISE_OPERATOR,
                attenuation >= SILENT ? TL_OFF : NOISE_TL[attenuation]);
}

// One operator as a PSG partial (multiple mul) or as the noise (mul 1): fastest attack, no
// decay, fastest release; its TL is set with the level.
void setSineOperator(FullRun& run, int channel, int op, std::uint8_t multiple) {
    const std::uint8_t rows[6] = {multiple, TL_OFF, 0x1F, 0x00, 0x00, 0x0F};
    for (int row = 0; row < 6; ++row)
        if (row != 1) setRegister(run.stream, operatorRegister(row, channel, op), rows[row]);
}

// The FM part leaves the channel: until it keys the channel on, the channel holds silent, at
// TL 127 and the fastest release, so that what played on it dies at once instead of running
// on at the FM part's release rate, levels and algorithm.
void muteForFm(FullRun& run, int channel) {
    for (int op = 0; op < 4; ++op) {
        setRegister(run.stream, operatorRegister(1, channel, op), TL_OFF);
        const std::uint8_t reg = operatorRegister(5, channel, op);
        setRegister(run.stream, reg, std::uint8_t((run.fm.image[reg] & 0xF0) | 0x0F));
    }
    run.fmMuted |= std::uint8_t(1 << channel);
}

void handToFm(FullRun& run, int channel) {
    refreshFades(run);
    const std::int64_t step = currentStep(run);
    writeRegisterNow(run.stream, step, 0x08, std::uint8_t(channel));  // all operators off
    // A note the song keeps keyed plays on, unless it has faded: then it waits for the next.
    if (run.fm.keyMask[channel] && run.sample < run.fm.silentFromSample[channel]) {
        restoreFmRegisters(run, channel);
        writeRegisterNow(run.stream, step, 0x08, std::uint8_t(run.fm.keyMask[channel] | channel));
    } else {
        muteForFm(run, channel);
        run.fm.silentFromSample[channel] = std::min(run.fm.silentFromSample[channel], run.sample);
    }
}

// The operators keyed on (OPM key bits 6-3) for a channel of PSG parts.
std::uint8_t psgKeyMask(int voice, bool noise) {
    return voice >= 0 ? ALL_OPERATORS : noise ? NOISE_KEY : 0;
}

}  // namespace

void restoreFmRegisters(FullRun& run, int channel) {
    const auto c = std::uint8_t(channel);
    for (std::uint8_t reg : {std::uint8_t(0x20 + c), std::uint8_t(0x28 + c), std::uint8_t(0x30 + c),
                             std::uint8_t(0x38 + c)})
        setRegister(run.stream, reg, run.fm.image[reg]);
    for (int row = 0; row < 6; ++row)
        for (int op = 0; op < 4; ++op) {
            const std::uint8_t reg = operatorRegister(row, channel, op);
            setRegister(run.stream, reg, run.fm.image[reg]);
        }
    run.fmMuted &= std::uint8_t(~(1 << channel));
}

void applyOwner(FullRun& run, int channel, Owner previous, bool previousNoise) {
    const std::int64_t step = currentStep(run);
    const Owner owner = run.owner[std::size_t(channel)];
    const bool noise = playsNoise(run, channel);
    if (run.ownerLog) run.ownerLog->push_back({step, std::uint8_t(channel), owner, noise});
    if (owner == Owner::fm) {
        handToFm(run, channel);
        return;
    }
    run.fmMuted &= std::uint8_t(~(1 << channel));
    const int voice = voiceOf(owner);
    // Operators that go on playing keep their key: the noise while a tone comes or goes beside
    // it, a tone while the noise does. A new voice starts from its attack.
    const std::uint8_t before =
        previous == Owner::fm ? ALL_OPERATORS : psgKeyMask(voiceOf(previous), previousNoise);
    const std::uint8_t after = psgKeyMask(voice, noise);
    std::uint8_t kept = before & after;
    if (previous == Owner::fm) kept = 0;
    if (voice != voiceOf(previous)) kept &= noise && previousNoise ? NOISE_KEY : 0;
    const auto c = std::uint8_t(channel);
    if (kept != before) writeRegisterNow(run.stream, step, 0x08, std::uint8_t(kept | c));
    if (channel == NOISE_CHANNEL && !noise) setRegister(run.stream, 0x0F, 0x00);
    if (voice < 0 && !noise) {
        for (int op = 0; op < 4; ++op)
            setRegister(run.stream, operatorRegister(1, channel, op), TL_OFF);
        return;
    }
    setRegister(run.stream, std::uint8_t(0x20 + c), 0xC7);  // both sides, four carriers
    setRegister(run.stream, std::uint8_t(0x38 + c), 0x00);
    for (int op = 0; op < 4; ++op) {
        if (op == NOISE_OPERATOR && noise) {
            setSineOperator(run, channel, op, 1);
            setNoise(run);
        } else if (voice >= 0) {
            setSineOperator(run, channel, op, MULTIPLE_BY_OPERATOR[op]);
        } else {
            setRegister(run.stream, operatorRegister(1, channel, op), TL_OFF);
        }
    }
    if (voice >= 0) setVoicePitchAndLevel(run, voice, channel);
    if (after != kept) writeRegisterNow(run.stream, step, 0x08, std::uint8_t(after | c));
}

void updateVoice(FullRun& run, int voice) {
    if (voice == NOISE && run.channel7Noise) setNoise(run);
    const int channel = run.voiceChannel[std::size_t(voice)];
    if (channel >= 0) setVoicePitchAndLevel(run, voice, channel);
}
