// The player of opmcast-full (player/fullplayer.s) replaying hand-made streams on the emulated
// X68000, and the emulated X68000 catching the faults such a player can have.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "full/player/full_player.hpp"
#include "replay_support.hpp"

namespace {

using opmsim::TICK_NS;
using replay::describe;
using replay::fullSong;
using replay::replay;
using replay::stepsToNs;
using replay::ticksToNs;
using replay::writesAfterStartUp;

using Bytes = std::vector<std::uint8_t>;

// One step of the full player's waits: one timer A overflow, a fifth of a tick on average.
constexpr double STEP_NS = TICK_NS / opmsim::FULL_STEPS_PER_TICK;

std::uint32_t be32(const Bytes& b, std::size_t offset) {
    return std::uint32_t(b[offset]) << 24 | b[offset + 1] << 16 | b[offset + 2] << 8 |
           b[offset + 3];
}

// Run options with a system copy of register 0x1B whose top bits are set, so that every run
// also checks that the player keeps them.
opmsim::SimOptions withCopy(std::uint8_t copy = 0x80) {
    opmsim::SimOptions options;
    options.systemCopy1B = copy;
    return options;
}

// The writes of the shutdown, in the player's order, for a system copy of 0x1B.
std::vector<std::pair<std::uint8_t, std::uint8_t>> expectedShutdown(std::uint8_t copy) {
    std::vector<std::pair<std::uint8_t, std::uint8_t>> writes;
    for (int c = 7; c >= 0; --c) writes.push_back({0x08, std::uint8_t(c)});
    writes.push_back({0x0F, 0x00});
    writes.push_back({0x01, 0x00});
    writes.push_back({0x19, 0x00});
    writes.push_back({0x19, 0x80});
    writes.push_back({0x1B, copy});
    for (int s = 0; s < 32; ++s) writes.push_back({std::uint8_t(0x60 + s), 0x7F});
    return writes;
}

std::vector<std::pair<std::uint8_t, std::uint8_t>> lastWrites(
    const std::vector<opmsim::OpmWrite>& writes, std::size_t n) {
    std::vector<std::pair<std::uint8_t, std::uint8_t>> tail;
    for (std::size_t i = writes.size() - std::min(n, writes.size()); i < writes.size(); ++i) {
        tail.push_back({writes[i].reg, writes[i].value});
    }
    return tail;
}

TEST(FullPlayer, HasTheLayoutAndIsRecognised) {
    std::span<const std::uint8_t, FULL_PLAYER_SIZE> player = fullPlayerBytes();
    Bytes bare(player.begin(), player.end());
    EXPECT_EQ(bare[0], 'H');
    EXPECT_EQ(bare[1], 'U');
    EXPECT_EQ(be32(bare, 0x08), 0u) << "entry at the start of the text";
    EXPECT_EQ(be32(bare, 0x0C), FULL_PLAYER_HEAD_SIZE - 64) << "text = the code up to the stream";
    EXPECT_EQ(bare[64], 0x60) << "bra.s over the fields the converter sets";
    EXPECT_EQ(bare[65], 14);
    EXPECT_EQ(be32(bare, FULL_PLAYER_BANK_OFFSET), 0u) << "no drums";
    EXPECT_EQ(be32(bare, 0x10), FULL_PLAYER_TAIL_SIZE);
    EXPECT_EQ(be32(bare, 0x18), 0u) << "no relocation table";
    EXPECT_EQ(bare[FULL_PLAYER_HEAD_SIZE], 0x00);
    EXPECT_EQ(bare[FULL_PLAYER_HEAD_SIZE + 1], 0xFF) << "the tail starts with the end marker";

    // A program: head, stream, tail; the whole text size field is set.
    Bytes stream = {0x08, 0x78, 0x00, 0x00, 0x00, 0xFF};
    Bytes exe = fullSong(stream);
    ASSERT_EQ(exe.size(), FULL_PLAYER_SIZE + stream.size());
    EXPECT_EQ(be32(exe, 0x0C), FULL_PLAYER_HEAD_SIZE - 64 + stream.size());
    EXPECT_TRUE(std::equal(stream.begin(), stream.end(), exe.begin() + FULL_PLAYER_HEAD_SIZE));
    EXPECT_TRUE(std::equal(player.begin() + FULL_PLAYER_HEAD_SIZE, player.end(),
                           exe.end() - FULL_PLAYER_TAIL_SIZE));
    Bytes odd = {0x08, 0x78, 0x00};
    EXPECT_THROW(buildFullProgram(odd), std::invalid_argument);

    // Told apart from the classic player, and from a full player that was altered.
    EXPECT_EQ(opmsim::detectPlayer(exe), opmsim::PlayerKind::Full);
    EXPECT_EQ(opmsim::detectPlayer(bare), opmsim::PlayerKind::Full);
    const Bytes bank = fullBankBytes(std::vector<FullBankSample>{{{0x12}, 0x08}});
    EXPECT_EQ(opmsim::detectPlayer(buildFullProgram(stream, bank)), opmsim::PlayerKind::Full)
        << "the bank's offset set";
    EXPECT_EQ(opmsim::detectPlayer(replay::song(stream)), opmsim::PlayerKind::Classic);
    Bytes altered = exe;
    altered[100] ^= 1;
    EXPECT_EQ(opmsim::detectPlayer(altered), opmsim::PlayerKind::Classic);

    // Run by itself it plays nothing and leaves the chip as the shutdown says.
    replay::Replay r = replay(bare, withCopy(0xC1));
    EXPECT_TRUE(r.check.problems.empty()) << describe(r);
    EXPECT_EQ(r.result.player, opmsim::PlayerKind::Full);
    EXPECT_EQ(r.check.streamWrites, 0u);
    EXPECT_LT(r.result.endNs, stepsToNs(0.5)) << "no step should be waited for";
    EXPECT_EQ(lastWrites(writesAfterStartUp(r.result), 1000), expectedShutdown(0xC1));
}

TEST(FullPlayerStream, WritesEveryPairInOrderAtItsStep) {
    Bytes stream = {
        0x01, 0x02, 0x01, 0x00,              // LFO reset, set then cleared: written as given
        0x20, 0xC7, 0x00, 0x00,              // 1 step
        0x08, 0x78, 0x00, 0xEF,              // 240 steps, the longest wait
        0x0F, 0x85,                          // noise on
        0x19, 0x20, 0x19, 0xE6,              // AMD, PMD
        0x18, 0xC5,                          // LFO frequency
        0x40, 0x00, 0x41, 0xFF,              // 0 and 0xFF are values here
        0xFE, 0x12, 0xFF, 0x34,              // and registers here (D1L/RR)
        0x00, 0x04, 0x00, 0x00,              // 5 + 1 steps in a row
        0x08, 0x00, 0x00, 0xEF, 0x00, 0xEF,  // 480 steps
        0x0F, 0x00,
    };
    // Then a write after each of eleven 1-step waits: every step of two whole ticks and more,
    // the third overflow of a tick (223 or 224 units of 16 us) among them.
    for (int i = 0; i < 11; ++i) stream.insert(stream.end(), {0x00, 0x00, 0x28, std::uint8_t(i)});
    stream.insert(stream.end(), {0x00, 0xFF});
    replay::Replay r = replay(fullSong(stream), withCopy());
    EXPECT_TRUE(r.check.problems.empty()) << describe(r);
    EXPECT_EQ(r.check.streamWrites, 25u);
    EXPECT_LT(r.check.maxTickError, 0.02) << "each write just after its step starts";
    std::vector<opmsim::OpmWrite> writes = writesAfterStartUp(r.result);
    ASSERT_GE(writes.size(), 25u);
    // Steps count from the start of timer A.
    const auto stepOf = [&](std::int64_t ns) {
        return double(ns - opmsim::streamStartNs(r.result)) / STEP_NS;
    };
    EXPECT_NEAR(stepOf(writes[3].timeNs), 1.0, 0.05);    // the key on
    EXPECT_NEAR(stepOf(writes[4].timeNs), 241.0, 0.05);  // the noise
    EXPECT_NEAR(stepOf(writes[13].timeNs), 727.0, 0.05);
    for (int i = 0; i < 11; ++i) {
        EXPECT_NEAR(stepOf(writes[14 + i].timeNs), 728.0 + i, 0.05) << "1-step wait " << i;
    }
    EXPECT_NEAR(stepOf(r.result.endNs), 738.0, 0.5) << "ends at the end marker";
}

TEST(FullPlayerStream, LoopsUntilAKeyIsPressed) {
    Bytes stream = {
        0x20, 0xC7, 0x00, 0x0E,  // intro: 15 steps
        0x00, 0xFE,              // loop position
        0x08, 0x78, 0x00, 0x13,  // body: 20 + 10 steps
        0x08, 0x00, 0x00, 0x09,  //
        0x00, 0xFF,
    };
    opmsim::SimOptions options = withCopy();
    // During the fourth pass of the body, read at the next tick (every fifth step).
    options.keyPressNs = stepsToNs(15 + 3 * 30 + 7.5);
    replay::Replay r = replay(fullSong(stream), options);
    EXPECT_TRUE(r.check.problems.empty()) << describe(r);
    EXPECT_EQ(r.check.loopPasses, 3u);
    EXPECT_LT(r.check.maxTickError, 0.02);
    EXPECT_TRUE(r.result.exited);
}

TEST(FullPlayerStream, KeyPressStopsPlaybackWithinATick) {
    Bytes stream = {0x08, 0x78};  // then 20 waits of 240 steps, 960 ticks
    for (int i = 0; i < 20; ++i) stream.insert(stream.end(), {0x00, 0xEF});
    stream.insert(stream.end(), {0x08, 0x00, 0x00, 0xFF});
    opmsim::SimOptions options = withCopy(0x40);
    options.keyPressNs = ticksToNs(100.5);
    replay::Replay r = replay(fullSong(stream), options);
    EXPECT_TRUE(r.check.problems.empty()) << describe(r);
    EXPECT_EQ(r.check.streamWrites, 1u) << "the write after the wait never comes";
    ASSERT_GE(r.result.keyTakenNs, options.keyPressNs);
    EXPECT_LT(r.result.keyTakenNs - options.keyPressNs, ticksToNs(1)) << "key read every tick";
    EXPECT_LT(r.result.endNs - r.result.keyTakenNs, 2'000'000) << "stops at once";
    EXPECT_EQ(r.result.exitCode, 0);
}

TEST(FullPlayerStream, ReservedCommandEndsTheSongWithoutLoopingASideChangeDoesNot) {
    for (int command = 0xF4; command <= 0xFD; ++command) {
        if (command <= 0xF7) {
            // A side change: nothing in a program without drums, the song goes on to its end.
            Bytes stream = {0x20, 0xC7, 0x08, 0x78, 0x00, 0x04, 0x00, std::uint8_t(command),
                            0x08, 0x00, 0x00, 0x00, 0x28, 0x4A, 0x00, 0xFF};
            replay::Replay r = replay(fullSong(stream), withCopy());
            SCOPED_TRACE(command);
            EXPECT_TRUE(r.check.problems.empty()) << describe(r);
            EXPECT_EQ(r.stream.endCommand, 0xFF);
            EXPECT_EQ(r.check.streamWrites, 4u);
            EXPECT_TRUE(r.result.portC.empty()) << "no ADPCM register touched";
            EXPECT_NEAR(r.result.endNs / STEP_NS, 6.0, 0.5);
            continue;
        }
        // A loop position before it: the song still ends, as at an end marker without one.
        Bytes stream = {0x20, 0xC7, 0x00, 0xFE, 0x08, 0x78, 0x00, 0x04, 0x00, std::uint8_t(command),
                        0x08, 0x00, 0x00, 0x00, 0x28, 0x4A, 0x00, 0xFF};
        replay::Replay r = replay(fullSong(stream), withCopy());
        SCOPED_TRACE(command);
        EXPECT_TRUE(r.check.problems.empty()) << describe(r);
        EXPECT_EQ(r.stream.endCommand, command);
        EXPECT_FALSE(r.stream.loops);
        EXPECT_TRUE(r.result.exited) << "no key needed";
        EXPECT_EQ(r.check.streamWrites, 2u) << "nothing after the reserved command is written";
        EXPECT_NEAR(r.result.endNs / STEP_NS, 5.0, 0.5) << "5 steps, then the shutdown";
    }
}

TEST(FullPlayerStream, MergesRegister1BWithTheSystemCopy) {
    const std::uint8_t values[] = {0x00, 0x03, 0xC2, 0x41, 0x81};
    Bytes stream;
    for (std::uint8_t v : values) stream.insert(stream.end(), {0x1B, v, 0x00, 0x00});
    stream.insert(stream.end(), {0x00, 0xFF});
    for (std::uint8_t copy : {0x00, 0x40, 0x80, 0xC3}) {
        SCOPED_TRACE(copy);
        replay::Replay r = replay(fullSong(stream), withCopy(copy));
        EXPECT_TRUE(r.check.problems.empty()) << describe(r);
        EXPECT_TRUE(r.result.errors.empty()) << "the copy at $09DA kept, 1B left as it holds";
        std::vector<std::uint8_t> written;
        for (const opmsim::OpmWrite& w : r.result.writes) {
            if (w.reg == 0x1B) written.push_back(w.value);
        }
        ASSERT_EQ(written.size(), std::size(values) + 1);
        for (std::size_t i = 0; i < std::size(values); ++i) {
            EXPECT_EQ(written[i], (values[i] & 0x03) | (copy & 0xC0)) << "write " << i;
        }
        EXPECT_EQ(written.back(), copy) << "the shutdown writes the copy back";
    }
}

TEST(FullPlayerStream, ExitSilencesTheChipAndRestoresRegister1B) {
    // Every channel keyed on, noise on, both LFO depths and the waveform set, the LFO reset set
    // and released 50 steps (10 ticks) later; then the song ends by itself, or a key stops it
    // during its loop, or between the LFO reset and its release (the converter writes the two
    // in a row).
    Bytes stream = {0x0F, 0x85, 0x19, 0x20, 0x19, 0xE6, 0x1B, 0x02, 0x60, 0x10, 0x7F, 0x00};
    for (int c = 0; c < 8; ++c) stream.insert(stream.end(), {0x08, std::uint8_t(0x78 + c)});
    stream.insert(stream.end(), {0x01, 0x02, 0x00, 0x31, 0x01, 0x00});
    stream.insert(stream.end(), {0x00, 0xFE, 0x00, 0x13, 0x00, 0xFF});
    Bytes oneShot = stream;
    oneShot[oneShot.size() - 5] = 0x00;  // the loop position becomes a 1-step wait
    struct Ending {
        const char* name;
        double keyTicks;  // negative: no key
        std::size_t streamWrites;
    };
    const Ending endings[] = {{"end of song", -1, 16},
                              {"key press in the loop", 50.5, 16},
                              {"key press while the LFO is held in reset", 5.5, 15}};
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.name);
        opmsim::SimOptions options = withCopy(0x42);
        if (ending.keyTicks >= 0) options.keyPressNs = ticksToNs(ending.keyTicks);
        replay::Replay r = replay(fullSong(ending.keyTicks >= 0 ? stream : oneShot), options);
        EXPECT_TRUE(r.check.problems.empty()) << describe(r);
        EXPECT_EQ(r.check.streamWrites, ending.streamWrites);
        std::vector<std::pair<std::uint8_t, std::uint8_t>> shutdown = expectedShutdown(0x42);
        EXPECT_EQ(lastWrites(writesAfterStartUp(r.result), shutdown.size()), shutdown);
        ASSERT_FALSE(r.result.writes.empty());
        EXPECT_EQ(r.result.writes.back().reg, 0x14);
        EXPECT_EQ(r.result.writes.back().value, 0x30) << "the timers stopped last";
    }
}

