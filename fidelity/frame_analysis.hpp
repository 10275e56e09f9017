// Short-time analysis of a stereo rendering: frames of about 46 ms every 5 ms, timed in seconds
// so that renderings at different sample rates line up frame for frame.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "audio_file.hpp"

inline constexpr double HOP_SECONDS = 0.005;
// Frame k is centred at FRAME_HALF_SECONDS + k * HOP_SECONDS; samples outside the file count as 0.
inline constexpr double FRAME_HALF_SECONDS = 0.023;

// Octave bands centred on 62.5 Hz .. 8 kHz (labelled 63 Hz .. 8 kHz).
inline constexpr int OCTAVE_BANDS = 8;
inline constexpr std::array<double, OCTAVE_BANDS> OCTAVE_CENTRES_HZ = {62.5, 125,  250,  500,
                                                                       1000, 2000, 4000, 8000};

struct FrameFeatures {
    // Hann-weighted mean square of each channel.
    std::vector<double> energyLeft;
    std::vector<double> energyRight;
    // Pitch-class profile of the mono mix (see pitch_profile.hpp).
    std::vector<std::array<double, 12>> chroma;
    // Power of each channel in each octave band.
    std::vector<std::array<double, OCTAVE_BANDS>> octaveLeft;
    std::vector<std::array<double, OCTAVE_BANDS>> octaveRight;
    // Spectral flux: summed rise of log band magnitudes since the previous frame.
    std::vector<double> onset;
};

// Power-of-two FFT size closest to 46.4 ms at this rate (2048 at 44.1 and 48 kHz).
int fftSizeFor(double rate);

// Number of whole frames that fit in the given duration.
std::size_t framesIn(double seconds);

// Analyses `frames` frames, all moved later by offsetSeconds. Pitch classes, octave bands and flux
// use only frequencies below topHz, so that renderings at different rates are measured over the
// same range.
FrameFeatures analyseFrames(const StereoAudio& audio, std::size_t frames, double topHz,
                            double offsetSeconds);
