// Walks a RegisterStream pair by pair, for checks on whole conversions.
#pragma once

#include <algorithm>
#include <array>

#include "tests/test_support.hpp"

struct StreamSummary {
    int endMarkers = 0;
    int loopMarkers = 0;
    bool endsWithEndMarker = false;
    std::uint64_t totalTicks = 0;
    std::uint64_t ticksBeforeLoop = 0;
    int registerPairs = 0;
    std::array<int, 8> keyWrites{};   // pairs 0x08 by channel, after the prologue's two
    std::array<int, 8> keyOns{};      // of which with at least one operator on
    std::array<int, 8> keyCodes{};    // key code pairs by channel
    std::array<int, 8> quietestTl{};  // lowest TL written to any operator, by channel
    // Output bits 7-6 (R, L) written to 0x20 + c: bit n set when the value n << 6 occurred.
    std::array<unsigned, 8> outputPatterns{};
    bool coarseDetune = false;  // some DT2 (bits 7-6 of 0xC0-0xDF) set
};

inline StreamSummary summarizeStream(const Bytes& stream) {
    StreamSummary s;
    s.quietestTl.fill(127);
    for (std::size_t i = 0; i + 1 < stream.size(); i += 2) {
        const std::uint8_t first = stream[i], second = stream[i + 1];
        if (first != 0) {
            ++s.registerPairs;
            if (i < 122) continue;  // the prologue
            if (first == 0x08) {
                ++s.keyWrites[second & 7];
                if (second & 0x78) ++s.keyOns[second & 7];
            }
            if (first >= 0x20 && first < 0x28) s.outputPatterns[first & 7] |= 1u << (second >> 6);
            if (first >= 0x28 && first < 0x30) ++s.keyCodes[first & 7];
            if (first >= 0xC0 && first < 0xE0 && (second & 0xC0)) s.coarseDetune = true;
            if (first >= 0x60 && first < 0x80)
                s.quietestTl[first & 7] = std::min(s.quietestTl[first & 7], int(second));
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