TEST(FullPlayerTiming, MeanStepOverALongStreamIsWithinTolerance) {
    // 50 400 steps (10 080 ticks, three minutes), with a write every 240 steps.
    constexpr int WAITS = 210;
    Bytes stream = {0x08, 0x00};
    for (int i = 0; i < WAITS; ++i) stream.insert(stream.end(), {0x00, 0xEF, 0x08, 0x00});
    stream.insert(stream.end(), {0x00, 0xFF});
    replay::Replay r = replay(fullSong(stream), withCopy());
    ASSERT_TRUE(r.check.problems.empty()) << describe(r);
    std::vector<opmsim::OpmWrite> writes = writesAfterStartUp(r.result);
    ASSERT_GE(writes.size(), std::size_t(WAITS + 1));
    double meanNs = double(writes[WAITS].timeNs - writes[0].timeNs) / (WAITS * 240);
    double relative = meanNs / STEP_NS - 1;
    std::printf(
        "mean step %.4f us (787/5 VGM samples = %.4f us), error %+.6f %%; largest write "
        "offset %.5f ticks (%.4f steps)\n",
        meanNs / 1000, STEP_NS / 1000, relative * 100, r.check.maxTickError,
        r.check.maxTickError * opmsim::FULL_STEPS_PER_TICK);
    RecordProperty("mean_step_error_percent", std::to_string(relative * 100));
    EXPECT_LT(std::abs(relative), 0.0005);
    EXPECT_LT(r.check.maxTickError, 0.02);
}

