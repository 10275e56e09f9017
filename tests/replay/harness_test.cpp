// The emulated X68000 must catch the faults a player can have; otherwise a clean replay would
// prove nothing. Each program below has one fault (68000 code, source in the comments).

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "replay_support.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct FaultyProgram {
    const char* name;
    std::vector<std::uint16_t> code;
    const char* expectedError;  // part of the harness's error message
    // Test listings show the error expected, not the program's bytes.
    friend void PrintTo(const FaultyProgram& program, std::ostream* out) {
        *out << '"' << program.expectedError << '"';
    }
};

// Common opening: move.l %a1,%sp / clr.l -(%sp) / DOS _SUPER / lea 0xE90001,%a5
#define ENTER_SUPERVISOR 0x2E49, 0x42A7, 0xFF20, 0x4BF9, 0x00E9, 0x0001
// move.l %a1,%sp / clr.l -(%sp) / DOS _SUPER / lea 0xE840C0,%a0 (DMA channel 3)
#define DMA_SETUP 0x2E49, 0x42A7, 0xFF20, 0x41F9, 0x00E8, 0x40C0
// A sample played as a player should: move.l %a1,%sp / clr.l -(%sp) / DOS _SUPER /
// move.l %d0,(%sp) / lea 0xE840C0,%a0 / move.b #0xFF,(%a0) / move.b #0x80,4(%a0) /
// move.b #0x32,5(%a0) / move.b #4,6(%a0) / move.l #0xE92003,0x14(%a0) /
// lea DATA(%pc),%a2 / move.l %a2,0x0C(%a0) / move.w #COUNT,0x0A(%a0) / move.b #0x80,7(%a0) /
// move.b #8,0xE9A005 (divider 512, both sides on) / move.b #2,0xE92001 (play) /
// 1: btst #7,(%a0) / beq.s 1b
#define ADPCM_PLAY(DATA, COUNT)                                                                 \
    0x2E49, 0x42A7, 0xFF20, 0x2E80, 0x41F9, 0x00E8, 0x40C0, 0x10BC, 0x00FF, 0x117C, 0x0080,     \
        0x0004, 0x117C, 0x0032, 0x0005, 0x117C, 0x0004, 0x0006, 0x217C, 0x00E9, 0x2003, 0x0014, \
        0x45FA, DATA, 0x214A, 0x000C, 0x317C, COUNT, 0x000A, 0x117C, 0x0080, 0x0007, 0x13FC,    \
        0x0008, 0x00E9, 0xA005, 0x13FC, 0x0002, 0x00E9, 0x2001, 0x0810, 0x0007, 0x67FA

