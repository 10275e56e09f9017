// opmdump's summary of VGM files, on hand-made files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dump/vgm/vgm_settle.hpp"
#include "dump/vgm/vgm_summary.hpp"
#include "tests/dump_support.hpp"

namespace {

// One of every command kind, and every YM2612 and SN76489 write the conversion drops, next
// to some it carries. The comments give the command's offset.
const Bytes EVERY_KIND = {
    0x52, 0x2A, 0x80,           // 40 DAC data
    0x52, 0x2B, 0x80,           // 43 DAC enable
    0x52, 0x90, 0x08,           // 46 SSG-EG on
    0x53, 0x94, 0x00,           // 49 SSG-EG off
    0x52, 0xA9, 0x12,           // 4C channel 3 special frequency
    0x52, 0x27, 0x40,           // 4F channel 3 special mode on
    0x52, 0x24, 0x00,           // 52 timer A
    0x53, 0x33, 0x00,           // 55 port 1, low bits 3: no such channel
    0x52, 0x43, 0x10,           // 58 port 0, low bits 3: carried as channel 3
    0x52, 0x28, 0xF7,           // 5B key on of no channel
    0x52, 0x28, 0xF3,           // 5E key on channel 3: carried
    0x52, 0x22, 0x0B,           // 61 LFO: carried
    0x50, 0xDF,                 // 64 tone 2 silent
    0x50, 0xC5,                 // 66 tone 2 period latch
    0x50, 0x3F,                 // 68 tone 2 period data
    0x50, 0xE3,                 // 6A noise control: periodic
    0x50, 0xF3,                 // 6C noise attenuation 3
    0x50, 0x90,                 // 6E tone 0 loud: carried
    0x4F, 0x00,                 // 70 Game Gear stereo
    0x54, 0x20, 0x00,           // 72 YM2151
    0xA0, 0x00, 0x00,           // 75 AY8910
    0x31, 0x00,                 // 78 AY8910 stereo mask
    0x61, 0x44, 0xAC,           // 7A 44100 samples
    0x62,                       // 7D 735: the loop point
    0x63,                       // 7E 882
    0x70, 0x7F,                 // 7F 1 + 16
    0x80, 0x8F,                 // 81 0 + 15, with DAC samples
    0xE0, 0,    0,    0,    0,  // 83 PCM seek
    0x67, 0x66, 0x00, 0x04, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xDD,     // 88 data block
    0x68, 0x66, 0,    0,    0,    0,    0,    0,    0,    0,    0,    0,  // 93 PCM RAM write
    0x90, 0x00, 0x02, 0x00, 0x2A,                                         // 9F DAC stream setup
    0x95, 0x00, 0x00, 0x00, 0x00,                                         // A4 DAC stream start
    0x2F, 0x96, 0x65,                                                     // A9 unknown
    0x66,                                                                 // AC end of data
    0x01, 0x02, 0x03,
};
constexpr std::uint32_t LOOP_AT_0X7D = 0x7D - 0x1C;

std::uint64_t kinds(const VgmSummary& s, VgmCommandKind kind) {
    std::uint64_t count = 0;
    for (int c = 0; c < 256; ++c)
        if (vgmCommandKind(std::uint8_t(c)) == kind) count += s.commands[std::size_t(c)];
    return count;
}

VgmSummary summaryOf(const Bytes& file) {
    VgmSummary s;
    const auto problem = summarizeVgm(file, s);
    EXPECT_FALSE(problem) << describeProblem(*problem);
    return s;
}

TEST(DumpVgm, CountsEveryCommandKindAndTheWaitedSamples) {
    const VgmSummary s = summaryOf(makeVgm(EVERY_KIND, LOOP_AT_0X7D));
    EXPECT_EQ(s.header.version, 0x150u);
    EXPECT_EQ(s.dataStart, 0x40u);
    EXPECT_EQ(s.endOfData, 0xACu);
    EXPECT_EQ(s.samples, 44100u + 735 + 882 + 1 + 16 + 15);
    EXPECT_EQ(s.loopPoint, 0x7Du);
    EXPECT_EQ(s.loopCommand, 0x7Du);
    EXPECT_EQ(s.samples - s.samplesBeforeLoop, 735u + 882 + 1 + 16 + 15);

    EXPECT_EQ(kinds(s, VgmCommandKind::ym2612Port0), 10u);
    EXPECT_EQ(kinds(s, VgmCommandKind::ym2612Port1), 2u);
    EXPECT_EQ(kinds(s, VgmCommandKind::psgWrite), 6u);
    EXPECT_EQ(kinds(s, VgmCommandKind::shortWait), 2u);
    EXPECT_EQ(kinds(s, VgmCommandKind::dacSampleWait), 2u);
    EXPECT_EQ(kinds(s, VgmCommandKind::pcmSeek), 1u);
    EXPECT_EQ(kinds(s, VgmCommandKind::dataBlock), 1u);
    EXPECT_EQ(kinds(s, VgmCommandKind::pcmRamWrite), 1u);
    EXPECT_EQ(kinds(s, VgmCommandKind::dacStream), 2u);
    EXPECT_EQ(kinds(s, VgmCommandKind::otherChip), 3u);
    EXPECT_EQ(kinds(s, VgmCommandKind::unknown), 3u);
    EXPECT_EQ(s.firstCommandAt[0x96], 0xAAu);
    EXPECT_EQ(kinds(s, VgmCommandKind::endOfData), 1u);
}

TEST(DumpVgm, CountsWhatTheConversionDrops) {
    const VgmDropped d = summaryOf(makeVgm(EVERY_KIND)).dropped;
    EXPECT_EQ(d.dacData, 1u);
    EXPECT_EQ(d.dacEnable, 1u);
    EXPECT_EQ(d.ssgEg, 2u);
    EXPECT_EQ(d.ssgEgOn, 1u);
    EXPECT_EQ(d.channel3Frequency, 1u);
    EXPECT_EQ(d.channel3ModeOn, 1u);
    EXPECT_EQ(d.otherYm2612, 4u);  // 0x27, 0x24, port 1 0x33, key on of channel 6
    EXPECT_EQ(d.dataBlockBytes, 4u);
    EXPECT_EQ(d.psgBytes, (std::array<std::uint64_t, 4>{1, 0, 3, 2}));
    EXPECT_EQ(d.psgAudible, (std::array<bool, 4>{true, false, false, true}));
    EXPECT_EQ(d.psgPeriodicNoise, 1u);
    EXPECT_EQ(d.lfoDepths, 0u);
    EXPECT_EQ(d.otherDataBlocks, 0u);

    // The LFO's depths (0xB4-0xB6, AMS bits 5-4, PMS bits 2-0; opmcast keeps only the pan),
    // white and periodic noise by latch and data byte, and a data block for another chip.
    const VgmDropped more = summaryOf(makeVgm({
                                          0x52, 0xB4, 0xC0,  // pan only
                                          0x52, 0xB5, 0xC1,  // PMS
                                          0x53, 0xB6, 0x30,  // AMS
                                          0x52, 0xB7, 0x37,  // no such register
                                          0x50, 0xE4,        // white
                                          0x50, 0x03,        // data byte: periodic
                                          0x50, 0xF0,        // noise attenuation
                                          0x67, 0x66, 0x07, 2, 0, 0, 0, 1, 2,  // type 07
                                          0x67, 0x66, 0x00, 1, 0, 0, 0, 3,     // YM2612
                                          0x66,
                                      }))
                                .dropped;
    EXPECT_EQ(more.lfoDepths, 2u);
    EXPECT_EQ(more.psgPeriodicNoise, 1u);
    EXPECT_EQ(more.otherDataBlocks, 1u);
    EXPECT_EQ(more.otherDataBlockBytes, 2u);
    EXPECT_EQ(more.dataBlockBytes, 3u);

    // What each converter drops, under its own heading, and the other chips by name.
    const std::string text = vgmSummaryText(summaryOf(makeVgm(EVERY_KIND)));
    const auto played = text.find("dropped by opmcast, played by opmcast-full\n");
    const auto both = text.find("dropped by both\n");
    ASSERT_NE(played, std::string::npos) << text;
    ASSERT_NE(both, std::string::npos) << text;
    for (const char* line : {"  YM2612 DAC data (2A)                   1\n",
                             "  DAC stream control (90-95)             2\n",
                             "  YM2612 data blocks (67, type 00)       1, 4 bytes\n",
                             "  SN76489 noise bytes                    2 (made audible), 1 "
                             "selecting periodic noise (the mode it starts in)\n"}) {
        EXPECT_LT(text.find(line, played), both) << line << text;
    }
    for (const char* line :
         {"  YM2612 SSG-EG (90-9F)                  2, 1 enabling it\n",
          "  YM2612 channel 3 frequencies (A8-AF)   1, 1 mode writes (27) turning it on\n",
          "  other data blocks (67)                 0, 0 bytes\n",
          "  other chips                            AY8910 stereo mask (0x31): 1, YM2151 (0x54): "
          "1, "
          "AY8910 (0xA0): 1\n",
          "  unknown command bytes                  0x2F: 1 (first at 0xA9), 0x65: 1 (first at "
          "0xAB), 0x96: 1 (first at 0xAA)\n"}) {
        EXPECT_NE(text.find(line, both), std::string::npos) << line << text;
    }
    EXPECT_EQ(text.find("dropped by the conversion"), std::string::npos);
}

void putLong(Bytes& vgm, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) vgm[at + i] = std::uint8_t(value >> (8 * i));
}

