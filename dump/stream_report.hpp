// What opmdump prints about an executable: the header facts and the RegisterStream as a
// timeline, or only a summary; each as text for people or as JSON lines for scripts.
#pragma once

#include <array>

#include "dump/executable_stream.hpp"
#include "dump/opm_registers.hpp"

struct StreamStats {
    std::uint64_t pairs = 0;
    std::array<std::uint64_t, PAIR_GROUPS> byGroup{};
    std::array<std::uint64_t, 8> keyOns{};   // key on/off pairs with an operator on
    std::array<std::uint64_t, 8> keyOffs{};  // and with all four off
    std::uint64_t ticks = 0;                 // sum of all waits: the playing time
    bool loops = false;
    std::uint64_t loopTick = 0;  // sum of the waits before the loop marker
};

StreamStats streamStats(const ExecutableStream& stream);
// One tick is 787 VGM samples at 44100 samples per second.
double ticksToSeconds(std::uint64_t ticks);

std::string dumpText(const ExecutableStream& stream);
std::string dumpJson(const ExecutableStream& stream);
std::string summaryText(const ExecutableStream& stream);
std::string summaryJson(const ExecutableStream& stream);