const FaultyProgram FAULTY_PROGRAMS[] = {
    {"UserModeIo",
     // move.l %a1,%sp / move.b #0x20,0xE90001 / DOS _EXIT
     {0x2E49, 0x13FC, 0x0020, 0x00E9, 0x0001, 0xFF00},
     "in user mode"},
    {"OddWordRead",
     // move.l %a1,%sp / lea -3(%sp),%a0 / move.w (%a0),%d0 / DOS _EXIT
     {0x2E49, 0x41EF, 0xFFFD, 0x3010, 0xFF00},
     "odd address"},
    {"UnknownDosCall",
     // move.l %a1,%sp / DOS _CREATE / DOS _EXIT
     {0x2E49, 0xFF3C, 0xFF00},
     "unknown DOS call $FF3C"},
    {"UnknownConsoleMode",
     // move.l %a1,%sp / move.w #2,-(%sp) / DOS _CONCTRL (mode 2: set the colour) / DOS _EXIT
     {0x2E49, 0x3F3C, 0x0002, 0xFF23, 0xFF00},
     "unknown DOS _CONCTRL mode 2"},
    {"TimerLeftRunning",
     // move.l %a1,%sp / clr.l -(%sp) / DOS _SUPER / move.l %d0,(%sp) / lea 0xE90001,%a5
     // move.b #0x14,(%a5) / move.b #0x01,2(%a5) / DOS _SUPER / DOS _EXIT
     {0x2E49, 0x42A7, 0xFF20, 0x2E80, 0x4BF9, 0x00E9, 0x0001, 0x1ABC, 0x0014, 0x1B7C, 0x0001,
      0x0002, 0xFF20, 0xFF00},
     "timer A still running"},
    {"WriteWhileBusy",
     // ENTER_SUPERVISOR / move.b #8,(%a5) / move.b #0,2(%a5) / move.b #8,(%a5) /
     // move.b #1,2(%a5) / DOS _EXIT
     {ENTER_SUPERVISOR, 0x1ABC, 0x0008, 0x1B7C, 0x0000, 0x0002, 0x1ABC, 0x0008, 0x1B7C, 0x0001,
      0x0002, 0xFF00},
     "while the OPM is busy"},
    {"PushOnParentStack",
     // move.l %d0,-(%sp) / DOS _EXIT
     {0x2F00, 0xFF00},
     "outside the program's"},
    {"StackAboveTheBss",
     // move.l %a1,%sp / addq.l #8,%sp / nop / DOS _EXIT
     {0x2E49, 0x508F, 0x4E71, 0xFF00},
     "left the program's stack"},
    {"RegisterNotInStream",
     // ENTER_SUPERVISOR / move.b #0x20,(%a5) / move.b #0xC7,2(%a5) / DOS _EXIT
     {ENTER_SUPERVISOR, 0x1ABC, 0x0020, 0x1B7C, 0x00C7, 0x0002, 0xFF00},
     "never names"},
    {"ExitInSupervisorMode",
     // move.l %a1,%sp / clr.l -(%sp) / DOS _SUPER / DOS _EXIT
     {0x2E49, 0x42A7, 0xFF20, 0xFF00},
     "without leaving the supervisor mode"},
    {"PollsAStoppedTimer",
     // ENTER_SUPERVISOR / 1: btst #0,2(%a5) / beq.s 1b / DOS _EXIT
     {ENTER_SUPERVISOR, 0x082D, 0x0000, 0x0002, 0x67F8, 0xFF00},
     "can no longer change"},
    {"TestBitsOfRegister01",
     // ENTER_SUPERVISOR / move.b #0x01,(%a5) / move.b #0x08,2(%a5) / DOS _EXIT
     {ENTER_SUPERVISOR, 0x1ABC, 0x0001, 0x1B7C, 0x0008, 0x0002, 0xFF00},
     "test modes"},
    {"OpmInterruptLeftOpen",
     // ENTER_SUPERVISOR / move.b #0x14,(%a5) / move.b #0x05,2(%a5) / 1: bra.s 1b
     {ENTER_SUPERVISOR, 0x1ABC, 0x0014, 0x1B7C, 0x0005, 0x0002, 0x60FE},
     "would reach the CPU"},
    // DMA channel 3 and the ADPCM. DMA_SETUP: lea 0xE840C0,%a0 after ENTER_SUPERVISOR's
    // first three words; then each program's own register writes and move.b #0x80,7(%a0).
    {"DmaStartWithStaleStatus",
     // move.l #0xE92003,0x14(%a0) / move.w #1,0x0A(%a0) / move.b #0x32,5(%a0) /
     // move.b #4,6(%a0) / move.b #0x80,7(%a0) (CSR still holds the last transfer's COC)
     {DMA_SETUP, 0x217C, 0x00E9, 0x2003, 0x0014, 0x317C, 0x0001, 0x000A, 0x117C, 0x0032, 0x0005,
      0x117C, 0x0004, 0x0006, 0x117C, 0x0080, 0x0007, 0xFF00},
     "stale status bits"},
    {"DmaStartWithZeroCount",
     // move.b #0xFF,(%a0) / move.l #0xE92003,0x14(%a0) / move.b #0x32,5(%a0) /
     // move.b #4,6(%a0) / move.b #0x80,7(%a0)
     {DMA_SETUP, 0x10BC, 0x00FF, 0x217C, 0x00E9, 0x2003, 0x0014, 0x117C, 0x0032, 0x0005, 0x117C,
      0x0004, 0x0006, 0x117C, 0x0080, 0x0007, 0xFF00},
     "zero count"},
    {"DmaToAnotherDevice",
     // as above with move.w #1,0x0A(%a0), but the device address 0xE92001
     {DMA_SETUP, 0x10BC, 0x00FF, 0x217C, 0x00E9, 0x2001, 0x0014, 0x317C, 0x0001, 0x000A,
      0x117C,    0x0032, 0x0005, 0x117C, 0x0004, 0x0006, 0x117C, 0x0080, 0x0007, 0xFF00},
     "is not the ADPCM's data port"},
    {"DmaCountWrittenWhileRunning",
     // move.b #0xFF,(%a0) / move.l #0xE92003,0x14(%a0) / lea -8(%sp),%a2 /
     // move.l %a2,0x0C(%a0) / move.w #4,0x0A(%a0) / move.b #0x32,5(%a0) / move.b #4,6(%a0) /
     // move.b #0x80,7(%a0) / move.w #2,0x0A(%a0)
     {DMA_SETUP, 0x10BC, 0x00FF, 0x217C, 0x00E9, 0x2003, 0x0014, 0x45EF, 0xFFF8,
      0x214A,    0x000C, 0x317C, 0x0004, 0x000A, 0x117C, 0x0032, 0x0005, 0x117C,
      0x0004,    0x0006, 0x117C, 0x0080, 0x0007, 0x317C, 0x0002, 0x000A, 0xFF00},
     "written while the channel runs"},
    {"AdpcmLeftPlaying",
     // ADPCM_PLAY with a 2-byte sample (0x12, 0x34), then DOS _SUPER / DOS _EXIT without
     // stopping or muting the ADPCM
     {ADPCM_PLAY(0x002C, 0x0002), 0xFF20, 0xFF00, 0x1234},
     "ADPCM still playing at exit"},
};