// A GD3 block of the texts, each as UTF-16LE with its zero unit.
Bytes gd3Block(const std::vector<std::u16string>& texts) {
    Bytes units;
    for (const std::u16string& text : texts)
        for (const char16_t u : text + u'\0') {
            units.push_back(std::uint8_t(u));
            units.push_back(std::uint8_t(u >> 8));
        }
    Bytes block = {'G', 'd', '3', ' ', 0, 1, 0, 0, 0, 0, 0, 0};
    putLong(block, 8, std::uint32_t(units.size()));
    return concat({block, units});
}

TEST(DumpVgm, ReportsTheTagAndTheClocks) {
    const Bytes tag = gd3Block({u"Title", u"タイトル", u"Game", u"Game", u"", u"メガドライブ",
                                u"Author", u"", u"1991", u"", u"notes"});
    const Bytes quoted =
        gd3Block({u"say \"hi\" \\", u"", u"", u"", u"", u"", u"", u"", u"", u"line\r\nbreak"});
    Bytes badMarker = tag;
    badMarker[0] = 'g';
    struct Case {
        const char* name;
        Bytes tail;               // after the commands at 0x40-0x41
        std::uint32_t gd3Offset;  // relative to 0x14
        std::string lines;        // what comes before "version"
        std::string json;         // part of the JSON line
    };
    const Case cases[] = {
        {"tag", tag, 0x42 - 0x14,
         "title          Title (タイトル)\ngame           Game\nsystem         メガドライブ\n"
         "author         Author\ndate           1991\n",
         "\"gd3Offset\":46,\"tag\":{\"titleEnglish\":\"Title\",\"titleJapanese\":\"タイトル\","},
        {"texts needing escapes in JSON", quoted, 0x42 - 0x14,
         "title          say \"hi\" \\\nlogged by      line break\n",
         "\"titleEnglish\":\"say \\\"hi\\\" \\\\\","},
        {"no tag", tag, 0, "", "\"gd3Offset\":0,\"tag\":null"},
        {"offset beyond the end", tag, 0x1000,
         "GD3 tag        none: the GD3 offset field points to 0x1014, beyond the end of the "
         "file\n",
         "\"tag\":null"},
        {"no marker", badMarker, 0x42 - 0x14,
         "GD3 tag        none: the GD3 offset field points to 0x42, where no \"Gd3 \" block "
         "starts\n",
         "\"tag\":null"},
    };
    for (const Case& c : cases) {
        Bytes vgm = concat({makeVgm({0x62, 0x66}), c.tail});
        putLong(vgm, 0x14, c.gd3Offset);
        const VgmSummary s = summaryOf(vgm);
        const std::string text = vgmSummaryText(s);
        EXPECT_EQ(text.substr(0, text.find("version        ")), c.lines) << c.name;
        EXPECT_NE(vgmSummaryJson(s).find(c.json), std::string::npos) << c.name << vgmSummaryJson(s);
    }

    // Clocks as the header gives them: the Mega Drive's, others, none, a pair of chips.
    const std::pair<std::array<std::uint32_t, 3>, std::string> clocks[] = {
        {{3579545, 7670453, 0},
         "clocks         SN76489 3579545 Hz, YM2612 7670453 Hz (the Mega Drive's, from which "
         "both conversions work out pitch)\n"},
        {{0, 8000000, 0x80000000 | 3579545},
         "clocks         SN76489 none, YM2612 8000000 Hz, YM2151 3579545 Hz (two chips); both "
         "conversions work out pitch from the Mega Drive's, 3579545 and 7670453 Hz\n"},
    };
    for (const auto& [hz, line] : clocks) {
        Bytes vgm = makeVgm({0x66});
        putLong(vgm, 0x0C, hz[0]);
        putLong(vgm, 0x2C, hz[1]);
        putLong(vgm, 0x30, hz[2]);
        const std::string text = vgmSummaryText(summaryOf(vgm));
        EXPECT_NE(text.find(line), std::string::npos) << text;
    }
}

