#include "full/translate/noise_lfo.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "full/translate/true_pitch.hpp"
#include "translate/opm_image.hpp"

namespace {

constexpr double YM2612_SAMPLE_HZ = FM_CLOCK / 144.0;
constexpr std::array<int, 8> YM2612_LFO_STEP_SAMPLES = {108, 77, 71, 67, 62, 44, 8, 5};

// Vibrato depth (cents at full swing) of the YM2612's PMS settings, and of the OPM's at
// OPM_PM_DEPTH: 6.25 cents at PMD 127 for PMS 1, doubling per step to PMS 5, then 400, 800.
constexpr std::array<double, 8> YM2612_PM_CENTS = {0, 3.4, 6.7, 10, 14, 20, 40, 80};
constexpr std::array<double, 8> OPM_PM_CENTS_AT_FULL_DEPTH = {0, 6.25, 12.5, 25, 50, 100, 400, 800};
// Tremolo depth (dB) of the YM2612's AMS settings, and of the OPM's at OPM_AM_DEPTH.
constexpr std::array<double, 4> YM2612_AM_DB = {0, 1.4, 5.9, 11.8};
constexpr std::array<double, 4> OPM_AM_DB = {0, 5.9, 11.8, 23.6};

// The choice among `choices` settings nearest to each wanted value, by a distance that grows
// with the difference; worked out when the program is compiled.
template <std::size_t N, typename Distance>
constexpr std::array<std::uint8_t, N> nearestBy(const std::array<double, N>& wanted,
                                                Distance distance, int choices) {
    std::array<std::uint8_t, N> nearest{};
    for (std::size_t i = 0; i < N; ++i) {
        int best = 0;
        double bestDistance = distance(wanted[i], 0);
        for (int c = 1; c < choices; ++c)
            if (const double d = distance(wanted[i], c); d < bestDistance)
                best = c, bestDistance = d;
        nearest[i] = std::uint8_t(best);
    }
    return nearest;
}

// How far apart two frequencies or depths are, as the larger of their two ratios (the
// distance in cents or decibels grows with it); two zeros are equal, a zero and anything
// else as far apart as can be.
constexpr double ratioDistance(double a, double b) {
    if (a == 0 || b == 0) return a == b ? 1 : 1e300;
    return a > b ? a / b : b / a;
}

constexpr double ym2612LfoHzAt(int rate) {
    return YM2612_SAMPLE_HZ / (128.0 * YM2612_LFO_STEP_SAMPLES[std::size_t(rate & 7)]);
}
constexpr double opmLfoHzAt(int lfrq) {
    return double((16 + (lfrq & 0x0F)) * (std::uint64_t(1) << (lfrq >> 4))) * X68000_OPM_CLOCK /
           68719476736.0;  // 2^36
}

constexpr std::array<double, 8> YM2612_LFO_RATES = [] {
    std::array<double, 8> rates{};
    for (int r = 0; r < 8; ++r) rates[std::size_t(r)] = ym2612LfoHzAt(r);
    return rates;
}();

}  // namespace

double sn76489NoiseShiftHz(std::uint8_t noiseControl, std::uint16_t tone2Period) {
    const int rate = noiseControl & 0x03;
    if (rate < 3) return PSG_CLOCK / double(512 << rate);
    return sn76489ToneHz(tone2Period == 0 ? 1024 : tone2Period);
}

std::uint8_t opmNoiseFrequency(double shiftHz) {
    const double nfrq = std::round(32.0 - X68000_OPM_CLOCK / 32.0 / shiftHz);
    return std::uint8_t(nfrq < 0 ? 0 : nfrq > 31 ? 31 : nfrq);
}

double ym2612LfoHz(int rate) {
    return ym2612LfoHzAt(rate);
}

double opmLfoHz(std::uint8_t lfrq) {
    return opmLfoHzAt(lfrq);
}

constexpr std::array<std::uint8_t, 8> LFRQ_BY_YM2612_RATE = nearestBy(
    YM2612_LFO_RATES, [](double hz, int lfrq) { return ratioDistance(opmLfoHzAt(lfrq), hz); }, 256);

constexpr std::array<std::uint8_t, 8> OPM_PMS_BY_YM2612_PMS = nearestBy(
    YM2612_PM_CENTS,
    [](double cents, int pms) {
        return ratioDistance(OPM_PM_CENTS_AT_FULL_DEPTH[std::size_t(pms)] * OPM_PM_DEPTH / 127.0,
                             cents);
    },
    8);

constexpr std::array<std::uint8_t, 4> OPM_AMS_BY_YM2612_AMS = nearestBy(
    YM2612_AM_DB,
    [](double db, int ams) {
        const double difference = OPM_AM_DB[std::size_t(ams)] - db;
        return difference < 0 ? -difference : difference;
    },
    4);