class HarnessCatches : public testing::TestWithParam<FaultyProgram> {};

TEST_P(HarnessCatches, TheFault) {
    opmsim::SimOptions options;
    options.timeLimitNs = 1'000'000'000;
    opmsim::SimResult result = opmsim::runProgram(replay::program(GetParam().code), options);
    std::string all;
    for (const std::string& e : result.errors) all += e + "\n";
    EXPECT_NE(all.find(GetParam().expectedError), std::string::npos) << all;
}

INSTANTIATE_TEST_SUITE_P(Faults, HarnessCatches, testing::ValuesIn(FAULTY_PROGRAMS),
                         [](const testing::TestParamInfo<FaultyProgram>& param) {
                             return param.param.name;
                         });

// A sample played and stopped as a player should: the harness records what DMA channel 3
// took, at the rate and with the pan set when the ADPCM was told to play.
TEST(HarnessAdpcm, RecordsASamplePlayedThroughDmaChannel3) {
    // ADPCM_PLAY with 4 bytes / move.b #1,0xE92001 (stop) / move.b #0x0B,0xE9A005 (mute) /
    // move.b #0xFF,(%a0) / DOS _SUPER / DOS _EXIT / the sample
    const opmsim::SimResult result = opmsim::runProgram(
        replay::program({ADPCM_PLAY(0x0040, 0x0004), 0x13FC, 0x0001, 0x00E9, 0x2001, 0x13FC, 0x000B,
                         0x00E9, 0xA005, 0x10BC, 0x00FF, 0xFF20, 0xFF00, 0x1234, 0x5678}),
        {});
    // The only fault: the OPM, which this program leaves alone, is not silenced at exit.
    for (const std::string& error : result.errors)
        EXPECT_NE(error.find("TL is not 127"), std::string::npos) << error;
    ASSERT_EQ(result.adpcm.size(), 1u);
    const opmsim::AdpcmPlay& play = result.adpcm[0];
    EXPECT_EQ(play.bytes, (Bytes{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(play.portC, 0x08);
    EXPECT_FALSE(play.aborted);
    EXPECT_EQ(play.endNs - play.startNs, 4 * 128'000);  // 7812.5 bytes a second
    EXPECT_GT(play.stopNs, play.endNs);
}

TEST(HarnessLoader, RejectsWhatHuman68kCouldNotRunAsAPlayer) {
    Bytes good = replay::program({0xFF00});  // DOS _EXIT
    EXPECT_TRUE(opmsim::runProgram(good, {}).exited);

    Bytes truncated(good.begin(), good.end() - 1);
    Bytes relocated = good;
    relocated[0x1B] = 2;
    Bytes badMagic = good;
    badMagic[1] = 'V';
    for (const Bytes& file : {truncated, relocated, badMagic}) {
        opmsim::SimResult result = opmsim::runProgram(file, {});
        EXPECT_FALSE(result.exited);
        EXPECT_FALSE(result.errors.empty());
    }
}

// The comparison must notice a replay that differs from its stream.
TEST(ReplayCheck, NoticesMissingWrongAndMistimedWrites) {
    Bytes stream = {0x20, 0xC7, 0x00, 0x04, 0x28, 0x4A, 0x00, 0x04, 0x08, 0x78, 0x00, 0xFF};
    replay::Replay good = replay::replay(replay::song(stream));
    ASSERT_TRUE(good.check.problems.empty()) << replay::describe(good);

    auto indexOf = [](const opmsim::SimResult& r, std::uint8_t reg) {
        for (std::size_t i = 0; i < r.writes.size(); ++i) {
            if (r.writes[i].reg == reg) return i;
        }
        return r.writes.size();
    };
    opmsim::SimResult missing = good.result;
    missing.writes.erase(missing.writes.begin() + indexOf(missing, 0x28));
    opmsim::SimResult wrongValue = good.result;
    wrongValue.writes[indexOf(wrongValue, 0x28)].value = 0x4B;
    opmsim::SimResult late = good.result;
    late.writes[indexOf(late, 0x28)].timeNs += replay::ticksToNs(1.5);
    opmsim::SimResult loud = good.result;  // the shutdown misses the TL of slot 31
    while (loud.writes.back().reg != 0x7F) loud.writes.pop_back();
    loud.writes.pop_back();

    for (const opmsim::SimResult* r : {&missing, &wrongValue, &late, &loud}) {
        EXPECT_FALSE(opmsim::checkReplay(good.stream, *r).problems.empty());
    }

    // The full player: each write at its step (00 04 waits 5 steps, one tick), register 1B
    // merged with the system's copy, and a shutdown that also turns the noise off, releases the
    // LFO reset, clears both LFO depths and writes the copy back into 1B.
    Bytes fullStream = {0x1B, 0x02, 0x0F, 0x85, 0x00, 0x04, 0x08, 0x78, 0x00, 0xFF};
    opmsim::SimOptions options;
    options.systemCopy1B = 0x80;
    replay::Replay full = replay::replay(replay::fullSong(fullStream), options);
    ASSERT_TRUE(full.check.problems.empty()) << replay::describe(full);
    auto lastIndexOf = [](const opmsim::SimResult& r, std::uint8_t reg, std::uint8_t value) {
        for (std::size_t i = r.writes.size(); i-- > 0;) {
            if (r.writes[i].reg == reg && r.writes[i].value == value) return i;
        }
        return r.writes.size();
    };
    opmsim::SimResult unmerged = full.result;
    unmerged.writes[indexOf(unmerged, 0x1B)].value = 0x02;
    opmsim::SimResult noisy = full.result;
    noisy.writes.erase(noisy.writes.begin() + lastIndexOf(noisy, 0x0F, 0x00));
    opmsim::SimResult held = full.result;
    held.writes.erase(held.writes.begin() + lastIndexOf(held, 0x01, 0x00));
    opmsim::SimResult modulated = full.result;
    modulated.writes.erase(modulated.writes.begin() + lastIndexOf(modulated, 0x19, 0x80));
    opmsim::SimResult unrestored = full.result;
    unrestored.writes[lastIndexOf(unrestored, 0x1B, 0x80)].value = 0x82;
    for (const opmsim::SimResult* r : {&unmerged, &noisy, &held, &modulated, &unrestored}) {
        EXPECT_FALSE(opmsim::checkReplay(full.stream, *r).problems.empty());
    }
    // Held to a tenth of a tick, the key on is right at its step and wrong one step later.
    EXPECT_TRUE(opmsim::checkReplay(full.stream, full.result, 0.1).problems.empty());
    opmsim::SimResult stepLate = full.result;
    stepLate.writes[indexOf(stepLate, 0x08)].timeNs += replay::stepsToNs(1);
    EXPECT_FALSE(opmsim::checkReplay(full.stream, stepLate, 0.1).problems.empty());
}

}  // namespace

// A song with a number of passes: the part before the loop, the loop body once a pass, the
// fade after the end marker, then the shutdown. A check held to another number of passes, or a
// fade without its end, must fail.
TEST(ReplayCheck, HoldsASongToItsPassesAndItsFade) {
    // 20 = C7, wait 5 steps, loop: 28 = 10, wait 100, key off, end; fade: 60 = 20, wait 10,
    // 60 = 40, 00 F8.
    const Bytes stream = {0x20, 0xC7, 0x00, 0x04, 0x00, 0xFE, 0x28, 0x10, 0x00, 0x63, 0x08,
                          0x00, 0x00, 0xFF, 0x60, 0x20, 0x00, 0x09, 0x60, 0x40, 0x00, 0xF8};
    Bytes exe = replay::fullSong(stream);
    exe[FULL_PLAYER_LOOPS_OFFSET + 1] = 2;
    const replay::Replay r = replay::replay(exe);
    ASSERT_TRUE(r.check.problems.empty()) << replay::describe(r);
    EXPECT_TRUE(r.stream.fades);
    EXPECT_EQ(r.check.loopPasses, 1u);
    EXPECT_EQ(r.check.fadeWrites, 2u);
    std::vector<std::uint32_t> steps;
    for (const opmsim::PlayedEvent& e : opmsim::playedEvents(r.stream))
        steps.push_back(e.event.step);
    EXPECT_EQ(steps, (std::vector<std::uint32_t>{0, 5, 105, 105, 205, 205, 215}));
    EXPECT_EQ(opmsim::songEndStep(r.stream), 215u);

    for (const std::uint16_t passes : {1, 3}) {
        const opmsim::DecodedStream other =
            opmsim::decodeStream(stream.data(), stream.size(), opmsim::PlayerKind::Full, passes);
        EXPECT_FALSE(opmsim::checkReplay(other, r.result).problems.empty()) << passes;
    }
    EXPECT_FALSE(opmsim::decodeStream(stream.data(), stream.size() - 2, opmsim::PlayerKind::Full, 2)
                     .error.empty());
}

// What a player prints: DOS _PRINT and _CONCTRL (mode 1 a string, mode 0 a character word, a
// Shift-JIS pair in one word) are recorded in order, each after the drawing time of the text
// before it.
TEST(HarnessConsole, RecordsWhatIsPrintedAndChargesItsDrawing) {
    // move.l %a1,%sp / pea TEXT(%pc) / DOS _PRINT / addq.l #4,%sp / move.w #0x8140,-(%sp) /
    // move.w #0,-(%sp) / DOS _CONCTRL / addq.l #4,%sp / pea TEXT(%pc) / move.w #1,-(%sp) /
    // DOS _CONCTRL / addq.l #6,%sp / DOS _EXIT / TEXT: "Hi" CR LF NUL
    const opmsim::SimOptions options;
    const opmsim::SimResult result = opmsim::runProgram(
        replay::program({0x2E49, 0x487A, 0x0020, 0xFF09, 0x588F, 0x3F3C, 0x8140,
                         0x3F3C, 0x0000, 0xFF23, 0x588F, 0x487A, 0x000C, 0x3F3C,
                         0x0001, 0xFF23, 0x5C8F, 0xFF00, 0x4869, 0x0D0A, 0x0000}),
        options);
    ASSERT_TRUE(result.exited);
    ASSERT_EQ(result.console.size(), 3u);
    EXPECT_EQ(result.console[0].bytes, "Hi\r\n");
    EXPECT_EQ(result.console[1].bytes, "\x81\x40");
    EXPECT_EQ(result.console[2].bytes, "Hi\r\n");
    EXPECT_GE(result.console[1].timeNs - result.console[0].timeNs,
              4 * options.consoleCharNs + options.systemCallNs);
    EXPECT_EQ(opmsim::screenLines(result), (std::vector<std::string>{"Hi", "\x81\x40Hi"}));

    // _CONCTRL 10 (2: the whole screen erased), 3 (the cursor to column 2, row 1), then 0:
    // recorded as the console's escape sequences; a cursor off the 96x31 screen is a fault.
    const opmsim::SimResult moved = opmsim::runProgram(
        replay::program({0x2E49, 0x3F3C, 0x0002, 0x3F3C, 0x000A, 0xFF23, 0x588F, 0x3F3C,
                         0x0001, 0x3F3C, 0x0002, 0x3F3C, 0x0003, 0xFF23, 0x5C8F, 0x3F3C,
                         0x0058, 0x3F3C, 0x0000, 0xFF23, 0x588F, 0xFF00}),
        options);
    ASSERT_TRUE(moved.exited) << (moved.errors.empty() ? "" : moved.errors[0]);
    ASSERT_EQ(moved.console.size(), 3u);
    EXPECT_EQ(moved.console[0].bytes, "\x1b[2J");
    EXPECT_EQ(moved.console[1].bytes, "\x1b[2;3H");
    EXPECT_EQ(opmsim::screenLines(moved), (std::vector<std::string>{"", "  X"}));
    const opmsim::SimResult off = opmsim::runProgram(
        replay::program({0x2E49, 0x3F3C, 0x0000, 0x3F3C, 0x0060, 0x3F3C, 0x0003, 0xFF23, 0xFF00}),
        options);
    EXPECT_FALSE(off.exited);
    ASSERT_FALSE(off.errors.empty());
    EXPECT_NE(off.errors[0].find("off the 96x31 screen"), std::string::npos) << off.errors[0];
}

// The screen a terminal shows and the lines as printed, from what a program printed.
TEST(HarnessConsole, ScreenAndPrintedLines) {
    struct Case {
        std::vector<opmsim::ConsoleText> console;
        std::vector<std::string> screen;
        std::vector<std::string> printed;
    };
    const Case cases[] = {
        // A header, then a time line redrawn after CR, then CR LF at the end.
        {{{0, "Song\r\n"}, {10, "\r0:01 1"}, {20, "\r0:02 1"}, {30, "\r\n"}},
         {"Song", "0:02 1"},
         {"Song", "0:01 1", "0:02 1"}},
        // A shorter line over a longer one keeps the longer one's tail.
        {{{0, "\r10:00 2"}, {10, "\r9:59"}}, {"9:590 2"}, {"10:00 2", "9:59"}},
        // Shift-JIS bytes stay as printed.
        {{{0, "\x93\xfa\x96\x7b\r\n"}}, {"\x93\xfa\x96\x7b"}, {"\x93\xfa\x96\x7b"}},
        // The screen erased, the cursor moved (row 3, column 5 from 1): an album's redraw.
        {{{0, "old\r\nlines\r\n"},
          {10, "\x1b[2J"},
          {20, "\x1b[1;1H"},
          {30, "Keys\r\n"},
          {40, "\x1b[3;5H"},
          {50, "x"}},
         {"Keys", "", "    x"},
         {"old", "lines", "Keys", "x"}},
        // Erased from the cursor on: the rest of its line and every line below.
        {{{0, "abc\r\ndef\r\n"}, {10, "\x1b[1;2H"}, {20, "\x1b[0J"}}, {"a"}, {"abc", "def"}},
    };
    for (const Case& c : cases) {
        opmsim::SimResult result;
        result.console = c.console;
        EXPECT_EQ(opmsim::screenLines(result), c.screen);
        std::vector<std::string> printed;
        for (const opmsim::PrintedLine& line : opmsim::printedLines(result))
            printed.push_back(line.text);
        EXPECT_EQ(printed, c.printed);
    }
    // A line printed a character a call runs from its first byte's call to its last's.
    opmsim::SimResult result;
    result.console = {{100, "\r0"}, {200, ":"}, {300, "01"}, {400, "\r"}};
    const std::vector<opmsim::PrintedLine> lines = opmsim::printedLines(result);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].startNs, 100);
    EXPECT_EQ(lines[0].endNs, 300);
}

// Key scripts as --keys reads them, and the IOCS's key buffer: _B_KEYSNS shows the earliest
// press whose time has come without taking it, _B_KEYINP takes it or waits for the next one.
TEST(HarnessKeys, ScriptsAndTheIocsBuffer) {
    struct Script {
        const char* text;
        std::vector<opmsim::KeyPress> presses;  // empty: a wrong script
    };
    const Script scripts[] = {
        {"5:n,12.5:p,20:q", {{5'000'000'000, 'n'}, {12'500'000'000, 'p'}, {20'000'000'000, 'q'}}},
        {"3:esc,1:space,1:N",
         {{1'000'000'000, 0x3520}, {1'000'000'000, 'N'}, {3'000'000'000, 0x011B}}},
        {"", {}},
        {"5", {}},
        {"5:", {}},
        {":n", {}},
        {"5:nn", {}},
        {"-1:n", {}},
        {"5:n,", {}},
        {"x:n", {}},
        {"90000:n", {}},
    };
    for (const Script& s : scripts) {
        std::string error;
        const std::vector<opmsim::KeyPress> presses = opmsim::parseKeyScript(s.text, error);
        EXPECT_EQ(error.empty(), !s.presses.empty()) << s.text << ": " << error;
        ASSERT_EQ(presses.size(), s.presses.size()) << s.text;
        for (std::size_t i = 0; i < presses.size(); ++i) {
            EXPECT_EQ(presses[i].timeNs, s.presses[i].timeNs) << s.text;
            EXPECT_EQ(presses[i].code, s.presses[i].code) << s.text;
        }
    }

    // move.l %a1,%sp / moveq #1,%d0 / trap #15 (_B_KEYSNS) / move.w %d0,-(%sp) / DOS _EXIT2
    const Bytes sense = replay::program({0x2E49, 0x7001, 0x4E4F, 0x3F00, 0xFF4C});
    // move.l %a1,%sp / (moveq #0,%d0 / trap #15: _B_KEYINP) twice / move.w %d0,-(%sp) /
    // DOS _EXIT2
    const Bytes takeTwo = replay::program({0x2E49, 0x7000, 0x4E4F, 0x7000, 0x4E4F, 0x3F00, 0xFF4C});
    struct Run {
        const Bytes& program;
        std::vector<opmsim::KeyPress> keys;
        std::int64_t keyPressNs;
        int exitCode;  // the code the last call returned
        std::vector<opmsim::KeyPress> taken;
    };
    const Run runs[] = {
        {sense, {{0, 'n'}}, -1, 'n', {}},
        {sense, {{0, 0x011B}}, -1, 0x011B, {}},
        {sense, {{1'000'000'000, 'n'}}, -1, 0, {}},  // not due yet
        {sense, {}, 0, 0x3520, {}},                  // --key-at: the space bar
        // The second press is earlier in time: taken first; the later one is waited for.
        {takeTwo,
         {{5'000'000, 'n'}, {2'000'000, 'p'}},
         -1,
         'n',
         {{2'000'000, 'p'}, {5'000'000, 'n'}}},
        {takeTwo, {{5'000'000, 'q'}}, 1'000'000, 'q', {{1'000'000, 0x3520}, {5'000'000, 'q'}}},
    };
    for (const Run& run : runs) {
        opmsim::SimOptions options;
        options.keys = run.keys;
        options.keyPressNs = run.keyPressNs;
        const opmsim::SimResult result = opmsim::runProgram(run.program, options);
        ASSERT_TRUE(result.exited);
        EXPECT_EQ(result.exitCode, std::int16_t(run.exitCode));
        ASSERT_EQ(result.keysTaken.size(), run.taken.size());
        for (std::size_t i = 0; i < run.taken.size(); ++i) {
            EXPECT_EQ(result.keysTaken[i].code, run.taken[i].code);
            EXPECT_GE(result.keysTaken[i].timeNs, run.taken[i].timeNs);
            EXPECT_LT(result.keysTaken[i].timeNs, run.taken[i].timeNs + 100'000);
        }
        EXPECT_EQ(result.keyTakenNs, run.taken.empty() ? -1 : result.keysTaken[0].timeNs);
    }
    // _B_KEYINP once every press is taken waits for a key that never comes.
    opmsim::SimOptions one;
    one.keys = {{0, 'n'}};
    const opmsim::SimResult waits = opmsim::runProgram(takeTwo, one);
    EXPECT_FALSE(waits.exited);
    ASSERT_FALSE(waits.errors.empty());
    EXPECT_NE(waits.errors[0].find("never comes"), std::string::npos) << waits.errors[0];
}

namespace {

// A run of an album made by hand: each track's writes from its start at their steps, up to a
// key or to the track's end, then the clean state; at the end the timer's stop.
struct AlbumRun {
    opmsim::SimResult result;
    std::int64_t now = 1'000'000;

    void write(std::uint8_t reg, std::uint8_t value) {
        result.writes.push_back({now, reg, value});
        now += 2'000;
    }
    void track(const opmsim::DecodedStream& stream, double keySeconds = -1, char key = 0) {
        const double stepNs = replay::stepsToNs(1);
        const std::int64_t origin = now;
        const std::int64_t keyNs =
            keySeconds < 0 ? INT64_MAX : origin + std::int64_t(keySeconds * 1e9);
        for (const opmsim::PlayedEvent& p : opmsim::playedEvents(stream)) {
            const std::int64_t t =
                std::max(now, origin + std::int64_t(p.event.step * stepNs) + 10'000);
            if (t >= keyNs) break;
            now = t;
            write(p.event.reg, p.event.value);
        }
        if (key != 0) {
            result.keysTaken.push_back({keyNs, std::uint8_t(key)});
            now = keyNs + 5'000;
        } else {
            now = std::max(now, origin + std::int64_t(stream.endStep * stepNs) + 20'000);
        }
        for (const PlayerWrite& w : opmsim::albumCleanState(0)) write(w.reg, w.value);
    }
};

}  // namespace

// An album's run held to its tracks: the track each part between clean states should be,
// from the keys taken and the player's rules, and its writes against that track's stream.
TEST(ReplayCheck, HoldsAnAlbumToItsTracksAndKeys) {
    // Track 1: 28 = 10, 100 steps, 28 = 11. Track 2: 30 = 20, 960 steps (3.4 s), 30 = 21.
    const Bytes one = {0x28, 0x10, 0x00, 0x63, 0x28, 0x11, 0x00, 0xFF};
    const Bytes two = {0x30, 0x20, 0x00, 0xEF, 0x00, 0xEF, 0x00,
                       0xEF, 0x00, 0xEF, 0x30, 0x21, 0x00, 0xFF};
    opmsim::AlbumTable album;
    for (const Bytes* s : {&one, &two}) {
        opmsim::AlbumTrack track;
        track.stream = opmsim::decodeStream(s->data(), s->size(), opmsim::PlayerKind::Full);
        album.tracks.push_back(track);
    }
    const opmsim::DecodedStream& a = album.tracks[0].stream;
    const opmsim::DecodedStream& b = album.tracks[1].stream;
    using E = opmsim::TrackEnding;
    struct Case {
        const char* name;
        std::function<void(AlbumRun&)> play;
        std::vector<std::pair<std::size_t, E>> plays;  // empty: problems expected
    };
    const Case cases[] = {
        {"both to their ends",
         [&](AlbumRun& r) { r.track(a), r.track(b); },
         {{0, E::End}, {1, E::End}}},
        {"n, an ignored key, then p early and late",
         [&](AlbumRun& r) {
             r.track(a, 0.1, 'n');
             r.result.keysTaken.push_back({r.now + 50'000'000, 'x'});
             r.track(b, 1.0, 'p');  // 1 s in: the track before
             r.track(a);
             r.track(b, 3.2, 'P');  // 3.2 s in: the same track again
             r.track(b);
         },
         {{0, E::Next}, {1, E::Previous}, {0, E::End}, {1, E::Previous}, {1, E::End}}},
        {"quit", [&](AlbumRun& r) { r.track(a, 0.2, 'q'); }, {{0, E::Quit}}},
        {"the same track again after n",
         [&](AlbumRun& r) { r.track(a, 0.1, 'n'), r.track(a); },
         {}},
        {"exits after track 1", [&](AlbumRun& r) { r.track(a); }, {}},
        {"a TL missing from the clean state",
         [&](AlbumRun& r) {
             r.track(a);
             r.result.writes.pop_back();
             r.track(b);
         },
         {}},
        {"a write late by two ticks",
         [&](AlbumRun& r) {
             r.track(a);
             r.track(b);
             r.result.writes[r.result.writes.size() - 46].timeNs += replay::ticksToNs(2);
         },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AlbumRun run;
        run.write(0x19, 0x00);
        run.write(0x19, 0x80);
        c.play(run);
        run.write(0x14, 0x30);
        run.result.exited = true;
        run.result.exitCode = 0;
        run.result.endNs = run.now;
        const opmsim::AlbumCheck check = opmsim::checkAlbumReplay(album, run.result);
        std::string problems;
        for (const std::string& p : check.problems) problems += p + "\n";
        EXPECT_EQ(check.problems.empty(), !c.plays.empty()) << problems;
        if (c.plays.empty()) continue;
        ASSERT_EQ(check.plays.size(), c.plays.size());
        for (std::size_t i = 0; i < c.plays.size(); ++i) {
            EXPECT_EQ(check.plays[i].track, c.plays[i].first) << i;
            EXPECT_EQ(check.plays[i].ending, c.plays[i].second) << i;
            EXPECT_LT(check.plays[i].maxTickError, 0.1) << i;
        }
    }
}

// The table of an album built as opmcast-full builds it, and tables the player refuses.
TEST(AlbumTable, DecodesTheTracksAndRefusesAMalformedTable) {
    if (!opmsim::fullPlayerHasAlbumField()) GTEST_SKIP() << "the player has no album field";
    const Bytes one = {0x28, 0x10, 0x00, 0x63, 0x28, 0x11, 0x00, 0xFF};
    const Bytes two = {0x30, 0x20, 0x00, 0x04, 0x00, 0xFE, 0x30, 0x21,
                       0x00, 0x09, 0x00, 0xFF, 0x60, 0x30, 0x00, 0xF8};
    const Bytes display = {'T', 'w', 'o', '\r', '\n', 0, 1, 0};
    const Bytes albumDisplay = {'1', ' ', 'O', 'n', 'e', '\r', '\n', 0, 0, 0};
    std::vector<FullAlbumTrack> tracks = {{one, {}, 0}, {two, display, 2}};
    const Bytes file = buildFullAlbum(tracks, {}, albumDisplay, true);
    const std::optional<opmsim::AlbumTable> album = opmsim::decodeAlbum(file);
    ASSERT_TRUE(album.has_value());
    ASSERT_EQ(album->error, "");
    EXPECT_TRUE(album->repeat);
    EXPECT_FALSE(album->drums);
    EXPECT_EQ(album->displayHeader, "1 One\r\n");
    ASSERT_EQ(album->tracks.size(), 2u);
    EXPECT_EQ(album->tracks[0].stream.endStep, 100u);
    EXPECT_FALSE(album->tracks[0].stream.loops);
    EXPECT_EQ(album->tracks[1].passes, 2u);
    EXPECT_TRUE(album->tracks[1].stream.fades);
    EXPECT_EQ(album->tracks[1].displayHeader, "Two\r\n");
    EXPECT_EQ(album->tracks[1].displayPattern, "\x01");
    EXPECT_FALSE(opmsim::decodeAlbum(replay::fullSong(one)).has_value());

    // Damage to the table: each must be named.
    const std::size_t table = opmsim::HEADER_SIZE + album->tableOffset;
    auto damaged = [&](std::size_t at, std::uint8_t value) {
        Bytes f = file;
        f[at] = value;
        return f;
    };
    const std::vector<Bytes> malformed = {
        damaged(table + 1, 0),                                      // no track
        damaged(table, 0x04),                                       // 1026 tracks
        damaged(table + 4 + 3, std::uint8_t(file[table + 7] + 1)),  // an odd stream offset
        damaged(table + 4 + 12 + 2, 0x7F),            // track 2's stream beyond the table
        damaged(FULL_PLAYER_ALBUM_OFFSET + 1, 0x7F),  // the table beyond the text
        damaged(FULL_PLAYER_ALBUM_OFFSET, 0xFF),      // the table below the code (wraps)
        damaged(FULL_PLAYER_DISPLAY_OFFSET, 0x05),    // the album's display far beyond
    };
    // The player itself refuses each before it writes anything or prints a byte.
    opmsim::SimOptions options;
    options.timeLimitNs = 1'000'000'000;
    for (std::size_t i = 0; i < malformed.size(); ++i) {
        const std::optional<opmsim::AlbumTable> bad = opmsim::decodeAlbum(malformed[i]);
        ASSERT_TRUE(bad.has_value());
        EXPECT_NE(bad->error, "") << i;
        const opmsim::SimResult run = opmsim::runProgram(malformed[i], options);
        EXPECT_TRUE(run.exited && run.exitCode == 0) << i;
        EXPECT_TRUE(run.writes.empty()) << i;
        EXPECT_TRUE(run.console.empty()) << i;
    }
    // A track whose stream lacks its end marker runs into the next part: no end.
    tracks[0].stream.resize(tracks[0].stream.size() - 2);
    const std::optional<opmsim::AlbumTable> endless =
        opmsim::decodeAlbum(buildFullAlbum(tracks, {}, albumDisplay, false));
    ASSERT_TRUE(endless.has_value());
    EXPECT_NE(endless->error.find("track 1"), std::string::npos) << endless->error;
}
