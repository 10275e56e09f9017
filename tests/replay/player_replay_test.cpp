// The player stub replaying hand-made register streams on the emulated X68000.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "replay_support.hpp"

namespace {

using opmsim::TICK_NS;
using replay::describe;
using replay::replay;
using replay::song;
using replay::ticksToNs;
using replay::writesAfterStartUp;

using Bytes = std::vector<std::uint8_t>;

std::uint32_t be32(const Bytes& b, std::size_t offset) {
    return std::uint32_t(b[offset]) << 24 | b[offset + 1] << 16 | b[offset + 2] << 8 |
           b[offset + 3];
}

// Appends the pairs that wait `ticks` ticks (1-65535), as the converter encodes a wait.
void appendWait(Bytes& stream, unsigned ticks) {
    for (; ticks > 254; ticks -= 254) stream.insert(stream.end(), {0x00, 0xFD});
    stream.insert(stream.end(), {0x00, std::uint8_t(ticks - 1)});
}

TEST(Stub, HasTheLayoutTheConverterReliesOn) {
    const Bytes& stub = replay::stub();
    ASSERT_EQ(stub.size(), opmsim::STUB_SIZE);
    EXPECT_EQ(stub[0], 'H');
    EXPECT_EQ(stub[1], 'U');
    EXPECT_EQ(be32(stub, 0x08), 0u) << "entry at the start of the text";
    EXPECT_EQ(be32(stub, 0x0C), 370u) << "text = the code up to the stream position";
    EXPECT_EQ(be32(stub, 0x10), 12u) << "data = the 12-byte tail";
    EXPECT_GE(be32(stub, 0x14), 1024u) << "bss holds the stack";
    EXPECT_EQ(be32(stub, 0x14) % 2, 0u);
    EXPECT_EQ(be32(stub, 0x18), 0u) << "no relocation table";
    EXPECT_EQ(be32(stub, 0x3C), 0u) << "not a bound file";
    EXPECT_EQ(stub[434], 0x00);
    EXPECT_EQ(stub[435], 0xFF) << "the tail starts with the end marker";

    // A song patches only offsets 13-15 of the text size.
    Bytes exe = song({0x08, 0x00, 0x00, 0x00, 0x00, 0xFF});
    EXPECT_EQ(exe.size(), 452u);
    EXPECT_EQ(be32(exe, 0x0C), 376u);
    EXPECT_EQ(be32(exe, 0x10), 12u);
}

TEST(Stub, RunByItselfPlaysNothingAndExitsCleanly) {
    replay::Replay r = replay(replay::stub());
    EXPECT_TRUE(r.check.problems.empty()) << describe(r);
    EXPECT_TRUE(r.result.exited);
    EXPECT_EQ(r.result.exitCode, 0);
    EXPECT_EQ(r.check.streamWrites, 0u);
    EXPECT_LT(r.result.endNs, ticksToNs(0.5)) << "no tick should be waited for";
    // After the start-up writes only the shutdown reaches the chip: 8 key-offs and 32 TLs.
    EXPECT_EQ(writesAfterStartUp(r.result).size(), 40u);
}

TEST(HandMadeStream, WritesEveryPairInOrderAtItsTick) {
    Bytes stream = {
        0x20, 0xC7,              // RL/FB/CON of channel 0
        0x28, 0x4A,              // KC
        0x00, 0x00,              // 1 tick
        0x08, 0x78,              // key on, all operators of channel 0
        0x00, 0x04,              // 5 ticks
        0x00, 0x00, 0x00, 0x02,  // 1 + 3 ticks in a row
        0x08, 0x00,              // key off
        0x40, 0x00,              // value 0 is a value, not a command
        0x41, 0xFF,              // nor is 0xFF
        0xFE, 0x12,              // 0xFE and 0xFF as first bytes are registers (D1L/RR)
        0xFF, 0x34,              //
        0x00, 0xFD,              // 254 ticks
        0x60, 0x7F,              //
    };
    appendWait(stream, 1000);
    stream.insert(stream.end(), {0x08, 0x78, 0x00, 0xFF});
    replay::Replay r = replay(song(stream));
    EXPECT_TRUE(r.check.problems.empty()) << describe(r);
    EXPECT_EQ(r.check.streamWrites, 10u);
    // Writes come a fixed 0.1-0.3 ms after their tick: timer start-up, then flag handling.
    EXPECT_LT(r.check.maxTickError, 0.02) << "each write just after its tick starts";
    // The last write comes at tick 1 + 5 + 4 + 254 + 1000.
    std::vector<opmsim::OpmWrite> writes = writesAfterStartUp(r.result);
    ASSERT_GE(writes.size(), 10u);
    EXPECT_NEAR(writes[9].timeNs / TICK_NS, 1264.0, 0.02);
}

TEST(HandMadeStream, LeavesTimerAndControlRegistersAlone) {
    // The player runs on timer A and must not let a stream stop or retune it, set CSM, or
    // write register 0x1B (the harness fails the run on a write to 0x1B or on CSM).
    Bytes stream = {
        0x10, 0x00, 0x11, 0x00, 0x12, 0x00, 0x13, 0x00, 0x14, 0x80,
        0x1B, 0xC0, 0x20, 0xC7, 0x00, 0x09, 0x28, 0x4A, 0x00, 0xFF,
    };
    replay::Replay r = replay(song(stream));
    EXPECT_TRUE(r.check.problems.empty()) << describe(r);
    EXPECT_EQ(r.check.streamWrites, 2u);
    std::vector<opmsim::OpmWrite> writes = writesAfterStartUp(r.result);
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[1].reg, 0x28);
    EXPECT_NEAR(writes[1].timeNs / TICK_NS, 10.0, 0.02) << "timer undisturbed";
}