// A full player with one fault put in, held to the full player's rules: the emulated X68000
// must report it. Each fault replaces bytes found by their pattern in the player's code.
struct PlayerFault {
    const char* name;
    Bytes pattern;      // unique in the player
    std::size_t at;     // offset of the replaced bytes from the start of the pattern
    Bytes replacement;  //
    const char* expectedError;
    friend void PrintTo(const PlayerFault& fault, std::ostream* out) {
        *out << '"' << fault.expectedError << '"';
    }
};

constexpr std::uint8_t NOP1 = 0x4E, NOP2 = 0x71;  // nop, twice over a 4-byte bsr.w

const PlayerFault PLAYER_FAULTS[] = {
    // andi.b #3,%d2 becomes andi.b #$FF,%d2: register 1B written as the stream has it.
    {"StreamValueOf1B", {0x02, 0x02, 0x00, 0x03}, 3, {0xFF}, "differ from the system's copy"},
    // The key-off loop's bsr opmw.
    {"KeyLeftOn", {0x72, 0x08, 0x74, 0x07}, 4, {NOP1, NOP2, NOP1, NOP2}, "still keyed on"},
    // moveq #$0F,%d1 / moveq #0,%d2 / bsr opmw.
    {"NoiseLeftOn", {0x72, 0x0F, 0x74, 0x00}, 4, {NOP1, NOP2, NOP1, NOP2}, "noise left on"},
    // The bsr opmw after moveq #1,%d1 (d2 = 0): the LFO reset never released.
    {"LfoLeftInReset", {0x72, 0x01, 0x61, 0x00}, 2, {NOP1, NOP2, NOP1, NOP2}, "held in reset"},
    // bsr lfoquiet just before moveq #$1B,%d1 / move.b $09DA.w,%d2.
    {"LfoDepthLeft",
     {0x61, 0x00, 0xFE, 0x98, 0x72, 0x1B},
     0,
     {NOP1, NOP2, NOP1, NOP2},
     "LFO depth left"},
    // The bsr opmw after moveq #$1B,%d1 / move.b $09DA.w,%d2.
    {"ControlLinesNotRestored",
     {0x72, 0x1B, 0x14, 0x38, 0x09, 0xDA},
     6,
     {NOP1, NOP2, NOP1, NOP2},
     "register $1B left at $82"},
};

