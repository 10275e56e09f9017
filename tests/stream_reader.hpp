// Walks a RegisterStream pair by pair, for checks on whole conversions.
#pragma once

#include "tests/test_support.hpp"

struct StreamSummary {
    int endMarkers = 0;
    int loopMarkers = 0;
    bool endsWithEndMarker = false;
    std::uint64_t totalTicks = 0;
    std::uint64_t ticksBeforeLoop = 0;
    int registerPairs = 0;
};

inline StreamSummary summarizeStream(const Bytes& stream) {
    StreamSummary s;
    for (std::size_t i = 0; i + 1 < stream.size(); i += 2) {
        const std::uint8_t first = stream[i], second = stream[i + 1];
        if (first != 0) {
            ++s.registerPairs;
        } else if (second <= 0xFD) {
            s.totalTicks += second + 1u;
        } else if (second == 0xFE) {
            ++s.loopMarkers;
            s.ticksBeforeLoop = s.totalTicks;
        } else {
            ++s.endMarkers;
        }
    }
    s.endsWithEndMarker = stream.size() >= 2 && stream.size() % 2 == 0 &&
                          stream[stream.size() - 2] == 0 && stream.back() == 0xFF;
    return s;
}
