// Levels over the analysed frames: which frames sound, and how loud a file or a band gets.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "frame_analysis.hpp"

// Mean squares below -100 dB full scale are silence.
inline constexpr double SILENCE_FLOOR = 1e-10;

// Frames are gathered into blocks of 0.1 s, about a short note, where a single 46 ms frame is
// swayed by attack transients and by the beating of partials a few Hz apart.
inline constexpr std::size_t BLOCK_FRAMES = 20;

// Mean of the two channels' mean squares in each frame.
std::vector<double> mixEnergy(const FrameFeatures& features);

// Power of an octave band in a frame, mean of the two channels.
inline double bandPower(const FrameFeatures& features, std::size_t frame, int band) {
    return 0.5 * (features.octaveLeft[frame][band] + features.octaveRight[frame][band]);
}

// Which frames sound: within 40 dB of the file's loud frames (the 95th percentile of its frames
// above the silence floor), so that quiet tails and fades do not count. Empty when none does.
std::vector<bool> soundingFrames(const FrameFeatures& features);

// The 95th percentile of the values in the frames where the file sounds.
double loudLevel(const std::vector<double>& values, const std::vector<bool>& sounding);

// The loud level of an octave band; none when the band holds nothing, not even 60 dB below the
// loud frames of the whole file.
std::optional<double> bandLoudLevel(const FrameFeatures& features, int band,
                                    const std::vector<bool>& sounding);