TEST(DumpVgm, FindsTheDataStartAsTheConverterDoes) {
    const Bytes padded = concat({Bytes(0x80, 0x00), {0x62, 0x66}});
    EXPECT_EQ(summaryOf(makeVgm(padded, 0, 0x8C)).dataStart, 0xC0u);
    EXPECT_EQ(summaryOf(makeVgm(padded, 0, 0x8C)).commands[0x00], 0u);
    EXPECT_EQ(summaryOf(makeVgm(padded, 0, 0)).dataStart, 0x40u);  // before version 1.50
    EXPECT_EQ(summaryOf(makeVgm(padded, 0, 0)).commands[0x00], 0x80u);
    EXPECT_EQ(summaryOf(makeVgm(padded, 0, 0xFFFFFFF0)).dataStart, 0x38u);  // negative
}

TEST(DumpVgm, PlacesTheLoopBeforeTheFirstCommandAtOrAfterTheLoopPoint) {
    const Bytes commands = {0x61, 0x44, 0xAC, 0x62, 0x66};
    const VgmSummary inside = summaryOf(makeVgm(commands, 0x41 - 0x1C));
    EXPECT_EQ(inside.loopPoint, 0x41u);
    EXPECT_EQ(inside.loopCommand, 0x43u);
    EXPECT_EQ(inside.samplesBeforeLoop, 44100u);

    const VgmSummary atEnd = summaryOf(makeVgm(commands, 0x44 - 0x1C));
    EXPECT_EQ(atEnd.loopCommand, 0x44u);  // the marker still precedes the 0x66
    const VgmSummary beyond = summaryOf(makeVgm(commands, 0x45 - 0x1C));
    EXPECT_EQ(beyond.loopPoint, 0x45u);
    EXPECT_FALSE(beyond.loopCommand);
    EXPECT_EQ(summaryOf(makeVgm(commands, 0xFFFFFF00)).loopPoint, 0u);  // negative: no loop
}

