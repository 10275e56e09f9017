// When an FM channel falls silent: its carriers' envelopes as the OPM runs them, from the
// channel's registers, its last key-on and key-off. A channel below -48 dB of full scale may
// lend itself to a PSG voice until the song makes it sound again.
#include <algorithm>
#include <cmath>
#include <limits>

#include "full/translate/full_run.hpp"

namespace {

// The OPM's envelope generator steps every 3 samples of clock / 64: 20 833 Hz at 4 MHz.
constexpr double ENVELOPE_STEPS_PER_SAMPLE = 4'000'000.0 / 64 / 3 / 44100;
constexpr double FADED = 512;     // attenuation in units of 0.09375 dB: 48 dB
constexpr double SILENCE = 1023;  // the envelope's floor
constexpr double NEVER = 1e15;    // steps

// At effective rate r (0-63) the attenuation moves by (4 + r % 4) * 2^(r / 4) / 2^14 units a
// step on average, 8 at most; rates below 4 hardly move.
double unitsPerStep(int rate) {
    if (rate < 4) return 0;
    if (rate >= 60) return 8;
    return double((4 + (rate & 3)) << (rate >> 2)) / (1 << 14);
}

// Steps to move `units` at `rate`.
double stepsFor(double units, int rate) {
    if (units <= 0) return 0;
    const double perStep = unitsPerStep(rate);
    return perStep == 0 ? NEVER : units / perStep;
}

struct Envelope {
    int attackRate, decayRate, sustainRate, releaseRate;
    double sustainLevel;  // units
    double floor;         // the attenuation at which the operator is faded: 48 dB less its TL
};

// The rates of one operator under key scaling: 2R + the key code's share, 0 for R = 0.
Envelope envelopeOf(const std::uint8_t* image, int channel, int op) {
    const int slot = channel + 8 * op;
    const int keyCode = (image[0x28 + channel] >> 2) & 0x1F;  // octave and the note's upper bits
    const int scaled = keyCode >> (3 - (image[0x80 + slot] >> 6));
    auto rate = [scaled](int r) { return r == 0 ? 0 : std::min(63, r + scaled); };
    const int sustain = image[0xE0 + slot] >> 4;
    return {rate(2 * (image[0x80 + slot] & 0x1F)),    rate(2 * (image[0xA0 + slot] & 0x1F)),
            rate(2 * (image[0xC0 + slot] & 0x1F)),    rate(4 * (image[0xE0 + slot] & 0x0F) + 2),
            sustain == 15 ? SILENCE : 32.0 * sustain, FADED - 8 * (image[0x60 + slot] & 0x7F)};
}

// The attack, taken as loud from the key-on, lasts until the exponential approach to 0 has
// come within a unit of it: about 111 steps of the rate's increment.
double attackSteps(const Envelope& e) {
    return e.attackRate >= 62 ? 0 : stepsFor(111, e.attackRate);
}

// Steps from the key-on until a keyed operator falls below its floor: attack, decay to the
// sustain level, then the sustain rate.
double keyedSteps(const Envelope& e) {
    if (e.attackRate == 0) return 0;  // never attacks: silent
    const double toSustain = stepsFor(std::min(e.sustainLevel, e.floor), e.decayRate);
    if (e.floor <= e.sustainLevel) return attackSteps(e) + toSustain;
    return attackSteps(e) + toSustain + stepsFor(e.floor - e.sustainLevel, e.sustainRate);
}

// The attenuation of a keyed operator `steps` after its key-on, at its loudest in the attack.
double keyedAttenuation(const Envelope& e, double steps) {
    if (e.attackRate == 0) return SILENCE;
    double t = steps - attackSteps(e);
    if (t <= 0) return 0;
    const double decayTime = stepsFor(e.sustainLevel, e.decayRate);
    if (t < decayTime) return unitsPerStep(e.decayRate) * t;
    t -= decayTime;
    return std::min(SILENCE, e.sustainLevel + unitsPerStep(e.sustainRate) * t);
}

}  // namespace

std::int64_t fmSilentFromSample(const FullRun& run, int channel) {
    if (!(run.fm.keyedYet & (1 << channel))) return 0;
    const std::uint8_t* image = run.fm.image;
    const std::uint8_t carriers = CARRIERS_BY_ALGORITHM[image[0x20 + channel] & 0x07];
    const bool keyed = run.fm.keyMask[channel] != 0;
    const double keyedFor = double(run.fm.keyOffSample[channel] - run.fm.keyOnSample[channel]) *
                            ENVELOPE_STEPS_PER_SAMPLE;
    double longest = 0;  // steps after the key-on (keyed) or the key-off
    for (int op = 0; op < 4; ++op) {
        if (!(carriers & (1 << op))) continue;
        const Envelope e = envelopeOf(image, channel, op);
        if (e.floor <= 0) continue;
        if (keyed) {
            longest = std::max(longest, keyedSteps(e));
        } else {
            const double from = keyedAttenuation(e, keyedFor);
            longest = std::max(longest, stepsFor(e.floor - from, e.releaseRate));
        }
    }
    if (longest >= NEVER) return std::numeric_limits<std::int64_t>::max();
    const std::int64_t from = keyed ? run.fm.keyOnSample[channel] : run.fm.keyOffSample[channel];
    return from + std::int64_t(std::ceil(longest / ENVELOPE_STEPS_PER_SAMPLE));
}
