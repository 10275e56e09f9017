#include "translate/pitch.hpp"

#include <cmath>
#include <cstddef>

#include "translate/opm_image.hpp"

namespace {

// Note value x = 12 * log2(frequency / 8363) + NOTE_BIAS, computed as
// (ln f + MINUS_LN_8363) * 12 / LN_2 + NOTE_BIAS with these two doubles.
constexpr double MINUS_LN_8363 = -9.031572493381526;  // double nearest to -ln 8363
constexpr double LN_2 = 0.6931471805599453;           // double nearest to ln 2
constexpr double SEMITONES_PER_OCTAVE = 12.0;
constexpr double TOP_NOTE_OF_OCTAVE = 11.0;
constexpr int TOP_OCTAVE = 7;
constexpr double KF_SCALE = 256.0;
constexpr std::int32_t KF_MASK = 0xFC;  // KF uses bits 7-2

// Real is the type the steps between stored doubles are carried in. Every value the routine
// keeps is a double, rounded from Real where it is stored.
template <typename Real>
PitchSteps pitchStepsIn(double frequency) {
    PitchSteps steps{};

    // ln(0) is -inf and stays -inf through the arithmetic; the clamp turns it into 0.
    const Real lnFrequency = std::log(Real(frequency));
    steps.noteValue =
        double((lnFrequency + Real(MINUS_LN_8363)) * Real(SEMITONES_PER_OCTAVE) / Real(LN_2) +
               Real(NOTE_BIAS));

    double x = steps.noteValue;
    if (!(x >= 0.0)) x = 0.0;

    // Leaves x in (-1, 11]: a note between 11 and 12 of its octave drops below 0 and is counted
    // in the next octave. The subtraction is exact in either precision.
    int octave = 0;
    while (x > TOP_NOTE_OF_OCTAVE) {
        x = -SEMITONES_PER_OCTAVE + x;
        ++octave;
    }
    if (octave > TOP_OCTAVE) octave = TOP_OCTAVE;
    steps.reduced = x;
    steps.octave = octave;

    std::uint8_t n = std::uint8_t(std::int32_t(std::floor(x)));  // 255 for x in (-1, 0)
    steps.floorByte = n;
    steps.fraction = double(Real(x) - Real(n));

    // Note codes 3, 7 and 11 are skipped: the OPM's twelve notes sit in a 16-step field.
    n = std::uint8_t(n + 1);
    if (n > 2) ++n;
    if (n > 6) ++n;
    if (n > 10) ++n;

    steps.code.keyCode = std::uint8_t(n + 16 * octave);
    steps.code.keyFraction =
        std::uint8_t(std::int32_t(std::floor(KF_SCALE * steps.fraction)) & KF_MASK);
    return steps;
}

}  // namespace

PitchSteps pitchSteps(double frequency) {
    return pitchStepsIn<long double>(frequency);
}

PitchSteps pitchStepsPlainDouble(double frequency) {
    return pitchStepsIn<double>(frequency);
}

[[gnu::noinline]] KeyCode pitchToKeyCode(double frequency) {
    return pitchSteps(frequency).code;
}

double fmFrequency(std::uint8_t fnumLow, std::uint8_t fnumHigh) {
    const std::int32_t fnum = fnumLow + ((fnumHigh & 0x07) << 8);
    const std::int32_t block = (fnumHigh & 0x38) >> 3;
    const std::int32_t shifted = fnum << block;
    return fmHzPerUnit * shifted;
}

double psgFrequency(std::uint16_t period) {
    return PSG_CLOCK / double(period) / 16.0;
}

namespace {

// A remembered key code: bit 15 set, KC in bits 14-8 (it never exceeds 0x7E), KF in bits 7-0.
constexpr std::uint16_t KNOWN = 0x8000;

std::uint16_t entryOf(KeyCode code) {
    return std::uint16_t(KNOWN | code.keyCode << 8 | code.keyFraction);
}

KeyCode keyCodeOf(std::uint16_t entry) {
    return {std::uint8_t((entry >> 8) & 0x7F), std::uint8_t(entry)};
}

std::uint16_t fmKeyCodes[1 << 14];  // by block and F-number: fnumHigh bits 5-0, fnumLow
std::uint16_t psgKeyCodes[1 << 10];

}  // namespace

KeyCode fmKeyCode(std::uint8_t fnumLow, std::uint8_t fnumHigh) {
    std::uint16_t& entry = fmKeyCodes[std::size_t((fnumHigh & 0x3F) << 8 | fnumLow)];
    if (!(entry & KNOWN)) entry = entryOf(pitchToKeyCode(fmFrequency(fnumLow, fnumHigh)));
    return keyCodeOf(entry);
}

KeyCode psgKeyCode(std::uint16_t period) {
    std::uint16_t& entry = psgKeyCodes[period & 0x3FF];
    if (!(entry & KNOWN)) entry = entryOf(pitchToKeyCode(psgFrequency(period)));
    return keyCodeOf(entry);
}
