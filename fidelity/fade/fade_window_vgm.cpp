// fade_window_vgm: a stretch of what a program of opmcast-full plays through its passes and its
// fade, as a VGM file for the YM2151 and the OKIM6258, for rendering with MAME.
//
// usage: fade_window_vgm PROGRAM.x PASSES BEFORE AFTER OUT.vgm
//
// The stream is played as the player plays it: once to its end marker, then from its loop
// position until the header's passes are done, then the fade to its 00 F8. The stretch runs
// from BEFORE seconds ahead of the end of pass PASSES to AFTER seconds past it. At its start
// every OPM register gets the value it would hold there, and each channel's keys their last
// state; the drums before it are left out. Prints the seconds from the stretch's start to the end
// of pass PASSES.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "dump/program/executable_stream.hpp"
#include "dump/program/vgm_export.hpp"

namespace {

int fail(const std::string& why) {
    std::fprintf(stderr, "fade_window_vgm: %s\n", why.c_str());
    return 1;
}

// The pairs the player goes through, in its order: the passes, then the fade; the passes no
// further than needed to reach step `until`.
std::vector<StreamPair> playedPairs(const ExecutableStream& stream, std::uint64_t until) {
    const std::size_t pass = passPairs(stream);
    std::size_t loopAt = pass;
    for (std::size_t i = 0; i < pass; ++i)
        if (streamPairGroup(stream.player, stream.pairs[i]) == PairGroup::loopMarker) loopAt = i;
    std::vector<StreamPair> played;
    std::uint64_t step = 0;
    const auto markerFree = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            const PairGroup group = streamPairGroup(stream.player, stream.pairs[i]);
            step += streamPairSteps(stream.player, stream.pairs[i]);
            if (group != PairGroup::endMarker && group != PairGroup::loopMarker)
                played.push_back(stream.pairs[i]);
        }
    };
    markerFree(0, pass);
    for (int p = 1; p < stream.loops && loopAt < pass && step <= until; ++p)
        markerFree(loopAt, pass);
    markerFree(pass, stream.pairs.size());
    return played;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) return fail("usage: fade_window_vgm PROGRAM.x PASSES BEFORE AFTER OUT.vgm");
    std::ifstream in(argv[1], std::ios::binary);
    const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ExecutableStream stream;
    if (!in) return fail(std::string("cannot read ") + argv[1]);
    if (auto problem = readExecutable(file, stream)) return fail(describeProblem(*problem));
    const int passes = std::atoi(argv[2]);
    const double before = std::atof(argv[3]), after = std::atof(argv[4]);

    // The step at which pass `passes` ends.
    std::uint64_t firstSteps = 0, loopSteps = 0;
    bool inLoop = false;
    for (std::size_t i = 0; i < passPairs(stream); ++i) {
        inLoop |= streamPairGroup(stream.player, stream.pairs[i]) == PairGroup::loopMarker;
        const unsigned steps = streamPairSteps(stream.player, stream.pairs[i]);
        firstSteps += steps;
        if (inLoop) loopSteps += steps;
    }
    const std::uint64_t passEnd = firstSteps + std::uint64_t(std::max(passes, 1) - 1) * loopSteps;
    const double stepSeconds = double(stepToSamples(stream.player, 1'000'000)) / 44100 / 1e6;
    const auto from = std::uint64_t(std::max(0.0, double(passEnd) - before / stepSeconds));
    const auto to = passEnd + std::uint64_t(after / stepSeconds);

    const std::vector<StreamPair> played = playedPairs(stream, to);
    std::uint64_t step = 0;
    ExecutableStream window = stream;
    window.pairs.clear();
    window.loops = 0;
    window.fadePairs = 0;
    std::array<int, 256> last;
    std::array<int, 8> lastKey;
    last.fill(-1);
    lastKey.fill(-1);
    bool flushed = false;
    // A VGM player takes a burst of thousands of writes at one instant slowly: the registers
    // as they stand go out once each.
    const auto flushRegisters = [&] {
        for (int reg = 1; reg < 256; ++reg)
            if (last[std::size_t(reg)] >= 0)
                window.pairs.push_back(
                    {0, std::uint8_t(reg), std::uint8_t(last[std::size_t(reg)]), false});
        for (const int key : lastKey)
            if (key >= 0) window.pairs.push_back({0, 0x08, std::uint8_t(key), false});
        flushed = true;
    };
    for (const StreamPair& pair : played) {
        const PairGroup group = streamPairGroup(stream.player, pair);
        const unsigned steps = streamPairSteps(stream.player, pair);
        if (step >= to) break;
        if (step < from) {
            // Before the stretch: each register's last value, the keys' last state.
            if (group != PairGroup::sampleNumber && pair.first != 0)
                (pair.first == 0x08 ? lastKey[pair.second & 7] : last[pair.first]) = pair.second;
            step += steps;
            if (step > from) {
                flushRegisters();
                // A wait that crosses the stretch's start keeps its part inside it.
                StreamPair wait = pair;
                wait.second = std::uint8_t(step - from - 1);
                window.pairs.push_back(wait);
            }
            continue;
        }
        if (!flushed) flushRegisters();
        window.pairs.push_back(pair);
        step += steps;
        if (group == PairGroup::fadeEnd) break;
    }
    window.pairs.push_back({0, 0x00, 0xFF, false});
    Bytes vgm;
    if (auto problem = exportVgm(window, vgm)) return fail(describeProblem(*problem));
    if (auto why = writeFileInPlace(argv[5], vgm)) return fail(*why);
    std::printf("%.6f\n", double(passEnd - from) * stepSeconds);
    return 0;
}