TEST(DumpVgm, DataWithoutEndCommandIsAcceptedToTheEndOfTheFile) {
    const VgmSummary s = summaryOf(makeVgm({0x62, 0x62}));
    EXPECT_FALSE(s.endOfData);
    EXPECT_EQ(s.samples, 1470u);
}

TEST(DumpVgm, ReportsMalformedFilesAtTheirOffset) {
    const Bytes vgm = makeVgm({0x66});
    Bytes notVgm = vgm;
    notVgm[2] = 'n';
    const std::pair<Bytes, std::uint64_t> cases[] = {
        {notVgm, 0},
        {Bytes(vgm.begin(), vgm.begin() + 0x30), 0x30},
        {makeVgm({0x66}, 0, 0x1000), 0x34},
        {makeVgm({0x62, 0x61, 0x44}), 0x41},
        {makeVgm({0x62, 0x52}), 0x41},
        {makeVgm({0x67, 0x66, 0x00, 0x10, 0x00, 0x00, 0x00, 1, 2, 3, 4}), 0x40},
    };
    for (const auto& [file, offset] : cases) {
        VgmSummary s;
        const auto problem = summarizeVgm(file, s);
        ASSERT_TRUE(problem) << offset;
        EXPECT_EQ(problem->offset, offset) << problem->text;
    }
}

