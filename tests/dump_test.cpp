// opmdump's reading of executables and VGM files, run in-process on hand-made data.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <set>
#include <span>
#include <sstream>

#include "dump/program/executable_stream.hpp"
#include "dump/program/stream_report.hpp"
#include "dump/program/vgm_export.hpp"
#include "dump/program/vgm_gd3.hpp"
#include "dump/vgm/vgm_summary.hpp"
#include "full/player/full_player.hpp"
#include "tests/dump_support.hpp"
#include "translate/opm_image.hpp"

namespace {

TEST(DumpNames, EveryRegisterNumberTheOpmHasBelongsToAGroup) {
    const std::set<int> missing = {0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x09, 0x0A, 0x0B, 0x0C, 0x0D,
                                   0x0E, 0x13, 0x15, 0x16, 0x17, 0x1A, 0x1C, 0x1D, 0x1E, 0x1F};
    for (PlayerKind player : {PlayerKind::classic, PlayerKind::full}) {
        for (int reg = 1; reg < 256; ++reg)
            EXPECT_EQ(pairGroup(player, std::uint8_t(reg), 0) == PairGroup::missing,
                      missing.count(reg) == 1)
                << std::hex << reg;
        // The full player waits at most 240 steps, stops the ADPCM at 00 F0, starts it at
        // 00 F1-00 F3, moves it to other sides at 00 F4-00 F7 and ends the song at 00 F8-00 FD.
        const bool full = player == PlayerKind::full;
        for (int second = 0; second < 256; ++second) {
            const PairGroup expected = second == 0xFE           ? PairGroup::loopMarker
                                       : second == 0xFF         ? PairGroup::endMarker
                                       : !full || second < 0xF0 ? PairGroup::wait
                                       : second == 0xF0         ? PairGroup::adpcmStop
                                       : second <= 0xF3         ? PairGroup::adpcmStart
                                       : second <= 0xF7         ? PairGroup::adpcmSides
                                       : second == 0xF8         ? PairGroup::fadeEnd
                                                                : PairGroup::reserved;
            EXPECT_EQ(pairGroup(player, 0, std::uint8_t(second)), expected) << second;
            EXPECT_EQ(waitSteps(player, 0, std::uint8_t(second)),
                      expected == PairGroup::wait ? unsigned(second) + 1 : 0u)
                << second;
        }
    }
}

TEST(DumpNames, OperatorRegistersFollowTheConvertersSlotNumbering) {
    for (int row = 0; row < OP_PARAM_ROWS; ++row)
        for (int c = 0; c < OPM_CHANNELS; ++c)
            for (int op = 0; op < 4; ++op) {
                const std::uint8_t reg = opParamRegister(row, slotOf(c, op));
                EXPECT_EQ(pairGroup(PlayerKind::classic, reg, 0),
                          PairGroup(int(PairGroup::dt1Mul) + row));
                EXPECT_EQ(pairChannel(reg, 0), c);
                EXPECT_EQ(pairOperator(reg), op);
            }
}

TEST(DumpNames, NamesCommandsAndEveryRegisterGroup) {
    const std::pair<Bytes, std::string> cases[] = {
        {{0x00, 0x00}, "wait 1 tick"},
        {{0x00, 0xFD}, "wait 254 ticks"},
        {{0x00, 0xFE}, "loop marker"},
        {{0x00, 0xFF}, "end marker"},
        {{0x01, 0x02}, "TEST (LFO reset)"},
        {{0x08, 0x78}, "key on ch0 ops 1111"},
        {{0x08, 0x05}, "key off ch5"},
        {{0x0F, 0x00}, "NE/NFRQ (noise)"},
        {{0x10, 0x00}, "CLKA1 (timer A high)"},
        {{0x11, 0x00}, "CLKA2 (timer A low)"},
        {{0x12, 0x00}, "CLKB (timer B)"},
        {{0x14, 0x00}, "CSM/timer control"},
        {{0x18, 0x01}, "LFRQ (LFO frequency)"},
        {{0x19, 0x00}, "PMD/AMD (LFO depth)"},
        {{0x1B, 0x00}, "CT/W (LFO waveform)"},
        {{0x20, 0xC7}, "RL/FB/CON ch0"},
        {{0x2D, 0x44}, "KC ch5"},
        {{0x31, 0x04}, "KF ch1"},
        {{0x3F, 0x00}, "PMS/AMS ch7"},
        {{0x40, 0x07}, "DT1/MUL ch0 op0"},
        {{0x6A, 0x20}, "TL ch2 op1"},
        {{0x93, 0x1F}, "KS/AR ch3 op2"},
        {{0xA9, 0x80}, "AMS-EN/D1R ch1 op1"},
        {{0xDC, 0x00}, "DT2/D2R ch4 op3"},
        {{0xFF, 0x12}, "D1L/RR ch7 op3"},
    };
    for (const auto& [pair, text] : cases)
        EXPECT_EQ(describePair(PlayerKind::classic, pair[0], pair[1]), text);
    // A full program's chip-wide registers are named with the values the player writes.
    const std::pair<Bytes, std::string> fullCases[] = {
        {{0x00, 0x00}, "wait 1 step"},
        {{0x00, 0xEF}, "wait 240 steps"},
        {{0x00, 0xF8}, "end of the fade: the player ends the song here"},
        {{0x00, 0xF9}, "reserved: the player ends the song here"},
        {{0x00, 0xFD}, "reserved: the player ends the song here"},
        {{0x00, 0xF4}, "ADPCM sides muted"},
        {{0x00, 0xF5}, "ADPCM sides right"},
        {{0x00, 0xF6}, "ADPCM sides left"},
        {{0x00, 0xF7}, "ADPCM sides both"},
        {{0x00, 0xF0}, "ADPCM stop, both sides muted"},
        {{0x00, 0xF1}, "ADPCM start, right only"},
        {{0x00, 0xF2}, "ADPCM start, left only"},
        {{0x00, 0xF3}, "ADPCM start, both sides"},
        {{0x01, 0x02}, "LFO reset"},
        {{0x01, 0x00}, "LFO reset released"},
        {{0x01, 0x82}, "LFO reset, test bits 0x80"},
        {{0x0F, 0x8E}, "NE/NFRQ noise on, NFRQ 14"},
        {{0x0F, 0x7F}, "NE/NFRQ noise off, NFRQ 31"},
        {{0x18, 0xC8}, "LFRQ 200"},
        {{0x19, 0x20}, "AMD 32"},
        {{0x19, 0xE6}, "PMD 102"},
        {{0x1B, 0x00}, "W saw"},
        {{0x1B, 0x01}, "W square"},
        {{0x1B, 0x02}, "W triangle"},
        {{0x1B, 0xC3}, "W noise, bits 7-2 ignored"},
        {{0x08, 0x47}, "key on ch7 ops 0001"},
        {{0x6A, 0x20}, "TL ch2 op1"},
    };
    for (const auto& [pair, text] : fullCases)
        EXPECT_EQ(describePair(PlayerKind::full, pair[0], pair[1]), text);
}

TEST(DumpNames, KeyOnDigitsFollowTheOpmOperatorBits) {
    // M1 (bit 3) is operator 0, M2 (bit 5) operator 1, C1 (bit 4) operator 2, C2 (bit 6) 3.
    EXPECT_EQ(describePair(PlayerKind::classic, 0x08, 0x0A), "key on ch2 ops 1000");
    EXPECT_EQ(describePair(PlayerKind::classic, 0x08, 0x22), "key on ch2 ops 0100");
    EXPECT_EQ(describePair(PlayerKind::classic, 0x08, 0x12), "key on ch2 ops 0010");
    EXPECT_EQ(describePair(PlayerKind::classic, 0x08, 0x47), "key on ch7 ops 0001");
}

// Prologue; 254 + 46 ticks; TL ch2 op1; key on ch0; loop; 5 ticks; key off ch0; end.
const Bytes SAMPLE_PAIRS = {0x00, 0xFD, 0x00, 0x2D, 0x6A, 0x20, 0x08,
                            0x78, 0x00, 0xFE, 0x00, 0x04, 0x08, 0x00};
constexpr std::uint64_t SAMPLE_STREAM_AT = 434 + 122;

ExecutableStream sampleStream() {
    ExecutableStream stream;
    const auto problem = readExecutable(makeExecutable(streamWith(SAMPLE_PAIRS)), stream);
    EXPECT_FALSE(problem) << describeProblem(*problem);
    return stream;
}

TEST(DumpExecutable, ReadsTheStreamAndCountsItsTicksKeysAndLoop) {
    const ExecutableStream stream = sampleStream();
    EXPECT_EQ(stream.length, 446u + 122 + 16);
    EXPECT_EQ(stream.sizeField, stream.length - 76);
    ASSERT_EQ(stream.pairs.size(), 61u + 8);
    EXPECT_EQ(stream.pairs[61 + 2].offset, SAMPLE_STREAM_AT + 4);

    EXPECT_EQ(stream.player, PlayerKind::classic);
    const StreamStats stats = streamStats(stream);
    EXPECT_EQ(stats.pairs, 69u);
    EXPECT_EQ(stats.steps, 1u + 254 + 46 + 5);
    EXPECT_TRUE(stats.loops);
    EXPECT_EQ(stats.loopStep, 1u + 254 + 46);
    EXPECT_EQ(stats.keyOns, (std::array<std::uint64_t, 8>{1, 0, 0, 0, 0, 0, 1, 1}));
    EXPECT_EQ(stats.keyOffs, (std::array<std::uint64_t, 8>{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(stats.byGroup[std::size_t(PairGroup::wait)], 4u);
    EXPECT_EQ(stats.byGroup[std::size_t(PairGroup::totalLevel)], 8u + 1);
    EXPECT_EQ(stats.byGroup[std::size_t(PairGroup::keyOnOff)], 4u);
    EXPECT_EQ(stats.byGroup[std::size_t(PairGroup::connect)], 2u);
}

// A full program with every part: a loop played twice, a fade with an ADPCM start whose
// sample number reads 00 F8, the drums' bank and the display block.
const Bytes FADE_STREAM = {0x08, 0x78, 0x00, 0xFE, 0x00, 0x09, 0x00, 0xFF,
                           0x00, 0xF3, 0x00, 0xF8, 0x00, 0x04, 0x00, 0xF8};
const Bytes DISPLAY = {'S', 'o', 'n', 'g', 0x82, 0xA0, '\r', '\n', 0, 0x01, ' ', 0x02, 0, 0};

Bytes fadeProgram(const Bytes& stream = FADE_STREAM, const Bytes& display = DISPLAY,
                  std::uint16_t loops = 2) {
    return buildFullProgram(stream, drumProgram().bank, display, loops);
}

TEST(DumpExecutable, ReportsEachMalformationAtItsOffset) {
    std::vector<MalformedFile> cases = malformedExecutables();
    const std::uint64_t fadeAt = FULL_PLAYER_HEAD_SIZE + 8;
    const std::uint64_t bankAt = FULL_PLAYER_HEAD_SIZE + FADE_STREAM.size();
    const std::uint64_t displayAt = bankAt + drumProgram().bank.size();
    const Bytes noFadeEnd = {0x08, 0x78, 0x00, 0xFE, 0x00, 0x09, 0x00, 0xFF, 0x00, 0x04};
    cases.push_back({"fade without its end", fadeProgram(noFadeEnd), fadeAt});
    cases.push_back(
        {"pairs after the fade's end", fadeProgram(concat({FADE_STREAM, {0x00, 0x00}})), bankAt});
    cases.push_back({"pairs after the end marker without passes",
                     fadeProgram(FADE_STREAM, DISPLAY, 0), fadeAt});
    Bytes noLoop = FADE_STREAM;
    noLoop[3] = 0x00;
    cases.push_back({"pairs after the end marker without a loop", fadeProgram(noLoop), fadeAt});
    Bytes farDisplay = fadeProgram();
    farDisplay[FULL_PLAYER_DISPLAY_OFFSET] = 0x7F;
    cases.push_back({"display beyond the text", farDisplay, FULL_PLAYER_DISPLAY_OFFSET});
    cases.push_back({"display without its NULs", fadeProgram(FADE_STREAM, {'S', 0x01}), displayAt});
    cases.push_back({"bytes after the time line",
                     fadeProgram(FADE_STREAM, {'S', 0, 0x01, 0, 'x', 0}), displayAt + 4});
    cases.push_back({"time line longer than the player's line",
                     fadeProgram(FADE_STREAM, concat({{'S', 0}, Bytes(19, 0x01), {0}})),
                     displayAt + 2});
    for (const MalformedFile& bad : cases) {
        ExecutableStream stream;
        const auto problem = readExecutable(bad.bytes, stream);
        ASSERT_TRUE(problem) << bad.name;
        EXPECT_EQ(problem->offset, bad.offset) << bad.name << ": " << problem->text;
    }
}

TEST(DumpExecutable, EveryTruncationIsAProblemNeverAStrayRead) {
    for (const Bytes& good : {makeExecutable(streamWith(SAMPLE_PAIRS)),
                              buildFullProgram(concat({SAMPLE_PAIRS, {0x00, 0xFF}})),
                              drumProgram().program, fadeProgram()}) {
        for (std::size_t length = 0; length < good.size(); ++length) {
            ExecutableStream stream;
            EXPECT_TRUE(readExecutable(Bytes(good.begin(), good.begin() + long(length)), stream))
                << length;
        }
    }
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(DumpTimeline, WaitsAdvanceTheTickOfThePairsAfterThem) {
    const std::vector<std::string> lines = linesOf(dumpText(sampleStream()));
    ASSERT_EQ(lines.size(), 5u + 69);
    EXPECT_EQ(lines[0], "length     584 bytes");
    EXPECT_EQ(lines[5], "       0    0.000    0x1B2  00 00  wait 1 tick");
    EXPECT_EQ(lines[6], "       1    0.018    0x1B4  0F 00  NE/NFRQ (noise)");
    EXPECT_EQ(lines[5 + 61 + 2], "     301    5.372    0x230  6A 20  TL ch2 op1");
    EXPECT_EQ(lines[5 + 61 + 4], "     301    5.372    0x234  00 FE  loop marker");
    EXPECT_EQ(lines.back(), "     306    5.461    0x23A  00 FF  end marker");
}

TEST(DumpTimeline, JsonLinesCarryTheSameFacts) {
    const std::vector<std::string> lines = linesOf(dumpJson(sampleStream()));
    ASSERT_EQ(lines.size(), 1u + 69);
    EXPECT_EQ(
        lines[0],
        R"({"type":"header","player":"classic","length":584,"textSize":508,"streamOffset":434,)"
        R"("pairs":69})");
    EXPECT_EQ(
        lines[1 + 61 + 2],
        R"({"type":"pair","offset":560,"tick":301,"seconds":5.371587,"register":106,)"
        R"("value":32,"group":"totalLevel","meaning":"TL ch2 op1","channel":2,"operator":1})");
    EXPECT_EQ(jsonField(lines[1 + 61 + 3], "ops"), "\"1111\"");
    EXPECT_EQ(jsonField(lines[1 + 61 + 1], "ticks"), "46");

    const std::string summary = summaryJson(sampleStream());
    EXPECT_EQ(jsonField(summary, "player"), "\"classic\"");
    EXPECT_EQ(jsonField(summary, "reservedOffset"), "");
    EXPECT_EQ(jsonField(summary, "ticks"), "306");
    EXPECT_EQ(jsonField(summary, "loopTick"), "301");
    EXPECT_EQ(jsonField(summary, "loopedTicks"), "5");
    EXPECT_EQ(jsonField(summary, "keyOn"), "[1,0,0,0,0,0,1,1]");
    EXPECT_EQ(jsonField(summary, "keyOff"), "[1,0,0,0,0,0,0,0]");
}

TEST(DumpTimeline, TextSummaryGivesDurationAndLoop) {
    const std::string text = summaryText(sampleStream());
    EXPECT_NE(text.find("duration   306 ticks (5.461 s)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("loop       at tick 301 (5.372 s); looped part 5 ticks (0.089 s)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  ch0        1 / 1\n"), std::string::npos) << text;
}

}  // namespace

std::uint32_t littleLongAt(const Bytes& b, std::size_t at) {
    return std::uint32_t(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24);
}

ExecutableStream streamOfPairs(const std::vector<std::array<std::uint8_t, 2>>& pairs,
                               PlayerKind player = PlayerKind::classic) {
    ExecutableStream stream;
    stream.player = player;
    for (const auto& [first, second] : pairs) stream.pairs.push_back({0, first, second});
    return stream;
}

TEST(DumpToVgm, WritesWhatThePlayerSendsAtItsSampleWithTheLoopInTheHeader) {
    // Timer and 0x1B pairs are skipped; 1 + 83 ticks merge into 66108 samples; loop; 5 ticks
    // and 2 ticks of 787 samples.
    Bytes vgm;
    ASSERT_FALSE(exportVgm(streamOfPairs({{0x20, 0xC7},
                                          {0x10, 0x00},
                                          {0x14, 0x15},
                                          {0x1B, 0x02},
                                          {0x00, 0x00},
                                          {0x00, 0x52},
                                          {0x00, 0xFE},
                                          {0x08, 0x78},
                                          {0x00, 0x04},
                                          {0x08, 0x00},
                                          {0x00, 0x01},
                                          {0x00, 0xFF}}),
                           vgm));
    const Bytes data = {0x54, 0x19, 0x00, 0x54, 0x19, 0x80, 0x54, 0x20, 0xC7, 0x61,
                        0xFF, 0xFF, 0x61, 0x3D, 0x02, 0x54, 0x08, 0x78, 0x61, 0x5F,
                        0x0F, 0x54, 0x08, 0x00, 0x61, 0x26, 0x06, 0x66};
    ASSERT_EQ(vgm.size(), 0x80 + data.size());
    EXPECT_EQ(Bytes(vgm.begin() + 0x80, vgm.end()), data);
    EXPECT_EQ(Bytes(vgm.begin(), vgm.begin() + 4), (Bytes{'V', 'g', 'm', ' '}));
    EXPECT_EQ(littleLongAt(vgm, 0x04), vgm.size() - 4);
    EXPECT_EQ(littleLongAt(vgm, 0x08), 0x151u);
    EXPECT_EQ(littleLongAt(vgm, 0x18), 91u * 787);
    EXPECT_EQ(littleLongAt(vgm, 0x1C) + 0x1C, 0x80u + 15);
    EXPECT_EQ(littleLongAt(vgm, 0x20), 7u * 787);
    EXPECT_EQ(littleLongAt(vgm, 0x30), 4000000u);
    EXPECT_EQ(littleLongAt(vgm, 0x34) + 0x34, 0x80u);

    // The full player passes 0x01 and 0x1B (bits 1-0; the system's bits 7-6 play no part in
    // the sound), waits up to 240 steps of 787/5 samples (37776 samples), and ends the song at a
    // reserved command: no loop.
    ASSERT_FALSE(exportVgm(streamOfPairs({{0x1B, 0xC2},
                                          {0x01, 0x02},
                                          {0x01, 0x00},
                                          {0x00, 0xEF},
                                          {0x00, 0xFE},
                                          {0x08, 0x78},
                                          {0x00, 0x00},
                                          {0x00, 0xF9},
                                          {0x08, 0x00},
                                          {0x00, 0x01},
                                          {0x00, 0xFF}},
                                         PlayerKind::full),
                           vgm));
    const Bytes fullData = {0x54, 0x19, 0x00, 0x54, 0x19, 0x80, 0x54, 0x1B, 0x02,
                            0x54, 0x01, 0x02, 0x54, 0x01, 0x00, 0x61, 0x90, 0x93,
                            0x54, 0x08, 0x78, 0x61, 0x9D, 0x00, 0x66};
    EXPECT_EQ(Bytes(vgm.begin() + 0x80, vgm.end()), fullData);
    EXPECT_EQ(littleLongAt(vgm, 0x18), 37776u + 157);
    EXPECT_EQ(littleLongAt(vgm, 0x1C), 0u);
    EXPECT_EQ(littleLongAt(vgm, 0x20), 0u);

    // Each pair at the sample nearest its step from the start: 1-step waits of 157 or 158
    // samples, five of them a tick, 787, with no drift; the loop from step 2 to step 7.
    std::vector<std::array<std::uint8_t, 2>> steps = {{0x00, 0x00}, {0x00, 0x00}, {0x00, 0xFE}};
    for (int i = 0; i < 5; ++i) steps.insert(steps.end(), {{0x28, std::uint8_t(i)}, {0x00, 0x00}});
    steps.push_back({0x00, 0xFF});
    ASSERT_FALSE(exportVgm(streamOfPairs(steps, PlayerKind::full), vgm));
    Bytes stepData = {0x54, 0x19, 0x00, 0x54, 0x19, 0x80, 0x61, 0x3B, 0x01};  // 315
    const std::uint8_t stepWaits[] = {157, 158, 157, 157, 158};  // steps 2 to 7: 315 to 1102
    for (int i = 0; i < 5; ++i)
        stepData.insert(stepData.end(), {0x54, 0x28, std::uint8_t(i), 0x61, stepWaits[i], 0x00});
    stepData.push_back(0x66);
    EXPECT_EQ(Bytes(vgm.begin() + 0x80, vgm.end()), stepData);
    EXPECT_EQ(littleLongAt(vgm, 0x18), 1102u);
    EXPECT_EQ(littleLongAt(vgm, 0x1C) + 0x1C, 0x80u + 9);
    EXPECT_EQ(littleLongAt(vgm, 0x20), 787u) << "five steps, one tick";

    // A loop without a wait would never advance a VGM player's time: no loop.
    ASSERT_FALSE(
        exportVgm(streamOfPairs({{0x00, 0x03}, {0x00, 0xFE}, {0x08, 0x00}, {0x00, 0xFF}}), vgm));
    EXPECT_EQ(littleLongAt(vgm, 0x18), 4u * 787);
    EXPECT_EQ(littleLongAt(vgm, 0x1C), 0u);
    EXPECT_EQ(littleLongAt(vgm, 0x20), 0u);

    // 21485 waits of 254 ticks fit into the header's 2^32 samples, 21487 do not.
    std::vector<std::array<std::uint8_t, 2>> waits(21487, {0x00, 0xFD});
    waits.push_back({0x00, 0xFF});
    ExecutableStream longStream = streamOfPairs(waits);
    EXPECT_FALSE(exportVgm(streamOfPairs({waits.end() - 21486, waits.end()}), vgm));
    EXPECT_TRUE(exportVgm(longStream, vgm));
}

// The display block's header, as opmcast-full writes it, back into a tag: "title - game",
// "system - author" when there is one, the length last; an album's track number dropped;
// Shift-JIS to the Japanese fields; a log's file name (no tag) gives none.
TEST(DumpVgmTag, RecoversTheTagFromTheDisplayHeader) {
    struct Case {
        const char* name;
        std::string header;
        std::optional<std::array<std::string, 8>> fields;  // the tag's first eight texts
    };
    const std::string sjisTitle = "\x82\xA0\x82\xA2";  // "あい" in Shift-JIS
    const std::vector<Case> cases = {
        {"all four",
         "Green Hill Zone - Sonic the Hedgehog\r\nSega Mega Drive - Masato Nakamura\r\n0:52, "
         "loops at 0:14\r\n",
         std::array<std::string, 8>{"Green Hill Zone", "", "Sonic the Hedgehog", "",
                                    "Sega Mega "
                                    "Drive",
                                    "", "Masato Nakamura", ""}},
        {"an album's track", "12/20  Title - Game\r\nSystem\r\n1:00\r\n",
         std::array<std::string, 8>{"Title", "", "Game", "", "System", "", "", ""}},
        {"a dash inside the game", "Title - Game - Act 2\r\n0:10\r\n",
         std::array<std::string, 8>{"Title", "", "Game - Act 2", "", "", "", "", ""}},
        {"Shift-JIS", sjisTitle + " - Game\r\n0:10\r\n",
         std::array<std::string, 8>{"", "\u3042\u3044", "", "Game", "", "", "", ""}},
        {"a log's file name", "3/4  song.VGZ\r\n0:10\r\n", std::nullopt},
        {"a log's file name and a system", "song.vgm\r\nSystem\r\n0:10\r\n",
         std::array<std::string, 8>{"", "", "", "", "System", "", "", ""}},
        {"only a length line", "0:10\r\n", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<Gd3Tag> tag = tagFromDisplay(c.header);
        ASSERT_EQ(tag.has_value(), c.fields.has_value()) << c.name;
        if (!tag) continue;
        const std::array<std::string, 8> got = {
            tag->titleEnglish,  tag->titleJapanese,  tag->gameEnglish,   tag->gameJapanese,
            tag->systemEnglish, tag->systemJapanese, tag->authorEnglish, tag->authorJapanese};
        EXPECT_EQ(got, *c.fields) << c.name;
    }

    // An album: what all its tracks share, and their titles in the notes.
    Gd3Tag first = *tagFromDisplay("1/3  A - Game\r\nSys - Me\r\n0:10\r\n");
    Gd3Tag second = *tagFromDisplay("2/3  B - Game\r\nSys - You\r\n0:10\r\n");
    const std::optional<Gd3Tag> album = albumTag({first, std::nullopt, second});
    ASSERT_TRUE(album);
    EXPECT_EQ(album->titleEnglish, "");
    EXPECT_EQ(album->gameEnglish, "") << "track 2 has no tag";
    EXPECT_EQ(albumTag({first, second})->gameEnglish, "Game");
    EXPECT_EQ(albumTag({first, second})->systemEnglish, "Sys");
    EXPECT_EQ(albumTag({first, second})->authorEnglish, "");
    EXPECT_EQ(album->notes, "1. A\n2. \n3. B");
    EXPECT_FALSE(albumTag({std::nullopt, std::nullopt}));

    // Written after the end command: the header's GD3 and end-of-file offsets, the texts in
    // UTF-16LE, and read back as they went in.
    Bytes vgm(0x80, 0);
    vgm.push_back(0x66);
    appendGd3(vgm, first);
    EXPECT_EQ(littleLongAt(vgm, 0x14) + 0x14, 0x81u);
    EXPECT_EQ(littleLongAt(vgm, 0x04) + 4, vgm.size());
    Gd3Tag back;
    ASSERT_TRUE(parseGd3Tag(std::span(vgm).subspan(0x81), back));
    EXPECT_EQ(back.titleEnglish, "A");
    EXPECT_EQ(back.gameEnglish, "Game");
    EXPECT_EQ(back.authorEnglish, "Me");
    Bytes japanese(0x80, 0);
    appendGd3(japanese, *tagFromDisplay(sjisTitle + "\r\n0:10\r\n"));
    ASSERT_TRUE(parseGd3Tag(std::span(japanese).subspan(0x80), back));
    EXPECT_EQ(back.titleJapanese, "\u3042\u3044");
}
