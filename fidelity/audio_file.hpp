// A stereo rendering held in memory, and its reading from a sound file with libsndfile.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct StereoAudio {
    double rate = 0;  // samples per second
    std::vector<float> left;
    std::vector<float> right;
    bool mono = false;  // one channel only: right is a copy of left
};

inline double durationSeconds(const StereoAudio& audio) {
    return audio.rate > 0 ? static_cast<double>(audio.left.size()) / audio.rate : 0.0;
}

// Sample rates the analysis accepts; outside them a file is refused.
inline constexpr double MIN_SAMPLE_RATE = 4000;
inline constexpr double MAX_SAMPLE_RATE = 768000;

// Reads the first two channels of a sound file (one channel counts as mono). Returns the
// reason when the file cannot be used.
std::optional<std::string> readAudioFile(const std::string& path, StereoAudio& audio);
