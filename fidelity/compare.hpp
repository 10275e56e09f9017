// The fidelity figures of a converted rendering against the rendering of its source.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "audio_file.hpp"
#include "frame_analysis.hpp"

struct Fidelity {
    double seconds = 0;  // common duration compared
    // Mean cosine of the pitch-class profiles of 0.1 s blocks where both sound; 1 = same notes.
    double chroma = 0;
    // Lag of the conversion behind the source (ms, positive = late) that best lines up the onset
    // envelopes within +-MAX_LAG_SECONDS, and the correlation reached there.
    double lagMs = 0;
    double onsetCorrelation = 0;
    // The share (0..1) of the source's sounding octave-band blocks that lean to one side, and
    // whether that makes it clearly panned (see stereo_image.hpp).
    double sourcePanning = 0;
    bool sourcePanned = false;
    // Correlation of the left/right balances of the octave-band blocks; none when the source is
    // centred or either file has one channel only.
    std::optional<double> stereoCorrelation;
    bool monoInput = false;
    // RMS level of the conversion relative to the source, in dB.
    double levelDb = 0;
    // Correlation of the dB envelopes per octave band; none where the source has nothing.
    std::array<std::optional<double>, OCTAVE_BANDS> bandCorrelation;
    std::optional<double> bandCorrelationMean;
};

inline constexpr double MAX_LAG_SECONDS = 0.5;

// Fills `fidelity`; returns why the two renderings cannot be compared (too short, silent, never
// sounding together).
std::optional<std::string> compareRenderings(const StereoAudio& source,
                                             const StereoAudio& converted, Fidelity& fidelity);
