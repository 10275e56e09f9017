#include "pitch_profile.hpp"

#include <algorithm>
#include <cmath>

#include "statistics.hpp"

void addSpectralPeaks(const std::vector<double>& power, double binHz, double topHz,
                      std::array<double, 12>& profile) {
    const double highHz = std::min(PITCH_HIGH_HZ, topHz);
    for (std::size_t bin = 1; bin + 1 < power.size(); ++bin) {
        const double p = power[bin];
        if (p <= 0 || p < power[bin - 1] || p <= power[bin + 1]) continue;
        const double below = std::log(std::max(power[bin - 1], p * 1e-30));
        const double above = std::log(std::max(power[bin + 1], p * 1e-30));
        const double hz =
            (static_cast<double>(bin) + parabolicPeakOffset(below, std::log(p), above)) * binHz;
        if (hz < PITCH_LOW_HZ || hz > highHz) continue;
        const double note = 69 + 12 * std::log2(hz / 440);  // MIDI note number, C4 = 60
        const double lower = std::floor(note);
        const double upperShare = note - lower;
        const int pitchClass = static_cast<int>(lower) % 12;
        const double magnitude = std::sqrt(p);
        profile[pitchClass] += (1 - upperShare) * magnitude;
        profile[(pitchClass + 1) % 12] += upperShare * magnitude;
    }
}
