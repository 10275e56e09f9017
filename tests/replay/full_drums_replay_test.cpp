// The full player's drums on the emulated X68000: samples of a program's bank played through
// DMA channel 3 and the MSM6258 at the steps, on the sides and at the rates the stream asks,
// and moved to the sides a log's channel-6 pan gives them while they play.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

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

// A VGM log of the YM2612's DAC and channel 6's pan, written command by command; time in VGM
// samples (44 100 a second).
struct DacLog {
    Bytes commands;
    std::uint64_t now = 0;
    std::vector<std::pair<std::uint64_t, std::uint8_t>> pans;   // sides (bit 1 left) from then on
    std::vector<std::pair<std::uint64_t, std::uint64_t>> hits;  // first write, end of the last

    void dacOn() { commands.insert(commands.end(), {0x52, 0x2B, 0x80}); }
    void pan(std::uint8_t sides) {
        commands.insert(commands.end(), {0x53, 0xB6, std::uint8_t(sides << 6)});
        pans.push_back({now, sides});
    }
    void dac(std::uint8_t value) { commands.insert(commands.end(), {0x52, 0x2A, value}); }
    void wait(std::uint64_t samples) {
        for (; samples > 0xFFFF; samples -= 0xFFFF)
            commands.insert(commands.end(), {0x61, 0xFF, 0xFF});
        if (samples > 16)
            commands.insert(commands.end(),
                            {0x61, std::uint8_t(samples), std::uint8_t(samples >> 8)});
        else if (samples > 0)
            commands.push_back(std::uint8_t(0x70 + samples - 1));
        now += samples;
    }
    Bytes vgm() const {
        Bytes file(0x40 + commands.size() + 1, 0);
        const auto put = [&file](std::size_t at, std::uint32_t v) {
            for (int i = 0; i < 4; ++i) file[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
        };
        file[0] = 'V', file[1] = 'g', file[2] = 'm', file[3] = ' ';
        put(0x08, 0x150);
        put(0x18, std::uint32_t(now));
        put(0x2C, 7670453);  // YM2612
        put(0x34, 0x0C);
        std::copy(commands.begin(), commands.end(), file.begin() + 0x40);
        file.back() = 0x66;
        put(0x04, std::uint32_t(file.size() - 4));
        return file;
    }
    // Channel 6's sides at a sample.
    std::uint8_t sidesAt(std::uint64_t sample) const {
        std::uint8_t sides = 0x03;  // the YM2612 starts with both
        for (const auto& [at, s] : pans)
            if (at <= sample) sides = s;
        return sides;
    }
};

constexpr double SAMPLE_NS = 1e9 / 44100;

// The ADPCM's sides in frames of 5 ms against channel 6's pan at the frame, wherever the log's
// hit and a sample of the program both play, leaving out the frames within a step of a pan
// change or of a hit's start or end, which the stream puts at the nearest step.
struct FrameCheck {
    int compared = 0;
    int mismatched = 0;
    std::string first;  // the first mismatch
};

FrameCheck compareSides(const DacLog& log, const opmsim::SimResult& result) {
    std::vector<double> changes;
    for (const auto& [at, sides] : log.pans) changes.push_back(double(at) * SAMPLE_NS);
    for (const auto& [from, to] : log.hits) {
        changes.push_back(double(from) * SAMPLE_NS);
        changes.push_back(double(to) * SAMPLE_NS);
    }
    FrameCheck check;
    for (double ns = 0; ns < double(result.endNs); ns += 5e6) {
        const bool sourcePlays = std::any_of(log.hits.begin(), log.hits.end(), [ns](const auto& h) {
            return ns >= double(h.first) * SAMPLE_NS && ns < double(h.second) * SAMPLE_NS;
        });
        const bool programPlays =
            std::any_of(result.adpcm.begin(), result.adpcm.end(), [ns](const opmsim::AdpcmPlay& p) {
                return ns >= double(p.startNs) && (p.endNs < 0 || ns < double(p.endNs));
            });
        const bool nearChange = std::any_of(changes.begin(), changes.end(),
                                            [ns](double c) { return std::abs(ns - c) <= STEP_NS; });
        if (!sourcePlays || !programPlays || nearChange) continue;
        ++check.compared;
        const std::uint8_t heard = opmsim::adpcmSidesAt(result, std::int64_t(ns));
        const std::uint8_t wanted = log.sidesAt(std::uint64_t(ns / SAMPLE_NS));
        if (heard != wanted && check.mismatched++ == 0)
            check.first = std::to_string(ns / 1e6) + " ms: sides " + std::to_string(heard) +
                          ", the log's pan " + std::to_string(wanted);
    }
    return check;
}

// A hit of `samples` VGM samples, a write every `every`: a decaying tone with some noise.
void writeHit(DacLog& log, std::uint64_t samples, std::uint64_t every,
              std::optional<std::uint8_t> panAfterFirst, std::uint64_t panEvery = 0) {
    const std::uint64_t start = log.now;
    std::uint32_t noise = 12345;
    std::uint8_t sides = panAfterFirst.value_or(0x02);
    for (std::uint64_t s = 0; s < samples; s += every) {
        if (panEvery != 0 && s > 0 && s % panEvery == 0) log.pan(sides ^= 0x03);
        noise = noise * 1103515245 + 12345;
        const double t = double(s) / 44100;
        const double v = 128 + 90 * std::sin(2 * M_PI * 330 * t) * std::exp(-t / 2) +
                         double((noise >> 16) % 17) - 8;
        log.dac(std::uint8_t(std::clamp(v, 0.0, 255.0)));
        if (s == 0 && panAfterFirst) log.pan(*panAfterFirst);
        log.wait(every);
    }
    log.hits.push_back({start, log.now});
}

// The stream of a full program with each side change's bits 1-0 swapped (00 F5 <-> 00 F6).
Bytes withSidesSwapped(Bytes program) {
    for (std::size_t at = FULL_PLAYER_HEAD_SIZE; at + 1 < program.size(); at += 2) {
        if (program[at] != 0x00) continue;
        const std::uint8_t code = program[at + 1];
        if (code == 0xFF) break;
        if (code >= 0xF1 && code <= 0xF3) at += 2;  // the sample number
        if (code == 0xF5 || code == 0xF6) program[at + 1] = code ^ 0x03;
    }
    return program;
}

// Logs whose channel-6 pan moves the DAC between the sides, converted by opmcast-full and run:
// the ADPCM is heard on the log's sides in every 5 ms frame a step away from a change. Hits
// panned in the sample of their first write; one long hit whose pan swings left and right
// every 40 ms. The same long hit with its side changes swapped fails the frame check, and the
// replay check finds the run against a stream whose side changes are swapped.
TEST(FullPlayerDrums, FollowsChannelSixPanWhileAHitPlays) {
    DacLog hits;
    hits.dacOn();
    hits.pan(0x02);  // left
    hits.wait(2205);
    writeHit(hits, 6615, 5, std::nullopt);
    for (std::uint8_t sides : {0x02, 0x01, 0x02, 0x03}) {
        hits.wait(4410);
        writeHit(hits, 6615, 5, sides);
    }
    hits.wait(8820);

    DacLog swinging;
    swinging.dacOn();
    swinging.pan(0x02);
    swinging.wait(2205);
    writeHit(swinging, 3 * 44100, 2, std::nullopt, 1764);
    swinging.wait(4410);

    opmsim::SimOptions options;
    options.timeLimitNs = 30'000'000'000;
    for (const DacLog* log : {&hits, &swinging}) {
        SCOPED_TRACE(log == &hits ? "hits" : "swinging");
        std::string output;
        const Bytes program = replay::convertWithFull(log->vgm(), output);
        ASSERT_FALSE(program.empty()) << output;
        const replay::Replay r = replay::replay(program, options);
        EXPECT_TRUE(r.check.problems.empty()) << replay::describe(r);
        EXPECT_EQ(r.result.adpcm.size(), log->hits.size());
        const FrameCheck frames = compareSides(*log, r.result);
        EXPECT_GE(frames.compared, log == &hits ? 100 : 450);
        EXPECT_EQ(frames.mismatched, 0) << frames.first;
        if (log == &hits) continue;

        const auto changes =
            std::count_if(r.stream.adpcm.begin(), r.stream.adpcm.end(),
                          [](const opmsim::AdpcmCommand& c) { return c.command >= 0xF4; });
        EXPECT_GE(changes, 70) << "a change every 40 ms for 3 s";
        const replay::Replay swapped = replay::replay(withSidesSwapped(program), options);
        EXPECT_TRUE(swapped.check.problems.empty()) << "it does what its stream says";
        const FrameCheck wrong = compareSides(*log, swapped.result);
        EXPECT_GT(wrong.mismatched, wrong.compared / 2);
        const opmsim::DecodedStream otherSides =
            opmsim::decodeExecutableStream(withSidesSwapped(program));
        EXPECT_TRUE(anyProblemHas(opmsim::checkReplay(otherSides, r.result), "side change"));
    }
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

    // A run cut by its time limit while sample 1 plays: the sample is held to the bytes it
    // played so far and needs no stop yet; bytes other than the bank's are still found.
    opmsim::SimOptions limited = options;
    limited.keyPressNs = -1;
    limited.timeLimitNs = std::int64_t(92 * STEP_NS);
    const replay::Replay cut = replay::replay(buildFullProgram(stream, bank), limited);
    ASSERT_FALSE(cut.result.exited);
    ASSERT_EQ(cut.result.adpcm.size(), std::size(expected));
    EXPECT_LT(cut.result.adpcm.back().endNs, 0) << "still playing when the run ended";
    EXPECT_FALSE(anyProblemHas(cut.check, "sample")) << replay::describe(cut);
    opmsim::DecodedStream cutBytes = cut.stream;
    cutBytes.bank[1].bytes[0] ^= 0x01;
    EXPECT_TRUE(anyProblemHas(opmsim::checkReplay(cutBytes, cut.result), "not the bank's"));

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
