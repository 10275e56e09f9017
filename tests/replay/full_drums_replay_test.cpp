// The full player's drums on the emulated X68000: samples of a program's bank played through
// DMA channel 3 and the MSM6258 at the steps, on the sides and at the rates the stream asks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "full/player/full_player.hpp"
#include "replay_support.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr double STEP_NS = opmsim::TICK_NS / opmsim::FULL_STEPS_PER_TICK;

Bytes sampleBytes(std::size_t count, std::uint8_t seed) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = std::uint8_t(seed + 7 * i);
    return bytes;
}

bool anyProblemHas(const opmsim::ReplayCheck& check, const char* text) {
    return std::any_of(check.problems.begin(), check.problems.end(),
                       [text](const std::string& p) { return p.find(text) != std::string::npos; });
}

TEST(FullPlayerDrums, PlaysEachStartAtItsStepSideAndRateAndStopsIt) {
    // Sample 0: short, ÷512; 1: 3000 bytes at ÷768 (0.58 s), long enough to be cut; 2: left
    // out; 3: short, ÷1024. Each ends with the bank's closing $80.
    const std::vector<FullBankSample> samples = {{sampleBytes(40, 0x11), 0x08},
                                                 {sampleBytes(3000, 0x23), 0x04},
                                                 {{}, 0x08},
                                                 {sampleBytes(20, 0x35), 0x00}};
    const Bytes bank = fullBankBytes(samples);
    const Bytes stream = {0x1B, 0x03, 0x08, 0x00, 0x00, 0xF3,
                          0x00, 0x01,                          // step 0: 1B, sample 1 on both sides
                          0x00, 0x09, 0x00, 0xF1, 0x00, 0x00,  // step 10: sample 0, right only
                          0x00, 0x13, 0x00, 0xF2, 0x00, 0x03,  // step 30: sample 3, left only
                          0x00, 0x13, 0x00, 0xF3, 0x00, 0x07,  // step 50: beyond the table
                          0x00, 0xF3, 0x00, 0x02,              // and a sample left out
                          0x00, 0x04, 0x00, 0xF3, 0x00, 0x01,  // step 55: sample 1 again
                          0x00, 0x13, 0x00, 0xF0,              // step 75: stopped
                          0x00, 0x09, 0x00, 0xF2, 0x00, 0x01,  // step 85: sample 1, left only
                          0x00, 0x13, 0x08, 0x01, 0x00, 0xFF};  // step 105: the song ends on it
    struct Expected {
        double step;
        std::size_t sample;
        std::uint8_t portC;  // divider and pan bits
        double cutAtStep;    // -1: plays to its end
    };
    const Expected expected[] = {{0, 1, 0x04, 10},
                                 {10, 0, 0x0A, -1},
                                 {30, 3, 0x01, -1},
                                 {55, 1, 0x04, 75},
                                 {85, 1, 0x05, 105}};
    const std::uint8_t copy = 0xC0;  // CT1 set by the system: the player must clear it
    opmsim::SimOptions options;
    options.systemCopy1B = copy;

    const replay::Replay r = replay::replay(buildFullProgram(stream, bank), options);
    EXPECT_TRUE(r.check.problems.empty()) << replay::describe(r);
    EXPECT_TRUE(r.result.exited);
    EXPECT_EQ(r.result.exitCode, 0);
    ASSERT_EQ(r.result.adpcm.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        const opmsim::AdpcmPlay& play = r.result.adpcm[i];
        const Bytes& whole = samples[expected[i].sample].bytes;
        EXPECT_NEAR(play.startNs / STEP_NS, expected[i].step, 0.5);
        EXPECT_EQ(play.count, whole.size() + 1) << "the closing $80 counted";
        EXPECT_EQ(play.portC & 0x0F, expected[i].portC);
        EXPECT_TRUE(std::equal(
            play.bytes.begin(),
            play.bytes.begin() + std::ptrdiff_t(std::min(play.bytes.size(), whole.size())),
            whole.begin()));
        ASSERT_GE(play.stopNs, 0) << "stopped";
        EXPECT_EQ(play.aborted, expected[i].cutAtStep >= 0);
        if (play.aborted) {
            EXPECT_NEAR(play.endNs / STEP_NS, expected[i].cutAtStep, 0.5);
        } else {
            EXPECT_EQ(play.bytes.size(), whole.size() + 1);
            EXPECT_EQ(play.bytes.back(), 0x80);
            EXPECT_LE(play.stopNs - play.endNs, 1.1 * STEP_NS) << "COC seen at the next step";
        }
    }
    // 1B: CT1 clear from the start, CT2 and at the end the whole copy as the system keeps it.
    std::vector<std::uint8_t> written1B;
    for (const opmsim::OpmWrite& w : r.result.writes)
        if (w.reg == 0x1B) written1B.push_back(w.value);
    EXPECT_EQ(written1B, (Bytes{0x40, 0x43, copy}));

    // A key read while sample 1 plays at step 85 stops it on the way out.
    options.keyPressNs = std::int64_t(92 * STEP_NS);
    const replay::Replay keyed = replay::replay(buildFullProgram(stream, bank), options);
    EXPECT_TRUE(keyed.check.problems.empty()) << replay::describe(keyed);
    ASSERT_EQ(keyed.result.adpcm.size(), std::size(expected));
    EXPECT_TRUE(keyed.result.adpcm.back().aborted);
    EXPECT_LT(keyed.result.adpcm.back().stopNs - keyed.result.keyTakenNs, 2'000'000);

    // The check finds a sample played from other bytes, or on other sides, than the stream's.
    opmsim::DecodedStream otherBytes = r.stream;
    otherBytes.bank[3].bytes[5] ^= 0x01;
    EXPECT_TRUE(anyProblemHas(opmsim::checkReplay(otherBytes, r.result), "not the bank's"));
    opmsim::DecodedStream otherSides = r.stream;
    otherSides.adpcm[2].command = 0xF3;
    EXPECT_TRUE(anyProblemHas(opmsim::checkReplay(otherSides, r.result), "port C"));

    // Without a bank the same stream plays to its end and touches no ADPCM register.
    const replay::Replay bare = replay::replay(buildFullProgram(stream), options = {});
    EXPECT_TRUE(bare.check.problems.empty()) << replay::describe(bare);
    EXPECT_TRUE(bare.result.adpcm.empty());
    EXPECT_EQ(bare.check.streamWrites, 3u);
}

}  // namespace
