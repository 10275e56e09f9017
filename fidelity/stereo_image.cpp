#include "stereo_image.hpp"

#include <cmath>
#include <optional>

#include "frame_levels.hpp"
#include "statistics.hpp"

namespace {

// A band sounds in a frame when its power is within 30 dB of its loud frames.
constexpr double BAND_SOUNDING_RANGE = 1e-3;
// The source is clearly panned when at least a tenth of its sounding band blocks lean to one side
// by |balance| > 0.2, one side 3.5 dB louder than the other.
constexpr double PANNED_BALANCE = 0.2;
constexpr double PANNED_FRACTION = 0.1;

struct BlockBalance {
    double balance;
    std::size_t frames;
};

// Balance of one band over each block, from each channel's power summed over the given frames
// (in increasing order) of the block.
std::vector<BlockBalance> blockBalances(const FrameFeatures& features, int band,
                                        const std::vector<std::size_t>& frames) {
    std::vector<BlockBalance> blocks;
    double left = 0, right = 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        left += features.octaveLeft[frames[i]][band];
        right += features.octaveRight[frames[i]][band];
        ++count;
        if (i + 1 == frames.size() || frames[i + 1] / BLOCK_FRAMES != frames[i] / BLOCK_FRAMES) {
            blocks.push_back({left + right > 0 ? (left - right) / (left + right) : 0.0, count});
            left = right = 0;
            count = 0;
        }
    }
    return blocks;
}

// The frames marked in `frames` where the band sounds in the source.
std::vector<std::size_t> bandFrames(const FrameFeatures& source, int band, double threshold,
                                    const std::vector<bool>& frames) {
    std::vector<std::size_t> selected;
    for (std::size_t k = 0; k < frames.size(); ++k)
        if (frames[k] && bandPower(source, k, band) >= threshold) selected.push_back(k);
    return selected;
}

}  // namespace

void measureStereo(const StereoAudio& sourceAudio, const StereoAudio& convertedAudio,
                   const FrameFeatures& source, const FrameFeatures& converted,
                   const std::vector<bool>& sourceSounding, const std::vector<bool>& both,
                   Fidelity& fidelity) {
    std::size_t frames = 0, leaning = 0;
    std::vector<double> sourceBalance, convertedBalance;
    for (int band = 0; band < OCTAVE_BANDS; ++band) {
        const std::optional<double> loud = bandLoudLevel(source, band, sourceSounding);
        if (!loud) continue;
        const double threshold = *loud * BAND_SOUNDING_RANGE;
        for (const BlockBalance& block :
             blockBalances(source, band, bandFrames(source, band, threshold, sourceSounding))) {
            frames += block.frames;
            if (std::abs(block.balance) > PANNED_BALANCE) leaning += block.frames;
        }
        const std::vector<std::size_t> shared = bandFrames(source, band, threshold, both);
        for (const BlockBalance& block : blockBalances(source, band, shared))
            sourceBalance.push_back(block.balance);
        for (const BlockBalance& block : blockBalances(converted, band, shared))
            convertedBalance.push_back(block.balance);
    }
    fidelity.sourcePanning = frames > 0 ? static_cast<double>(leaning) / frames : 0.0;
    fidelity.sourcePanned = !sourceAudio.mono && fidelity.sourcePanning >= PANNED_FRACTION;
    fidelity.monoInput = sourceAudio.mono || convertedAudio.mono;
    fidelity.stereoCorrelation.reset();
    if (fidelity.sourcePanned && !convertedAudio.mono)
        fidelity.stereoCorrelation = pearson(sourceBalance, convertedBalance);
}
