#include "audio_file.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Samples read per call, spread over the channels of the file.
constexpr sf_count_t CHUNK_SAMPLES = 65536;

// One hour of 48 kHz audio per channel; longer files are refused rather than exhausting memory.
constexpr sf_count_t MAX_FRAMES = sf_count_t{3600} * 48000;

std::optional<std::string> readSamples(SNDFILE* file, int channels, StereoAudio& audio) {
    const sf_count_t chunkFrames = std::max<sf_count_t>(1, CHUNK_SAMPLES / channels);
    std::vector<float> chunk(static_cast<std::size_t>(chunkFrames * channels));
    for (;;) {
        const sf_count_t got = sf_readf_float(file, chunk.data(), chunkFrames);
        if (got <= 0) break;
        for (sf_count_t i = 0; i < got; ++i) {
            const float* frame = &chunk[static_cast<std::size_t>(i * channels)];
            // Floating-point files can hold infinities and NaNs, which no measure survives.
            if (!std::isfinite(frame[0]) || !std::isfinite(frame[channels > 1 ? 1 : 0]))
                return "the file holds samples that are not finite numbers";
            audio.left.push_back(frame[0]);
            audio.right.push_back(channels > 1 ? frame[1] : frame[0]);
        }
        if (static_cast<sf_count_t>(audio.left.size()) > MAX_FRAMES)
            return "longer than one hour at 48 kHz";
    }
    if (sf_error(file) != SF_ERR_NO_ERROR) return sf_strerror(file);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> readAudioFile(const std::string& path, StereoAudio& audio) {
    audio = {};
    // libsndfile words a missing or unreadable file as a "System error"; the C library says it
    // plainly.
    if (std::FILE* probe = std::fopen(path.c_str(), "rb")) {
        std::fclose(probe);
    } else {
        return std::strerror(errno);
    }
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return sf_strerror(nullptr);
    std::optional<std::string> problem;
    if (info.channels < 1) {
        problem = "the file has no audio channel";
    } else if (info.samplerate < MIN_SAMPLE_RATE || info.samplerate > MAX_SAMPLE_RATE) {
        char text[96];
        std::snprintf(text, sizeof text, "sample rate %d Hz is outside %.0f..%.0f Hz",
                      info.samplerate, MIN_SAMPLE_RATE, MAX_SAMPLE_RATE);
        problem = text;
    } else {
        audio.rate = info.samplerate;
        audio.mono = info.channels == 1;
        if (info.frames > 0 && info.frames <= MAX_FRAMES) {
            audio.left.reserve(static_cast<std::size_t>(info.frames));
            audio.right.reserve(static_cast<std::size_t>(info.frames));
        }
        problem = readSamples(file, info.channels, audio);
    }
    sf_close(file);
    if (problem) audio = {};
    return problem;
}
