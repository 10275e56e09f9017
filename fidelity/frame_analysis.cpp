#include "frame_analysis.hpp"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

#include "band_map.hpp"
#include "pitch_profile.hpp"

namespace {

// Flux bands: a quarter octave wide from 40 Hz up.
constexpr double FLUX_LOW_HZ = 40;
constexpr int FLUX_BANDS_PER_OCTAVE = 4;
// Log compression of band magnitudes for the flux: ln(1 + g * magnitude). With g = 1e4 it is
// a plain log-magnitude above -80 dB full scale, so the flux does not depend on the level.
constexpr double FLUX_COMPRESSION = 1e4;

struct FftwFree {
    void operator()(void* p) const { fftw_free(p); }
};
struct FftwPlanDestroy {
    void operator()(fftw_plan_s* p) const { fftw_destroy_plan(p); }
};

std::vector<double> hannWindow(int size) {
    std::vector<double> window(static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i)
        window[i] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * (i + 0.5) / size);
    return window;
}

std::vector<double> octaveEdges(double topHz) {
    std::vector<double> edges;
    for (double centre : OCTAVE_CENTRES_HZ) edges.push_back(centre / std::numbers::sqrt2);
    edges.push_back(OCTAVE_CENTRES_HZ.back() * std::numbers::sqrt2);
    for (double& edge : edges) edge = std::min(edge, topHz);
    return edges;
}

}  // namespace

int fftSizeFor(double rate) {
    const int exponent = static_cast<int>(std::lround(std::log2(std::max(rate, 1.0) * 0.0464)));
    return 1 << std::clamp(exponent, 6, 20);
}

std::size_t framesIn(double seconds) {
    const double span = seconds - 2 * FRAME_HALF_SECONDS;
    return span < 0 ? 0 : static_cast<std::size_t>(std::floor(span / HOP_SECONDS + 1e-9)) + 1;
}

FrameFeatures analyseFrames(const StereoAudio& audio, std::size_t frames, double topHz,
                            double offsetSeconds) {
    const int size = fftSizeFor(audio.rate);
    const std::vector<double> window = hannWindow(size);
    double windowPower = 0;
    for (double w : window) windowPower += w * w;

    const BandMap octaveMap = buildBandMap(size, audio.rate, octaveEdges(topHz));
    const BandMap fluxMap =
        buildBandMap(size, audio.rate, logBandEdges(FLUX_LOW_HZ, topHz, FLUX_BANDS_PER_OCTAVE));

    const auto bins = static_cast<std::size_t>(size / 2 + 1);
    std::unique_ptr<double, FftwFree> inputLeft(fftw_alloc_real(static_cast<std::size_t>(size)));
    std::unique_ptr<double, FftwFree> inputRight(fftw_alloc_real(static_cast<std::size_t>(size)));
    std::unique_ptr<fftw_complex, FftwFree> outputLeft(fftw_alloc_complex(bins));
    std::unique_ptr<fftw_complex, FftwFree> outputRight(fftw_alloc_complex(bins));
    std::unique_ptr<fftw_plan_s, FftwPlanDestroy> planLeft(
        fftw_plan_dft_r2c_1d(size, inputLeft.get(), outputLeft.get(), FFTW_ESTIMATE));
    std::unique_ptr<fftw_plan_s, FftwPlanDestroy> planRight(
        fftw_plan_dft_r2c_1d(size, inputRight.get(), outputRight.get(), FFTW_ESTIMATE));

    FrameFeatures features;
    features.energyLeft.resize(frames);
    features.energyRight.resize(frames);
    features.chroma.resize(frames);
    features.octaveLeft.resize(frames);
    features.octaveRight.resize(frames);
    features.onset.resize(frames);

    const auto samples = static_cast<long long>(audio.left.size());
    std::vector<double> power(bins), powerLeft(bins), powerRight(bins);
    std::vector<double> fluxBands(static_cast<std::size_t>(fluxMap.bands));
    std::vector<double> previousFlux(fluxBands.size());
    for (std::size_t k = 0; k < frames; ++k) {
        const double centre =
            offsetSeconds + FRAME_HALF_SECONDS + static_cast<double>(k) * HOP_SECONDS;
        const long long start = std::llround(centre * audio.rate) - size / 2;
        double left = 0, right = 0;
        for (int i = 0; i < size; ++i) {
            const long long at = start + i;
            const bool inside = at >= 0 && at < samples;
            const double l = inside ? audio.left[static_cast<std::size_t>(at)] : 0.0;
            const double r = inside ? audio.right[static_cast<std::size_t>(at)] : 0.0;
            const double w = window[i];
            left += w * w * l * l;
            right += w * w * r * r;
            inputLeft.get()[i] = w * l;
            inputRight.get()[i] = w * r;
        }
        features.energyLeft[k] = left / windowPower;
        features.energyRight[k] = right / windowPower;

        fftw_execute(planLeft.get());
        fftw_execute(planRight.get());
        // Scaled so that a band's power is the mean square of the signal within it. The mono mix
        // is (left + right) / 2.
        const double scale = 2 / (size * windowPower);
        for (std::size_t bin = 0; bin < bins; ++bin) {
            const double* l = outputLeft.get()[bin];
            const double* r = outputRight.get()[bin];
            powerLeft[bin] = scale * (l[0] * l[0] + l[1] * l[1]);
            powerRight[bin] = scale * (r[0] * r[0] + r[1] * r[1]);
            const double re = 0.5 * (l[0] + r[0]), im = 0.5 * (l[1] + r[1]);
            power[bin] = scale * (re * re + im * im);
        }
        features.chroma[k].fill(0);
        addSpectralPeaks(power, audio.rate / size, topHz, features.chroma[k]);
        features.octaveLeft[k].fill(0);
        features.octaveRight[k].fill(0);
        for (const BandWeight& entry : octaveMap.weights) {
            features.octaveLeft[k][entry.band] += entry.weight * powerLeft[entry.bin];
            features.octaveRight[k][entry.band] += entry.weight * powerRight[entry.bin];
        }

        std::fill(fluxBands.begin(), fluxBands.end(), 0.0);
        for (const BandWeight& entry : fluxMap.weights)
            fluxBands[entry.band] += entry.weight * power[entry.bin];
        double flux = 0;
        for (std::size_t band = 0; band < fluxBands.size(); ++band) {
            const double level = std::log1p(FLUX_COMPRESSION * std::sqrt(fluxBands[band]));
            if (k > 0) flux += std::max(0.0, level - previousFlux[band]);
            previousFlux[band] = level;
        }
        features.onset[k] = flux;
    }
    return features;
}
