// printf-style formatting into a string, checked by the compiler, and VGM time.
#pragma once

#include <cstdint>
#include <string>

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

// For %llu, whatever std::uint64_t is on the platform.
inline unsigned long long ull(std::uint64_t value) {
    return value;
}

// VGM time runs at 44100 samples per second.
inline constexpr double VGM_SAMPLE_RATE = 44100.0;
