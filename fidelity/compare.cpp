#include "compare.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "frame_levels.hpp"
#include "statistics.hpp"
#include "stereo_image.hpp"

namespace {

// Renderings sharing less than this leave nothing meaningful to compare.
constexpr double MIN_SECONDS = 0.15;
// Band envelopes are compared in dB, each floored 60 dB below the band's loud frames.
constexpr double BAND_RANGE_DB = 60;
constexpr double DC_CUTOFF_HZ = 10;

// Mean cosine of the pitch-class profiles summed over each block's frames where both sound,
// each block weighted by those frames.
double meanChroma(const FrameFeatures& source, const FrameFeatures& converted,
                  const std::vector<std::size_t>& both) {
    double sum = 0;
    std::array<double, 12> a{}, b{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < both.size(); ++i) {
        for (std::size_t pitch = 0; pitch < 12; ++pitch) {
            a[pitch] += source.chroma[both[i]][pitch];
            b[pitch] += converted.chroma[both[i]][pitch];
        }
        ++count;
        if (i + 1 == both.size() || both[i + 1] / BLOCK_FRAMES != both[i] / BLOCK_FRAMES) {
            sum += static_cast<double>(count) * cosine(a, b);
            a.fill(0);
            b.fill(0);
            count = 0;
        }
    }
    return sum / static_cast<double>(both.size());
}

void measureTiming(const FrameFeatures& source, const FrameFeatures& converted,
                   Fidelity& fidelity) {
    const long maxLag = std::lround(MAX_LAG_SECONDS / HOP_SECONDS);
    const BestLag best = bestLag(source.onset, converted.onset, maxLag);
    fidelity.lagMs = best.lag * HOP_SECONDS * 1000;
    fidelity.onsetCorrelation = best.correlation;
}

// Mean square of both channels' sound, without their DC: a DC offset (MAME's YM2612 and SN76489
// outputs carry one that moves with the notes) is not heard and is not level. A one-pole
// high-pass at DC_CUTOFF_HZ takes it out.
double meanSquare(const StereoAudio& audio, double seconds) {
    const std::size_t n =
        std::min(audio.left.size(), static_cast<std::size_t>(seconds * audio.rate));
    if (n == 0) return 0.0;
    const double keep = std::exp(-2 * std::numbers::pi * DC_CUTOFF_HZ / audio.rate);
    double sum = 0;
    for (const std::vector<float>* channel : {&audio.left, &audio.right}) {
        double previous = (*channel)[0], filtered = 0;
        for (std::size_t i = 0; i < n; ++i) {
            filtered = keep * filtered + (*channel)[i] - previous;
            previous = (*channel)[i];
            sum += 0.5 * filtered * filtered;
        }
    }
    return sum / static_cast<double>(n);
}

// The band's power in dB in the given frames, floored BAND_RANGE_DB below its loud frames; empty
// when the band holds nothing.
std::vector<double> bandEnvelope(const FrameFeatures& features, int band,
                                 const std::vector<bool>& sounding,
                                 const std::vector<std::size_t>& frames) {
    const std::optional<double> loud = bandLoudLevel(features, band, sounding);
    if (!loud) return {};
    const double floor = std::max(*loud * std::pow(10.0, -BAND_RANGE_DB / 10), SILENCE_FLOOR);
    std::vector<double> envelope;
    for (std::size_t k : frames)
        envelope.push_back(10 * std::log10(std::max(bandPower(features, k, band), floor)));
    return envelope;
}

// Correlation of the dB envelopes per octave band, over the frames where either file sounds.
void measureBands(const FrameFeatures& source, const FrameFeatures& converted,
                  const std::vector<bool>& sourceSounding,
                  const std::vector<bool>& convertedSounding, Fidelity& fidelity) {
    std::vector<std::size_t> either;
    for (std::size_t k = 0; k < sourceSounding.size(); ++k)
        if (sourceSounding[k] || convertedSounding[k]) either.push_back(k);
    double sum = 0;
    int counted = 0;
    for (int band = 0; band < OCTAVE_BANDS; ++band) {
        const auto a = bandEnvelope(source, band, sourceSounding, either);
        if (a.empty()) continue;
        auto b = bandEnvelope(converted, band, convertedSounding, either);
        if (b.empty()) b.assign(a.size(), 0.0);  // nothing there: no correlation
        fidelity.bandCorrelation[band] = pearson(a, b);
        sum += *fidelity.bandCorrelation[band];
        ++counted;
    }
    if (counted > 0) fidelity.bandCorrelationMean = sum / counted;
}

}  // namespace

std::optional<std::string> compareRenderings(const StereoAudio& sourceAudio,
                                             const StereoAudio& convertedAudio,
                                             Fidelity& fidelity) {
    fidelity = {};
    fidelity.seconds = std::min(durationSeconds(sourceAudio), durationSeconds(convertedAudio));
    if (fidelity.seconds < MIN_SECONDS)
        return "too short: the renderings have less than 0.15 s in common";
    const std::size_t frames = framesIn(fidelity.seconds);
    // Both are analysed up to the lower Nyquist frequency, at most 11.3 kHz (the top of the 8 kHz
    // band).
    const double topHz = std::min({0.5 * sourceAudio.rate, 0.5 * convertedAudio.rate,
                                   OCTAVE_CENTRES_HZ.back() * std::numbers::sqrt2});
    const FrameFeatures source = analyseFrames(sourceAudio, frames, topHz, 0);
    const std::vector<bool> sourceSounding = soundingFrames(source);
    if (sourceSounding.empty()) return "the source is silent";
    const FrameFeatures unaligned = analyseFrames(convertedAudio, frames, topHz, 0);
    if (soundingFrames(unaligned).empty()) return "the conversion is silent";
    measureTiming(source, unaligned, fidelity);

    // Notes, balance and band envelopes are compared with the conversion moved back by the lag
    // found, so that they measure what is played rather than when (the lag is its own figure).
    const FrameFeatures converted =
        analyseFrames(convertedAudio, frames, topHz, fidelity.lagMs / 1000);
    std::vector<bool> convertedSounding = soundingFrames(converted);
    convertedSounding.resize(frames, false);
    std::vector<bool> both(frames);
    std::vector<std::size_t> bothFrames;
    for (std::size_t k = 0; k < frames; ++k) {
        both[k] = sourceSounding[k] && convertedSounding[k];
        if (both[k]) bothFrames.push_back(k);
    }
    if (bothFrames.empty()) return "the two renderings never sound at the same time";

    fidelity.chroma = meanChroma(source, converted, bothFrames);
    measureStereo(sourceAudio, convertedAudio, source, converted, sourceSounding, both, fidelity);
    // Floored so that a file silent within the common duration still gives a finite figure.
    fidelity.levelDb =
        10 * std::log10(std::max(meanSquare(convertedAudio, fidelity.seconds), 1e-30) /
                        std::max(meanSquare(sourceAudio, fidelity.seconds), 1e-30));
    measureBands(source, converted, sourceSounding, convertedSounding, fidelity);
    return std::nullopt;
}
