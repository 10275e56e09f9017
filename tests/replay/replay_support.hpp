// Shared helpers of the replay tests: the players, song executables built around a stream, and
// one call that runs a program and compares the run with its stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "opm_sim.hpp"

namespace replay {

std::vector<std::uint8_t> readFile(const std::string& path);

// The player stub the build produced (or the committed one without the cross assembler).
const std::vector<std::uint8_t>& stub();

// A song executable holding `stream`, built as the converter builds it.
std::vector<std::uint8_t> song(const std::vector<std::uint8_t>& stream);

// A program of opmcast-full holding `stream`: the full player around it (buildFullProgram).
std::vector<std::uint8_t> fullSong(const std::vector<std::uint8_t>& stream);

// The program opmcast-full makes of a VGM log (the log's bytes written to a scratch folder,
// converted there); empty, with the converter's output in `log`, if it made none.
std::vector<std::uint8_t> convertWithFull(const std::vector<std::uint8_t>& vgm, std::string& log);

// A stand-alone program: a Human68k header in front of `code` (68000 words), no data, 256
// bytes of bss.
std::vector<std::uint8_t> program(const std::vector<std::uint16_t>& code);

struct Replay {
    opmsim::DecodedStream stream;
    opmsim::SimResult result;
    opmsim::ReplayCheck check;
};

Replay replay(const std::vector<std::uint8_t>& executable, const opmsim::SimOptions& options = {},
              double tickTolerance = 1.0);

// Everything that went wrong, one item a line, for failure messages.
std::string describe(const Replay& r);

// Writes other than the player's timer registers and its start-up writes (which every replay
// checks): the stream's writes, then the shutdown.
std::vector<opmsim::OpmWrite> writesAfterStartUp(const opmsim::SimResult& result);

inline std::int64_t ticksToNs(double ticks) {
    return std::int64_t(ticks * opmsim::TICK_NS);
}

// Steps of the full player's waits, a fifth of a tick each.
inline std::int64_t stepsToNs(double steps) {
    return std::int64_t(steps * opmsim::TICK_NS / opmsim::FULL_STEPS_PER_TICK);
}

}  // namespace replay
