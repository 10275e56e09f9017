#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "tests/stream_reader.hpp"
#include "tests/test_support.hpp"
#include "tests/vgm_scan.hpp"

namespace {

namespace fs = std::filesystem;

std::uint32_t littleLong(const Bytes& b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

TEST(Corpus, EveryFileConvertsToAWellFormedExecutable) {
    const std::vector<fs::path> files = corpusFiles();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << corpusDir();
    int panned = 0, writesD2rUpperBits = 0;  // channels panned to one side; files
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        ScratchDir dir;
        const Bytes stub = makeDummyStub();
        writeFile(dir.file("vgmstub.bin"), stub);
        const Bytes vgm = readFile(file.string());
        writeFile(dir.file("song.vgm"), vgm);
        const ProgramResult r = runConverter(dir.path.string(), {"song"});
        ASSERT_EQ(r.exitStatus, 0);
        // The only commands reported are the DAC stream commands 0x90-0x95, whose operands
        // are skipped rather than decoded as commands.
        std::istringstream console(r.console);
        for (std::string line; std::getline(console, line);) {
            unsigned command = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "unexpected byte %u\r", &command), 1) << line;
            EXPECT_TRUE(command >= 0x90 && command <= 0x95) << line;
        }

        const Bytes out = readFile(dir.file("song.x"));
        ASSERT_GE(out.size(), 446u + 124);
        EXPECT_EQ(out.size() % 2, 0u);
        EXPECT_TRUE(std::equal(stub.begin(), stub.begin() + 13, out.begin()));
        EXPECT_TRUE(std::equal(stub.begin() + 16, stub.begin() + 434, out.begin() + 16));
        EXPECT_TRUE(std::equal(stub.begin() + 434, stub.end(), out.end() - 12));
        EXPECT_EQ(std::uint32_t(out[13] << 16 | out[14] << 8 | out[15]), out.size() - 76);

        const Bytes stream(out.begin() + 434, out.end() - 12);
        EXPECT_TRUE(std::equal(streamPrologue().begin(), streamPrologue().end(), stream.begin()));
        const StreamSummary s = summarizeStream(stream);
        EXPECT_EQ(s.endMarkers, 1);
        EXPECT_TRUE(s.endsWithEndMarker);
        EXPECT_LE(s.loopMarkers, 1);

        // The loop marker stands after the prologue's tick and every whole tick before the
        // loop point: total samples less the samples of the looped part.
        const std::uint32_t totalSamples = littleLong(vgm, 0x18);
        const std::uint32_t loopSamples = littleLong(vgm, 0x20);
        const bool loops = littleLong(vgm, 0x1C) != 0;
        EXPECT_EQ(s.loopMarkers, loops ? 1 : 0);
        if (loops) {
            EXPECT_EQ(s.ticksBeforeLoop, 1 + (totalSamples - loopSamples) / 787);
        }
        EXPECT_LE(s.totalTicks, 1 + totalSamples / 787);

        // Every YM2612 key write reaches the stream; a keyed channel gets its pitch; the
        // PSG-voice channels sound where the file makes tone channels 0 and 1 audible.
        const VgmScan scan = scanVgm(vgm);
        int distinctKeyedChannels = 0;
        for (std::size_t c = 0; c < 6; ++c) {
            EXPECT_EQ(s.keyWrites[c], scan.keyWrites[c]) << "channel " << c;
            EXPECT_EQ(s.keyOns[c], scan.keyOns[c]) << "channel " << c;
            if (scan.keyOns[c] > 0) {
                ++distinctKeyedChannels;
                EXPECT_GT(s.keyCodes[c], 0) << "channel " << c;
            }
        }
        EXPECT_GT(distinctKeyedChannels, 0);

        // Left and right trade bit places between the chips (output pattern n becomes the
        // pattern with bits 0 and 1 swapped); the start-up voice has both outputs. The bits
        // the YM2612 ignores above D2R never become a coarse detune.
        constexpr unsigned BOTH_OUTPUTS = 1u << 3;
        for (std::size_t c = 0; c < 6; ++c) {
            unsigned expected = BOTH_OUTPUTS;
            for (unsigned n = 0; n < 4; ++n)
                if (scan.outputPatterns[c] & (1u << n)) expected |= 1u << ((n >> 1) | (n & 1) << 1);
            EXPECT_EQ(s.outputPatterns[c], expected) << "channel " << c;
            panned += (scan.outputPatterns[c] & 0b0110) != 0;
        }
        EXPECT_FALSE(s.coarseDetune);
        writesD2rUpperBits += scan.d2rUpperBits;
        for (std::size_t p = 0; p < 2; ++p)
            EXPECT_EQ(s.quietestTl[6 + p] < 127, scan.psgAudible[p]) << "tone channel " << p;
    }
    std::printf("corpus: %d channels panned to one side, %d files with D2R upper bits\n", panned,
                writesD2rUpperBits);
}

}  // namespace