TEST(HandMadeStream, LoopsUntilAKeyIsPressedThenSilencesTheChip) {
    Bytes stream = {
        0x20, 0xC7, 0x00, 0x02,  // intro: 3 ticks
        0x00, 0xFE,              // loop position
        0x08, 0x78, 0x00, 0x03,  // body: 4 + 2 ticks
        0x08, 0x00, 0x00, 0x01,  //
        0x00, 0xFF,
    };
    opmsim::SimOptions options;
    options.keyPressNs = ticksToNs(3 + 3 * 6 + 1.5);  // during the fourth pass of the body
    replay::Replay r = replay(song(stream), options);
    EXPECT_TRUE(r.check.problems.empty()) << describe(r);
    EXPECT_EQ(r.check.loopPasses, 3u);
    EXPECT_TRUE(r.result.exited);
    EXPECT_EQ(r.result.exitCode, 0);
    ASSERT_GE(r.result.keyTakenNs, options.keyPressNs);
    EXPECT_LT(r.result.keyTakenNs - options.keyPressNs, ticksToNs(1)) << "key read every tick";
    EXPECT_LT(r.result.endNs - r.result.keyTakenNs, 2'000'000) << "stops at once";
}

TEST(HandMadeStream, WithoutLoopEndsAtTheEndMarkerAfterTrailingWaits) {
    Bytes stream = {0x08, 0x78, 0x00, 0x09, 0x08, 0x00, 0x00, 0x13, 0x00, 0xFF};
    replay::Replay r = replay(song(stream));
    EXPECT_TRUE(r.check.problems.empty()) << describe(r);
    EXPECT_EQ(r.check.streamWrites, 2u);
    EXPECT_NEAR(r.result.endNs / TICK_NS, 30.0, 0.1) << "trailing wait, then the shutdown";
}

TEST(HandMadeStream, LaterLoopMarkerReplacesAnEarlierOne) {
    Bytes stream = {
        0x00, 0xFE, 0x20, 0xC7, 0x00, 0x00,  // first marker, then one write
        0x00, 0xFE, 0x08, 0x78, 0x00, 0x01,  // second marker: the loop starts here
        0x08, 0x00, 0x00, 0x01, 0x00, 0xFF,
    };
    opmsim::SimOptions options;
    options.keyPressNs = ticksToNs(1 + 4 * 2 + 0.5);
    replay::Replay r = replay(song(stream), options);
    EXPECT_TRUE(r.check.problems.empty()) << describe(r);
    EXPECT_EQ(r.check.loopPasses, 2u);
}

TEST(HandMadeStream, KeyEndsALongWaitWithinATick) {
    Bytes stream = {0x08, 0x78};
    appendWait(stream, 3000);
    stream.insert(stream.end(), {0x08, 0x00, 0x00, 0xFF});
    opmsim::SimOptions options;
    options.keyPressNs = ticksToNs(100.5);
    replay::Replay r = replay(song(stream), options);
    EXPECT_TRUE(r.check.problems.empty()) << describe(r);
    EXPECT_EQ(r.check.streamWrites, 1u) << "the write after the wait never comes";
    EXPECT_LT(r.result.keyTakenNs - options.keyPressNs, ticksToNs(1));
}

TEST(HandMadeStream, LoopWithoutWaitsStillStopsOnAKey) {
    // Nothing in the body takes time, yet the key must still be noticed.
    Bytes stream = {0x00, 0xFE, 0x08, 0x78, 0x08, 0x00, 0x00, 0xFF};
    opmsim::SimOptions options;
    options.keyPressNs = 50'000'000;
    options.timeLimitNs = 10'000'000'000;
    opmsim::SimResult result = opmsim::runProgram(song(stream), options);
    EXPECT_TRUE(result.errors.empty()) << result.errors.front();
    EXPECT_TRUE(result.exited);
    EXPECT_LT(result.keyTakenNs - options.keyPressNs, ticksToNs(1));
}