TEST(DumpVgm, EveryTruncationIsReadWithinTheFile) {
    const Bytes full = makeVgm(EVERY_KIND, LOOP_AT_0X7D);
    for (std::size_t length = 0; length < full.size(); ++length) {
        VgmSummary s;
        const auto problem = summarizeVgm(Bytes(full.begin(), full.begin() + long(length)), s);
        if (!problem) {
            EXPECT_LE(s.samples, 45749u) << length;
        }
        if (length < 0x38) {
            EXPECT_TRUE(problem) << length;
        }
    }
}

TEST(DumpVgm, SettlesEachRunOfDacWritesWithinASampleToItsLast) {
    const Bytes gd3 = {'G', 'd', '3', ' ', 0, 1, 0, 0, 0, 0, 0, 0};
    const Bytes block = {0x67, 0x66, 0x00, 0x08, 0, 0, 0, 10, 11, 12, 13, 14, 15, 16, 17};
    const Bytes eight = Bytes(8, 0x80);
    Bytes log =
        makeVgm(concat({
                    block,                                       // 40
                    {0x52, 0x2B, 0x80},                          // 4F DAC on
                    {0xE0, 1, 0, 0, 0, 0x80, 0x80, 0x80, 0x83},  // 52 bytes 1-3, then 4 and a wait
                    {0x52, 0x2A, 0x10, 0x52, 0x2A, 0x20},        // 5B two writes
                    {0x61, 0x10, 0x00},                          // 61
                    {0x80, 0x52, 0x22, 0x00, 0x80, 0x70},        // 64 broken by an FM write: kept
                    eight,                                       // 6A bytes 7-14, up to the loop
                    eight,
                    {0x81},  // 72 the loop: bytes 15-23
                    {0x66},  // 7B
                    gd3,     // 7C
                }),
                0x72 - 0x1C);
    // The end-of-file and GD3 offsets, each relative to its field.
    auto setOffsets = [](Bytes& vgm, std::uint32_t gd3At) {
        for (const auto& [field, value] :
             {std::pair<std::uint32_t, std::size_t>{0x04, vgm.size()}, {0x14, gd3At}})
            for (std::uint32_t i = 0; i < 4; ++i)
                vgm[field + i] = std::uint8_t((value - field) >> (8 * i));
    };
    setOffsets(log, 0x7C);

    Bytes settled;
    const DacSettling settling = settleDacWrites(log, settled);
    EXPECT_EQ(settling.runs, 4u);
    EXPECT_EQ(settling.droppedWrites, 3u + 1 + 7 + 8);
    Bytes expected = makeVgm(concat({
                                 block,
                                 {0x52, 0x2B, 0x80},
                                 {0xE0, 4, 0, 0, 0, 0x83},
                                 {0x52, 0x2A, 0x20},
                                 {0x61, 0x10, 0x00},
                                 {0x80, 0x52, 0x22, 0x00, 0x80, 0x70},
                                 {0xE0, 14, 0, 0, 0, 0x80},
                                 {0xE0, 23, 0, 0, 0, 0x81},  // 6A: the loop
                                 {0x66},
                                 gd3,  // 71
                             }),
                             0x6A - 0x1C);
    setOffsets(expected, 0x71);
    EXPECT_EQ(settled, expected);
    const VgmSummary before = summaryOf(log), after = summaryOf(settled);
    EXPECT_EQ(after.samples, before.samples);
    EXPECT_EQ(after.samplesBeforeLoop, before.samplesBeforeLoop);

    // Runs that would not come out shorter, and logs without runs, stay as they are.
    for (const Bytes& unchanged :
         {makeVgm(EVERY_KIND, LOOP_AT_0X7D), makeVgm({0x80, 0x80, 0x66}),
          makeVgm({0x52, 0x2A, 0x01, 0x52}), makeVgm(concat({eight}), 0, 0xFFFFFFF0)}) {
        EXPECT_EQ(settleDacWrites(unchanged, settled).runs, 0u);
        EXPECT_EQ(settled, unchanged);
    }
}

}  // namespace