class FullPlayerFaults : public testing::TestWithParam<PlayerFault> {};

TEST_P(FullPlayerFaults, AreReported) {
    const PlayerFault& fault = GetParam();
    // Noise on, both LFO depths, register 1B (bits 7-6 set, unlike the copy's 0x80), a key on
    // and the LFO held in reset: everything the shutdown must undo.
    Bytes stream = {0x0F, 0x85, 0x19, 0x20, 0x19, 0xE6, 0x1B, 0xC2,
                    0x08, 0x78, 0x01, 0x02, 0x00, 0x03, 0x00, 0xFF};
    Bytes exe = fullSong(stream);
    auto found = std::search(exe.begin() + 64, exe.begin() + FULL_PLAYER_HEAD_SIZE,
                             fault.pattern.begin(), fault.pattern.end());
    ASSERT_NE(found, exe.begin() + FULL_PLAYER_HEAD_SIZE) << "pattern not in the player";
    ASSERT_EQ(std::search(found + 1, exe.begin() + FULL_PLAYER_HEAD_SIZE, fault.pattern.begin(),
                          fault.pattern.end()),
              exe.begin() + FULL_PLAYER_HEAD_SIZE)
        << "pattern found twice";
    std::copy(fault.replacement.begin(), fault.replacement.end(), found + fault.at);
    opmsim::SimOptions options = withCopy(0x80);
    options.player = opmsim::PlayerKind::Full;
    opmsim::SimResult result = opmsim::runProgram(exe, options);
    std::string all;
    for (const std::string& e : result.errors) all += e + "\n";
    EXPECT_NE(all.find(fault.expectedError), std::string::npos) << all;
}

INSTANTIATE_TEST_SUITE_P(Faults, FullPlayerFaults, testing::ValuesIn(PLAYER_FAULTS),
                         [](const testing::TestParamInfo<PlayerFault>& param) {
                             return param.param.name;
                         });

}  // namespace