// A run still going at the time limit ends there, not a timer period or a key press later,
// and the fault says when the song loops, where only a key ends it.
TEST(HandMadeStream, RunPastTheTimeLimitEndsAtItAndSaysWhetherTheSongLoops) {
    Bytes looping = {0x00, 0xFE, 0x08, 0x78, 0x00, 0x03, 0x08, 0x00, 0x00, 0xFF};
    Bytes long_ = {0x08, 0x78};  // 3000 ticks, about 54 s, without a loop
    appendWait(long_, 3000);
    long_.insert(long_.end(), {0x08, 0x00, 0x00, 0xFF});
    struct Case {
        const char* name;
        const Bytes& stream;
        std::int64_t keyPressNs;
        const char* expected;  // the fault, from the limit on
    };
    const Case cases[] = {
        {"looping, no key", looping, -1,
         "still running at the time limit (0.5 s): the song loops; --key-at SECONDS presses a "
         "key to stop it"},
        {"looping, key after the limit", looping, 2'000'000'000,
         "still running at the time limit (0.5 s): the song loops and the key press (--key-at "
         "2) comes after the limit"},
        {"no loop, still waiting", long_, -1, "still running at the time limit (0.5 s)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        opmsim::SimOptions options;
        options.timeLimitNs = 500'000'000;
        options.keyPressNs = c.keyPressNs;
        opmsim::SimResult result = opmsim::runProgram(song(c.stream), options);
        EXPECT_FALSE(result.exited);
        ASSERT_EQ(result.errors.size(), 1u);
        const std::string& error = result.errors[0];
        ASSERT_NE(error.find("still running"), std::string::npos) << error;
        EXPECT_EQ(error.substr(error.find("still running")), c.expected);
        EXPECT_GE(result.endNs, options.timeLimitNs);
        EXPECT_LT(result.endNs, options.timeLimitNs + 10'000) << "ends within an instruction";
    }
}

TEST(HandMadeStream, RestoresTheMfpWhetherOrNotTheOpmInterruptWasEnabled) {
    Bytes stream = {0x08, 0x78, 0x00, 0x20, 0x08, 0x00, 0x00, 0xFF};
    for (bool enabled : {true, false}) {
        opmsim::SimOptions options;
        options.opmInterruptEnabled = enabled;
        replay::Replay r = replay(song(stream), options);
        EXPECT_TRUE(r.check.problems.empty()) << "GPIP3 enabled: " << enabled << "\n"
                                              << describe(r);
    }
}

TEST(Timing, MeanTickOverALongStreamIsWithinTolerance) {
    // 10 160 ticks, about three minutes, with a write every 254 ticks.
    Bytes stream = {0x08, 0x00};
    for (int i = 0; i < 40; ++i) stream.insert(stream.end(), {0x00, 0xFD, 0x08, 0x00});
    stream.insert(stream.end(), {0x00, 0xFF});
    replay::Replay r = replay(song(stream));
    ASSERT_TRUE(r.check.problems.empty()) << describe(r);
    std::vector<opmsim::OpmWrite> writes = writesAfterStartUp(r.result);
    ASSERT_GE(writes.size(), 41u);
    double meanNs = double(writes[40].timeNs - writes[0].timeNs) / (40 * 254);
    double relative = meanNs / TICK_NS - 1;
    std::printf(
        "mean tick %.4f us (787/44100 s = %.4f us), error %+.6f %%; largest write "
        "offset %.5f ticks\n",
        meanNs / 1000, TICK_NS / 1000, relative * 100, r.check.maxTickError);
    RecordProperty("mean_tick_error_percent", std::to_string(relative * 100));
    EXPECT_LT(std::abs(relative), 0.0005);
    EXPECT_LT(r.check.maxTickError, 0.02);
}

TEST(Timing, SlowBurstOfWritesIsMadeUpByTheNextWait) {
    // 200 writes at tick 0 take several ticks on a 1 MHz CPU; the write after the following
    // 10-tick wait must still come at tick 10, and the later ones on their ticks (plus the
    // player's fixed reaction time, about 1 ms at this clock).
    Bytes stream;
    for (int i = 0; i < 200; ++i) stream.insert(stream.end(), {std::uint8_t(0x40 + i % 32), 0x01});
    stream.insert(stream.end(), {0x00, 0x09, 0x08, 0x78});
    for (int i = 0; i < 20; ++i) stream.insert(stream.end(), {0x00, 0x00, 0x08, 0x00});
    stream.insert(stream.end(), {0x00, 0xFF});
    opmsim::SimOptions options;
    options.cpuHz = 1'000'000;
    replay::Replay r = replay(song(stream), options, 10.0);
    ASSERT_TRUE(r.check.problems.empty()) << describe(r);
    std::vector<opmsim::OpmWrite> writes = writesAfterStartUp(r.result);
    ASSERT_GE(writes.size(), 221u);
    double burstTicks = writes[199].timeNs / TICK_NS;
    EXPECT_GT(burstTicks, 2.0) << "the burst should outlast a few ticks";
    for (int i = 0; i <= 20; ++i) {
        EXPECT_NEAR(writes[200 + i].timeNs / TICK_NS, 10.0 + i, 0.1) << "write " << 200 + i;
    }
}

}  // namespace
