#include "frame_levels.hpp"

#include <algorithm>

#include "statistics.hpp"

namespace {

constexpr double SOUNDING_RANGE = 1e-4;  // -40 dB
constexpr double BAND_PRESENCE = 1e-6;   // -60 dB

}  // namespace

std::vector<double> mixEnergy(const FrameFeatures& features) {
    std::vector<double> energy(features.energyLeft.size());
    for (std::size_t k = 0; k < energy.size(); ++k)
        energy[k] = 0.5 * (features.energyLeft[k] + features.energyRight[k]);
    return energy;
}

std::vector<bool> soundingFrames(const FrameFeatures& features) {
    const std::vector<double> energy = mixEnergy(features);
    std::vector<double> audible;
    for (double e : energy)
        if (e > SILENCE_FLOOR) audible.push_back(e);
    if (audible.empty()) return {};
    const double threshold = std::max(SILENCE_FLOOR, percentile(audible, 0.95) * SOUNDING_RANGE);
    std::vector<bool> sounding(energy.size());
    for (std::size_t k = 0; k < energy.size(); ++k) sounding[k] = energy[k] >= threshold;
    return sounding;
}

double loudLevel(const std::vector<double>& values, const std::vector<bool>& sounding) {
    std::vector<double> loud;
    for (std::size_t k = 0; k < sounding.size(); ++k)
        if (sounding[k]) loud.push_back(values[k]);
    return percentile(loud, 0.95);
}

std::optional<double> bandLoudLevel(const FrameFeatures& features, int band,
                                    const std::vector<bool>& sounding) {
    std::vector<double> power(features.octaveLeft.size());
    for (std::size_t k = 0; k < power.size(); ++k) power[k] = bandPower(features, k, band);
    const double loud = loudLevel(power, sounding);
    const double presence = loudLevel(mixEnergy(features), sounding) * BAND_PRESENCE;
    if (loud <= std::max(SILENCE_FLOOR, presence)) return std::nullopt;
    return loud;
}
