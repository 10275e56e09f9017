// The corpus converted by opmcast-full with a set number of loops and a fade, replayed on the
// emulated X68000 with nobody pressing a key: each program shows its title, draws its time
// line as it plays without delaying a write, plays its loop twice, fades every channel out by
// the fade's schedule and ends by itself at the fade's end, leaving the machine as it found it.
// With --length, the log's first part, then the fade, and the end.

#include <gtest/gtest.h>
#include <iconv.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "full/stream/fade_copy.hpp"
#include "replay_support.hpp"

namespace {

namespace fs = std::filesystem;

constexpr double STEP_NS = opmsim::TICK_NS / opmsim::FULL_STEPS_PER_TICK;

struct Converted {
    std::vector<std::uint8_t> program;
    std::string summary;
};

Converted convert(const fs::path& log, const std::string& options) {
    // A folder of its own: tests run side by side.
    std::string pattern = (fs::temp_directory_path() / "opmcast-display-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return {};
    const fs::path dir = pattern;
    const std::string command = std::string(OPMCAST_FULL_EXE) + " " + options + " -o '" +
                                dir.string() + "' '" + log.string() + "' > '" +
                                (dir / "summary").string() + "' 2>&1";
    Converted converted;
    if (std::system(command.c_str()) == 0) {
        converted.program = replay::readFile((dir / (log.stem().string() + ".x")).string());
        const std::vector<std::uint8_t> text = replay::readFile((dir / "summary").string());
        converted.summary.assign(text.begin(), text.end());
    }
    fs::remove_all(dir);
    return converted;
}

// The noise (channel 7's C2 while register 0x0F bit 7 is set) is linear in its attenuation,
// (1023 - 8 TL) / 1023: the TL that plays `units` of 0.75 dB below `tl` is the first at or
// below that level.
int noiseFadeLevel(int tl, int units) {
    if (units >= 127) return 127;
    const double due = (1023 - 8 * tl) * std::pow(10.0, -0.75 * units / 20);
    while (tl < 127 && 1023 - 8 * tl > due + 1e-6) ++tl;
    return tl;
}

// Whether the carriers of the fade stand at the loop's levels raised by the fade's schedule at
// every step (min(127, TL + units); the noise to the same dB), so that every channel falls
// together by at most 0.75 dB a step; "" or the first place where one does not. The loop's writes
// are replayed beside the fade's, from the same registers at the end of the last pass.
std::string fadeFault(const opmsim::DecodedStream& s) {
    static constexpr std::uint8_t CARRIERS[8] = {0x8, 0x8, 0x8, 0x8, 0xC, 0xE, 0xE, 0xF};
    std::array<int, 256> plain;
    plain.fill(-1);
    for (const opmsim::StreamEvent& e : s.events) plain[e.reg] = e.value;
    std::array<int, 256> faded = plain;
    std::size_t loopAt = s.loopStart, fadeAt = 0;
    std::uint32_t loopBase = 0;  // the step of the loop's start in the fade
    for (std::uint32_t step = 0; step <= s.fadeSteps; ++step) {
        while (s.loopSteps > 0) {
            if (loopAt == s.events.size()) {
                loopAt = s.loopStart;
                loopBase += s.loopSteps;
            }
            if (loopAt == s.events.size() || s.events[loopAt].step - s.loopStep + loopBase > step)
                break;
            plain[s.events[loopAt].reg] = s.events[loopAt].value;
            ++loopAt;
        }
        for (; fadeAt < s.fadeEvents.size() && s.fadeEvents[fadeAt].step <= step; ++fadeAt)
            faded[s.fadeEvents[fadeAt].reg] = s.fadeEvents[fadeAt].value;
        const int units = fadeUnitsAt(step, s.fadeSteps);
        for (int channel = 0; channel < 8; ++channel) {
            if (faded[0x20 + channel] < 0) continue;
            for (int op = 0; op < 4; ++op) {
                const int reg = 0x60 + 8 * op + channel;
                if (!(CARRIERS[faded[0x20 + channel] & 7] & (1 << op)) || plain[reg] < 0) continue;
                const bool noise = reg == 0x7F && faded[0x0F] >= 0 && (faded[0x0F] & 0x80);
                const int want = noise ? noiseFadeLevel(plain[reg] & 0x7F, units)
                                       : std::min(127, (plain[reg] & 0x7F) + units);
                if (faded[reg] != want)
                    return "step " + std::to_string(step) + ": channel " + std::to_string(channel) +
                           " operator " + std::to_string(op) + " at TL " +
                           std::to_string(faded[reg]) + " where " + std::to_string(want) +
                           " is due";
            }
        }
    }
    return "";
}

// m:ss as seconds, -1 when `text` does not start with one.
int clockSeconds(const std::string& text) {
    unsigned minutes = 0, seconds = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%u:%2u%n", &minutes, &seconds, &used) != 2 || used < 4)
        return -1;
    return int(minutes * 60 + seconds);
}

TEST(FullDisplayReplay, CorpusSongsShowTheirTimeLoopTwiceFadeAndEndByThemselves) {
    std::vector<fs::path> logs;
    std::error_code error;
    for (const fs::directory_entry& e : fs::directory_iterator(OPMCAST_CORPUS_DIR, error)) {
        if (e.path().extension() == ".vgm") logs.push_back(e.path());
    }
    if (logs.empty()) GTEST_SKIP() << "no corpus at " << OPMCAST_CORPUS_DIR;
    std::sort(logs.begin(), logs.end());
    for (const fs::path& log : logs) {
        SCOPED_TRACE(log.filename().string());
        const Converted converted = convert(log, "--loops 2 --fade 3");
        ASSERT_FALSE(converted.program.empty()) << converted.summary;
        const opmsim::DecodedStream stream = opmsim::decodeExecutableStream(converted.program);
        ASSERT_TRUE(stream.error.empty()) << stream.error;
        ASSERT_EQ(stream.passes, stream.loops ? 2 : 0) << "a song without a loop plays once";

        opmsim::SimOptions options;
        options.systemCopy1B = 0x80;
        const replay::Replay r = replay::replay(converted.program, options);
        EXPECT_TRUE(r.check.problems.empty()) << replay::describe(r);
        EXPECT_EQ(r.result.exitCode, 0);
        EXPECT_EQ(r.result.keyTakenNs, -1);
        const std::optional<std::uint32_t> end = opmsim::songEndStep(stream);
        ASSERT_TRUE(end.has_value());
        const double endStep = double(r.result.endNs - opmsim::streamStartNs(r.result)) / STEP_NS;
        EXPECT_GE(endStep, double(*end));
        EXPECT_LT(endStep, *end + 1.0) << "the program ends within a step of the song's end";

        if (stream.loops) {
            EXPECT_TRUE(stream.fades);
            EXPECT_EQ(stream.fadeSteps, 841u) << "3 s";
            EXPECT_EQ(fadeFault(stream), "");
            // The drums stop once the fade is 12 dB down, and none starts after.
            std::uint32_t drumsOff = 0;
            while (fadeUnitsAt(drumsOff, stream.fadeSteps) < FADE_DRUMS_OFF) ++drumsOff;
            for (const opmsim::AdpcmCommand& c : stream.fadeAdpcm)
                EXPECT_TRUE(c.command == 0xF0 || c.step < drumsOff) << "a drum at " << c.step;
            const std::int64_t offNs =
                opmsim::streamStartNs(r.result) +
                std::int64_t((*end - stream.fadeSteps + drumsOff + 1) * STEP_NS);
            for (const opmsim::AdpcmPlay& play : r.result.adpcm) {
                EXPECT_LT(play.startNs, offNs);
                EXPECT_TRUE(play.endNs >= 0 && play.endNs <= offNs) << "a drum sounds on";
            }
        }

        // The title (or, without one, the file's name) heads the screen; the time line is
        // never drawn before its time, at most 2 s after it, and shows the last pass.
        const std::vector<std::string> screen = opmsim::screenLines(r.result);
        ASSERT_GE(screen.size(), 2u);
        const std::size_t quote = converted.summary.find(" \"");
        const std::string title =
            quote == std::string::npos
                ? log.filename().string()
                : converted.summary.substr(quote + 2,
                                           converted.summary.find('"', quote + 2) - quote - 2);
        EXPECT_EQ(screen[0].substr(0, title.size()), title);
        int lastShown = -1;
        for (const opmsim::PrintedLine& line : opmsim::printedLines(r.result)) {
            const int shown = clockSeconds(line.text);
            if (shown < 0 || line.text.find(" / ") == std::string::npos) continue;
            const double at = double(line.startNs - opmsim::streamStartNs(r.result)) / 1e9;
            const double done = double(line.endNs - opmsim::streamStartNs(r.result)) / 1e9;
            EXPECT_GE(at, shown) << line.text;
            EXPECT_LE(done, shown + 2.0) << line.text;
            EXPECT_GE(shown, lastShown);
            lastShown = shown;
        }
        EXPECT_GE(lastShown, int(endStep * STEP_NS / 1e9) - 2);
        if (stream.loops) {
            EXPECT_NE(screen.back().find("loop 2 of 2"), std::string::npos);
        }
    }
}

// `utf8` in Shift-JIS, as glibc's iconv converts it.
std::string shiftJis(const std::string& utf8) {
    const iconv_t cd = iconv_open("CP932", "UTF-8");
    std::string in = utf8, out(utf8.size() * 2, '\0');
    char* from = in.data();
    char* to = out.data();
    std::size_t fromLeft = in.size(), toLeft = out.size();
    iconv(cd, &from, &fromLeft, &to, &toLeft);
    iconv_close(cd);
    out.resize(out.size() - toLeft);
    return out;
}

// The time line is printed a character a step, never at a wait's last step: each write comes
// when it comes without a display, within the few instructions that count the time.
TEST(FullDisplayReplay, PrintingNeverDelaysAWrite) {
    for (const std::uint8_t wait : {0x00, 0x01, 0x03}) {
        SCOPED_TRACE("waits of " + std::to_string(wait + 1) + " steps");
        std::vector<std::uint8_t> stream;
        for (int i = 0; i < 1200 / (wait + 1); ++i)
            stream.insert(stream.end(), {0x00, wait, 0x28, std::uint8_t(i & 0x7F)});
        stream.insert(stream.end(), {0x00, 0xFF});
        const std::string text = std::string("Title\r\n") + '\0' + "\x01 / 0:04" + '\0' + '\0';
        const std::vector<std::uint8_t> display(text.begin(), text.end());
        opmsim::SimOptions options;
        const replay::Replay plain = replay::replay(buildFullProgram(stream), options);
        const replay::Replay shown = replay::replay(buildFullProgram(stream, {}, display), options);
        EXPECT_TRUE(shown.check.problems.empty()) << replay::describe(shown);
        const std::vector<opmsim::OpmWrite> a = replay::writesAfterStartUp(plain.result);
        const std::vector<opmsim::OpmWrite> b = replay::writesAfterStartUp(shown.result);
        ASSERT_EQ(a.size(), b.size());
        std::int64_t worst = 0;
        for (std::size_t i = 0; i < a.size(); ++i)
            worst = std::max(worst, (b[i].timeNs - opmsim::streamStartNs(shown.result)) -
                                        (a[i].timeNs - opmsim::streamStartNs(plain.result)));
        EXPECT_LT(worst, 30'000) << "a write delayed by " << worst << " ns";
        const std::vector<std::string> screen = opmsim::screenLines(shown.result);
        // Waits of one step leave no step to spare: the line is never printed.
        const std::vector<std::string> expected =
            wait == 0 ? std::vector<std::string>{"Title", ""}
                      : std::vector<std::string>{"Title", "0:04 / 0:04"};
        EXPECT_EQ(screen, expected);
    }
}

TEST(FullDisplayReplay, JapaneseTextsNoDisplayAndAKeyInTheFade) {
    const fs::path icecap = fs::path(OPMCAST_CORPUS_DIR) / "Icecap.vgm";
    if (!fs::exists(icecap)) GTEST_SKIP() << "no corpus at " << OPMCAST_CORPUS_DIR;
    opmsim::SimOptions options;
    options.keyPressNs = 2'000'000'000;

    // --japanese: the Japanese title and game, in Shift-JIS.
    Converted converted = convert(icecap, "--japanese");
    replay::Replay r = replay::replay(converted.program, options);
    EXPECT_TRUE(r.check.problems.empty()) << replay::describe(r);
    const std::vector<std::string> screen = opmsim::screenLines(r.result);
    ASSERT_FALSE(screen.empty());
    EXPECT_EQ(screen[0],
              shiftJis("アイスキャップ ゾーン 1 - ソニック・ザ・ヘッジホッグ３＆ナックルズ"));

    // --no-display: nothing printed, and the same stream.
    const Converted quiet = convert(icecap, "--no-display");
    r = replay::replay(quiet.program, options);
    EXPECT_TRUE(r.check.problems.empty()) << replay::describe(r);
    EXPECT_TRUE(r.result.console.empty());
    const auto same = [](const opmsim::StreamEvent& a, const opmsim::StreamEvent& b) {
        return a.step == b.step && a.reg == b.reg && a.value == b.value;
    };
    const std::vector<opmsim::StreamEvent> shown =
        opmsim::decodeExecutableStream(converted.program).events;
    const std::vector<opmsim::StreamEvent> plain =
        opmsim::decodeExecutableStream(quiet.program).events;
    EXPECT_TRUE(std::equal(shown.begin(), shown.end(), plain.begin(), plain.end(), same));

    // A key read in the fade stops the song within a tick, as anywhere else.
    converted = convert(icecap, "--loops 1 --fade 3");
    const opmsim::DecodedStream stream = opmsim::decodeExecutableStream(converted.program);
    options.keyPressNs = std::int64_t((*opmsim::songEndStep(stream) - 400) * STEP_NS);
    r = replay::replay(converted.program, options);
    EXPECT_TRUE(r.check.problems.empty()) << replay::describe(r);
    EXPECT_GE(r.result.keyTakenNs, options.keyPressNs);
    EXPECT_LT(r.result.endNs - options.keyPressNs, replay::ticksToNs(2));
    EXPECT_GT(r.check.fadeWrites, 0u);

    // --length: the log's first seconds, then the fade over the music that follows, and the
    // program ends by itself; from within the loop (Icecap), and where the log has no loop
    // before the cut (victory: a loop position just before the end marker).
    const struct {
        const char* log;
        const char* options;
        double seconds;  // the cut and the fade
        std::uint32_t fadeSteps;
    } cuts[] = {{"Icecap.vgm", "--length 10 --fade 3", 13, 841},
                {"victory.vgm", "--length 2 --fade 1", 3, 280}};
    for (const auto& cut : cuts) {
        SCOPED_TRACE(cut.log);
        converted = convert(fs::path(OPMCAST_CORPUS_DIR) / cut.log, cut.options);
        ASSERT_FALSE(converted.program.empty()) << converted.summary;
        const opmsim::DecodedStream cutStream = opmsim::decodeExecutableStream(converted.program);
        ASSERT_TRUE(cutStream.error.empty()) << cutStream.error;
        EXPECT_EQ(cutStream.passes, 1);
        EXPECT_TRUE(cutStream.fades);
        EXPECT_EQ(cutStream.fadeSteps, cut.fadeSteps);
        r = replay::replay(converted.program, opmsim::SimOptions{});
        EXPECT_TRUE(r.check.problems.empty()) << replay::describe(r);
        EXPECT_EQ(r.result.exitCode, 0);
        EXPECT_EQ(r.result.keyTakenNs, -1);
        EXPECT_NEAR(double(r.result.endNs) / 1e9, cut.seconds, 0.1);
        EXPECT_GT(r.check.fadeWrites, 0u);
        const std::vector<std::string> cutScreen = opmsim::screenLines(r.result);
        ASSERT_FALSE(cutScreen.empty());
        char clock[16];
        std::snprintf(clock, sizeof clock, " / 0:%02d", int(cut.seconds));
        EXPECT_NE(cutScreen.back().find(clock), std::string::npos) << cutScreen.back();
    }
}

}  // namespace
