// The opmdump program on conversions made by opmcast, on broken files and on the corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <span>
#include <sstream>

#include "driver/gd3_tag.hpp"
#include "dump/problem.hpp"
#include "dump/text_format.hpp"
#include "full/player/full_player.hpp"
#include "tests/dump_support.hpp"
#include "tests/gzip_support.hpp"
#include "tests/stream_reader.hpp"
#include "tests/vgm_scan.hpp"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::uint64_t number(const std::string& line, const std::string& key) {
    return std::stoull(jsonField(line, key));
}

std::uint32_t littleLong(const Bytes& b, std::size_t at) {
    return std::uint32_t(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24);
}

// The file offset `after` bytes past the full player's head, as opmdump prints it, alone and
// as the timeline's 8-wide column after its space.
std::string fullAt(std::uint64_t after) {
    return hexOffset(FULL_PLAYER_HEAD_SIZE + after);
}

std::string offsetColumn(std::uint64_t after) {
    const std::string at = fullAt(after);
    return std::string(9 - at.size(), ' ') + at;
}

// The header's text size line of a full program with `after` bytes past the head.
std::string textSizeLine(std::uint64_t after) {
    const std::uint64_t size = FULL_PLAYER_HEAD_SIZE - 64 + after;
    char line[96];
    std::snprintf(line, sizeof line, "text size  %llu (0x%08llX) at offset 12, the length less 76",
                  static_cast<unsigned long long>(size), static_cast<unsigned long long>(size));
    return line;
}

// An album of three tracks: the first and second start the one drum sample of the shared
// bank; the first has a display block; the second loops, plays one pass, then a fade.
struct TestAlbum {
    std::vector<FullAlbumTrack> tracks;
    Bytes bank;
    Bytes program;
    std::uint64_t tableAt;  // file offset of the table
};

TestAlbum testAlbum() {
    TestAlbum album;
    album.tracks.resize(3);
    album.tracks[0].stream = {0x08, 0x00, 0x00, 0x03, 0x00, 0xF3,
                              0x00, 0x00, 0x00, 0x01, 0x00, 0xFF};
    album.tracks[0].display = {'O', 'n', 'e', '\r', '\n', 0, 0x01, 0};
    album.tracks[1].stream = {0x00, 0xF3, 0x00, 0x00, 0x00, 0x02, 0x00, 0xFE, 0x08,
                              0x78, 0x00, 0x04, 0x00, 0xFF, 0x60, 0x7F, 0x00, 0xF8};
    album.tracks[1].loops = 1;
    album.tracks[2].stream = {0x00, 0x00, 0x00, 0xFF};
    std::vector<FullBankSample> samples(1);
    samples[0].bytes = {0x12, 0x34, 0x56, 0x78};
    album.bank = fullBankBytes(samples);
    album.program =
        buildFullAlbum(album.tracks, album.bank, Bytes{'A', '\r', '\n', 0, 0, 0}, false);
    album.tableAt = album.program.size() - FULL_PLAYER_TAIL_SIZE - 4 - 3 * FULL_ALBUM_ENTRY_SIZE;
    return album;
}

// Converts the VGM data in a scratch directory; the output is dir/song.x.
void convert(const ScratchDir& dir, const Bytes& vgm) {
    writeFile(dir.file("vgmstub.bin"), makeDumpStub());
    writeFile(dir.file("song.vgm"), vgm);
    ASSERT_EQ(runConverter(dir.path.string(), {"song"}).exitStatus, 0);
}

TEST(OpmdumpProgram, ShowsTheTimelineAndSummaryOfAConversion) {
    // YM2612 channel 0: algorithm 7, F-number 0x269 block 4, key on, one second, key off.
    ScratchDir dir;
    convert(dir, makeVgm({0x52, 0xB0, 0x07, 0x52, 0xA4, 0x22, 0x52, 0xA0, 0x69, 0x52, 0x28, 0xF0,
                          0x61, 0x44, 0xAC, 0x52, 0x28, 0x00, 0x66}));
    const DumpResult dump = runDump({dir.file("song.x")});
    EXPECT_EQ(dump.exitStatus, 0);
    EXPECT_EQ(dump.err, "");
    const std::vector<std::string> lines = linesOf(dump.out);
    ASSERT_EQ(lines.size(), 5u + 171);
    EXPECT_EQ(lines[0], "length     788 bytes");
    EXPECT_EQ(lines[1], "text size  712 (0x000002C8) at offset 12, the length less 76");
    EXPECT_EQ(lines[lines.size() - 4], "       1    0.018    0x300  08 78  key on ch0 ops 1111");
    EXPECT_EQ(lines[lines.size() - 3], "       1    0.018    0x302  00 37  wait 56 ticks");
    EXPECT_EQ(lines[lines.size() - 2], "      57    1.017    0x304  08 00  key off ch0");
    EXPECT_EQ(lines[lines.size() - 1], "      57    1.017    0x306  00 FF  end marker");

    const DumpResult summary = runDump({"--summary", dir.file("song.x")});
    EXPECT_EQ(summary.exitStatus, 0);
    EXPECT_NE(summary.out.find("pairs      171\n"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("duration   57 ticks (1.017 s)\nloop       none\n"),
              std::string::npos)
        << summary.out;
    EXPECT_NE(summary.out.find("  ch0        1 / 1\n"), std::string::npos) << summary.out;
    EXPECT_EQ(
        runDump({"--levels", dir.file("song.x")}).err,
        "opmdump: " + dir.file("song.x") + ": --levels reads programs of opmcast-full only\n");
}

// A program of opmcast-full: told apart by its player, its waits counted in steps (a fifth of
// a tick), its chip-wide registers named with their values, its summary, and its export as a
// YM2151 VGM that opmdump --vgm reads back as the stream's own time, loop and writes.
TEST(OpmdumpProgram, ReadsAFullProgramAndExportsWhatItsPlayerPlays) {
    const Bytes stream = {
        0x0F, 0x8E,  // noise on, NFRQ 14
        0x18, 0xC8,  // LFRQ 200
        0x19, 0x20,  // AMD 32
        0x19, 0xE6,  // PMD 102
        0x1B, 0xC2,  // triangle; the player takes bits 7-6 from the system
        0x01, 0x02,  // LFO reset
        0x01, 0x00,  //
        0x20, 0xC7,  //
        0x08, 0x78,  // key on ch0
        0x00, 0xEF,  // 240 steps, 48 ticks
        0x00, 0xFE,  // loop
        0x08, 0x00,  // key off ch0
        0x00, 0x05,  // 6 steps
        0x00, 0xFF,
    };
    // 787/5 VGM samples a step: the loop at sample 37776, the end at 38720.4, rounded.
    constexpr std::uint64_t registerPairs = 10, steps = 246, loopStep = 240;
    constexpr std::uint64_t samples = 38720, loopSample = 37776;
    ScratchDir dir;
    writeFile(dir.file("full.x"), buildFullProgram(stream));

    const DumpResult dump = runDump({dir.file("full.x")});
    ASSERT_EQ(dump.exitStatus, 0) << dump.err;
    const std::vector<std::string> lines = linesOf(dump.out);
    ASSERT_EQ(lines.size(), 6u + stream.size() / 2);
    EXPECT_EQ(lines[0], "player     full (opmcast-full)");
    EXPECT_EQ(lines[2], textSizeLine(28));
    EXPECT_EQ(lines[5], "    step  seconds   offset  pair   meaning");
    const char* const meanings[] = {"NE/NFRQ noise on, NFRQ 14",
                                    "LFRQ 200",
                                    "AMD 32",
                                    "PMD 102",
                                    "W triangle, bits 7-2 ignored",
                                    "LFO reset",
                                    "LFO reset released",
                                    "RL/FB/CON ch0",
                                    "key on ch0 ops 1111",
                                    "wait 240 steps",
                                    "loop marker",
                                    "key off ch0"};
    for (std::size_t i = 0; i < std::size(meanings); ++i)
        EXPECT_TRUE(lines[6 + i].ends_with(std::string("  ") + meanings[i])) << lines[6 + i];
    EXPECT_EQ(lines[6 + 12], "     240    0.857" + offsetColumn(0x18) + "  00 05  wait 6 steps");
    EXPECT_EQ(lines.back(), "     246    0.878" + offsetColumn(0x1A) + "  00 FF  end marker");

    const DumpResult summary = runDump({"--summary", dir.file("full.x")});
    EXPECT_EQ(summary.exitStatus, 0);
    EXPECT_TRUE(summary.out.starts_with("player     full (opmcast-full)\npairs      14\n"))
        << summary.out;
    EXPECT_NE(summary.out.find("  PMD/AMD (19)                  2\n"), std::string::npos)
        << summary.out;
    EXPECT_NE(summary.out.find("duration   246 steps (0.878 s)\nloop       at step 240 (0.857 s); "
                               "looped part 6 steps (0.021 s)\n"),
              std::string::npos)
        << summary.out;
    // --levels: channel 0's C2 keyed at full level (AR 31), released after 240 steps at RR 8,
    // below -48 dB a quarter of a second later; the loop played once more.
    writeFile(dir.file("levels.x"),
              buildFullProgram(Bytes{0x20, 0xC7, 0x98, 0x1F, 0xF8, 0x08, 0x08, 0x40, 0x00, 0xEF,
                                     0x00, 0xFE, 0x08, 0x00, 0x00, 0xEF, 0x00, 0xFF}));
    EXPECT_EQ(runDump({"--levels", dir.file("levels.x")}).out,
              "channel   from (s)     to (s)  loudest (dB)\n"
              "ch0          0.000      1.121           0.0\n"
              "the loop from 0.857 s is played once more from 1.713 s\n");
    const DumpResult json = runDump({"--summary", "--json", dir.file("full.x")});
    EXPECT_EQ(jsonField(json.out, "player"), "\"full\"");
    EXPECT_EQ(number(json.out, "steps"), steps);
    EXPECT_EQ(number(json.out, "loopStep"), loopStep);
    EXPECT_EQ(number(json.out, "loopedSteps"), steps - loopStep);
    EXPECT_EQ(jsonField(json.out, "ticks"), "");
    EXPECT_EQ(jsonField(json.out, "seconds"), "0.878014");
    EXPECT_EQ(jsonField(json.out, "reservedOffset"), "null");
    const std::vector<std::string> pairLines = linesOf(runDump({"--json", dir.file("full.x")}).out);
    ASSERT_EQ(pairLines.size(), 1 + stream.size() / 2);
    EXPECT_EQ(jsonField(pairLines[0], "player"), "\"full\"");
    EXPECT_EQ(number(pairLines[1 + 12], "steps"), 6u);
    EXPECT_EQ(jsonField(pairLines[1 + 12], "ticks"), "");
    EXPECT_EQ(number(pairLines.back(), "step"), steps);
    EXPECT_EQ(jsonField(pairLines.back(), "tick"), "");

    // The export: the player's start-up writes, every register pair at its step with 0x1B's
    // bits 7-6 clear, the loop as the VGM loop; read back, the same time, loop and writes.
    ASSERT_EQ(runDump({"--to-vgm", dir.file("full.x"), dir.file("full.vgm")}).exitStatus, 0);
    const Bytes vgm = readFile(dir.file("full.vgm"));
    ASSERT_GE(vgm.size(), 0x80u + 6 * 3);
    EXPECT_EQ(Bytes(vgm.begin() + 0x80, vgm.begin() + 0x80 + 18),
              (Bytes{0x54, 0x19, 0x00, 0x54, 0x19, 0x80, 0x54, 0x0F, 0x8E, 0x54, 0x18, 0xC8, 0x54,
                     0x19, 0x20, 0x54, 0x19, 0xE6}));
    EXPECT_EQ(Bytes(vgm.begin() + 0x80 + 18, vgm.begin() + 0x80 + 24),
              (Bytes{0x54, 0x1B, 0x02, 0x54, 0x01, 0x02}));
    const DumpResult exported = runDump({"--vgm", "--json", dir.file("full.vgm")});
    ASSERT_EQ(exported.exitStatus, 0) << exported.err;
    const std::string& e = exported.out;
    EXPECT_EQ(number(e, "headerSamples"), samples);
    EXPECT_EQ(number(e, "samples"), samples);
    EXPECT_EQ(number(e, "loopSamples"), samples - loopSample);
    EXPECT_EQ(jsonField(jsonField(e, "commands"), "0x54"), std::to_string(registerPairs + 2));

    // 00 F8 (the end of the fade) and a reserved command end the song where they stand, loop
    // or not.
    for (const auto& [command, name] : {std::pair<std::uint8_t, std::string>{0xF8,
                                                                             "end of the "
                                                                             "fade (00 F8)"},
                                        {0xF9, "reserved command"}}) {
        Bytes reserved = stream;
        reserved[2 * 11] = 0x00;  // in place of the key off
        reserved[2 * 11 + 1] = command;
        writeFile(dir.file("reserved.x"), buildFullProgram(reserved));
        const DumpResult stops = runDump({"--summary", dir.file("reserved.x")});
        EXPECT_NE(stops.out.find("duration   240 steps (0.857 s)\nloop       none: the player "
                                 "ends the song at the " +
                                 name + " at offset " + fullAt(0x16) +
                                 "\npasses     once: the song does not "
                                 "loop\n"),
                  std::string::npos)
            << stops.out;
        ASSERT_EQ(
            runDump({"--to-vgm", dir.file("reserved.x"), dir.file("reserved.vgm")}).exitStatus, 0);
        const DumpResult cut = runDump({"--vgm", "--json", dir.file("reserved.vgm")});
        EXPECT_EQ(number(cut.out, "samples"), loopSample);
        EXPECT_EQ(jsonField(cut.out, "loopOffset"), "0");
    }

    // Three passes, then the fade after the end marker, through its 00 F8, and a display block
    // whose header holds Shift-JIS: the fade in the timeline, counted on from the end marker,
    // and in the summaries; the display's text as UTF-8 with the time line's places named;
    // the export as without them, once through with the loop.
    const Bytes fade = {0x60, 0x7F, 0x00, 0x09, 0x00, 0xF8};
    const Bytes display = {'S', 'o', 'n', 'g', 0x82, 0xA0, '\r', '\n', 0, 0x01, ' ', 0x02, 0x07, 0};
    writeFile(dir.file("fade.x"), buildFullProgram(concat({stream, fade}), {}, display, 3));
    const std::vector<std::string> fadeLines = linesOf(runDump({dir.file("fade.x")}).out);
    ASSERT_EQ(fadeLines.size(), lines.size() + 4);
    EXPECT_EQ(fadeLines[2], textSizeLine(48));
    EXPECT_EQ(fadeLines[3], "stream     34 bytes (17 pairs) at offset " + fullAt(0) +
                                ", then its fade, the "
                                "display block, the 12-byte player tail");
    EXPECT_EQ(fadeLines[lines.size()], "fade after pass 3 (of 3), played once to its end");
    EXPECT_EQ(fadeLines[lines.size() + 1],
              "     246    0.878" + offsetColumn(0x1C) + "  60 7F  TL ch0 op0");
    EXPECT_EQ(fadeLines.back(), "     256    0.914" + offsetColumn(0x20) +
                                    "  00 F8  end of the fade: the player ends the song here");
    const DumpResult fadeSummary = runDump({"--summary", dir.file("fade.x")});
    EXPECT_TRUE(fadeSummary.out.ends_with(
        "duration   246 steps (0.878 s)\n"
        "loop       at step 240 (0.857 s); looped part 6 steps (0.021 s)\n"
        "passes     3, then a fade of 10 steps (0.036 s), 6 bytes; 0.957 s in all\n"
        "drums      none\n"
        "display    14 bytes at offset " +
        fullAt(0x22) +
        "; header:\n"
        "  Song\u3042\n"
        "  time line: {time} {pass}{0x07}\n"))
        << fadeSummary.out;
    const std::string fadeJson = runDump({"--summary", "--json", dir.file("fade.x")}).out;
    EXPECT_EQ(number(fadeJson, "steps"), steps);
    EXPECT_EQ(number(fadeJson, "loops"), 3u);
    EXPECT_EQ(number(fadeJson, "fadeSteps"), 10u);
    EXPECT_EQ(number(fadeJson, "fadeBytes"), 6u);
    EXPECT_EQ(jsonField(jsonField(fadeJson, "groups"), "fadeEnd"), "1");
    EXPECT_EQ(jsonField(jsonField(fadeJson, "display"), "header"), "\"Song\u3042\\u000A\"");
    EXPECT_NE(fadeJson.find(R"("timeLine":"{time} {pass}{0x07}"})"), std::string::npos) << fadeJson;
    const std::vector<std::string> fadePairs = linesOf(runDump({"--json", dir.file("fade.x")}).out);
    ASSERT_EQ(fadePairs.size(), 1 + 17u);
    EXPECT_EQ(number(fadePairs[0], "fadePairs"), 3u);
    EXPECT_EQ(jsonField(fadePairs[14], "fade"), "");
    EXPECT_EQ(jsonField(fadePairs[15], "fade"), "true");
    ASSERT_EQ(runDump({"--to-vgm", dir.file("fade.x"), dir.file("fade.vgm")}).exitStatus, 0);
    EXPECT_EQ(readFile(dir.file("fade.vgm")), vgm);
    // A display block of a tagged log: its texts come back as the export's GD3 tag, after
    // the same song.
    const std::string header = "Title - Game\r\nSystem - Author\r\n0:01\r\n";
    Bytes shown = concat({Bytes(header.begin(), header.end()), {0, 0x01, 0}});
    if (shown.size() % 2 != 0) shown.push_back(0);
    writeFile(dir.file("tagged.x"), buildFullProgram(stream, {}, shown, 0));
    ASSERT_EQ(runDump({"--to-vgm", dir.file("tagged.x"), dir.file("tagged.vgm")}).exitStatus, 0);
    const Bytes tagged = readFile(dir.file("tagged.vgm"));
    const std::size_t tagAt = 0x14 + littleLong(tagged, 0x14);
    ASSERT_EQ(tagAt, vgm.size());
    EXPECT_EQ(Bytes(tagged.begin() + 0x18, tagged.begin() + long(tagAt)),
              Bytes(vgm.begin() + 0x18, vgm.end()));
    Gd3Tag tag;
    ASSERT_TRUE(parseGd3Tag(std::span(tagged).subspan(tagAt), tag));
    EXPECT_EQ(std::vector<std::string>(
                  {tag.titleEnglish, tag.gameEnglish, tag.systemEnglish, tag.authorEnglish}),
              std::vector<std::string>({"Title", "Game", "System", "Author"}));

    // One byte of the player changed: not the full player, read by the classic rules, which
    // look for the stream where the full player's code lies.
    Bytes other = buildFullProgram(stream);
    other[100] ^= 0x01;
    writeFile(dir.file("other.x"), other);
    const DumpResult classic = runDump({dir.file("other.x")});
    EXPECT_EQ(classic.exitStatus, 1);
    EXPECT_EQ(classic.out, "");
}

// The OKIM6258 commands of an exported VGM after its data block, each with its sample: every
// command but the YM2151's writes, the waits and the end.
std::vector<std::pair<std::uint64_t, Bytes>> okiCommands(const Bytes& vgm, std::size_t at) {
    const std::map<std::uint8_t, std::size_t> lengths = {
        {0x54, 3}, {0x61, 3}, {0x90, 5}, {0x91, 5}, {0x92, 6}, {0x93, 11}, {0x94, 2}, {0xB7, 3}};
    std::vector<std::pair<std::uint64_t, Bytes>> commands;
    std::uint64_t sample = 0;
    while (at < vgm.size() && vgm[at] != 0x66) {
        const auto length = lengths.find(vgm[at]);
        if (length == lengths.end()) {
            ADD_FAILURE() << "command " << int(vgm[at]) << " at " << at;
            break;
        }
        const Bytes command(vgm.begin() + long(at), vgm.begin() + long(at + length->second));
        if (command[0] == 0x61) sample += command[1] | command[2] << 8;
        if (command[0] != 0x61 && command[0] != 0x54) commands.push_back({sample, command});
        at += length->second;
    }
    return commands;
}

// A full program's drums: the timeline names each ADPCM command with the sample it plays (or
// why it plays nothing) and never reads a sample number as a command; the summary gives the
// bank; the export adds the OKIM6258 at 8 MHz with 12-bit output, the bank as a data block,
// one DAC stream a rate, each start and stop at its sample, each side change while a sample
// plays as the chip's pan, and the divider of a start at another rate written while the chip
// is idle.
TEST(OpmdumpProgram, ShowsAndExportsAFullProgramsDrums) {
    const DrumProgram drums = drumProgram();
    ScratchDir dir;
    writeFile(dir.file("drums.x"), drums.program);
    const DumpResult dump = runDump({dir.file("drums.x")});
    ASSERT_EQ(dump.exitStatus, 0) << dump.err;
    const std::vector<std::string> lines = linesOf(dump.out);
    ASSERT_EQ(lines.size(), 7u + drums.stream.size() / 2);
    EXPECT_EQ(lines[4], "drums      bank of 3 samples, 132 bytes at offset " + fullAt(0x36) +
                            " (text offset " + hexOffset(FULL_PLAYER_HEAD_SIZE + 0x36 - 64) + ")");
    const char* const meanings[] = {
        "ADPCM sample 0, both sides: 15625 Hz, 101 bytes, 0.013 s",
        "sample number 0",
        "wait 1 step",
        "ADPCM sample 0, right only: 15625 Hz, 101 bytes, 0.013 s",
        "sample number 0",
        "ADPCM sides left",
        "wait 1 step",
        "ADPCM sides muted",
        "wait 239 steps",
        "ADPCM sample 2, left only: 7813 Hz, 6 bytes, 0.002 s",
        "sample number 2",
        "ADPCM sample 1, right only: left out, plays nothing",
        "sample number 1",
        "ADPCM sample 261, both sides: beyond the table's 3, plays nothing",
        "sample number 261",
        "ADPCM sample 255, both sides: beyond the table's 3, plays nothing",
        "sample number 255",
        "key on ch0 ops 1111"};
    for (std::size_t i = 0; i < std::size(meanings); ++i)
        EXPECT_TRUE(lines[8 + i].ends_with(std::string("  ") + meanings[i])) << lines[8 + i];
    EXPECT_EQ(lines[lines.size() - 4],
              "     492    1.756" + offsetColumn(0x2E) + "  00 F0  ADPCM stop, both sides muted");
    EXPECT_EQ(lines[lines.size() - 3],
              "     492    1.756" + offsetColumn(0x30) + "  00 F7  ADPCM sides both");
    EXPECT_EQ(lines.back(), "     493    1.760" + offsetColumn(0x34) + "  00 FF  end marker");
    const std::vector<std::string> json = linesOf(runDump({"--json", dir.file("drums.x")}).out);
    ASSERT_EQ(json.size(), 1 + drums.stream.size() / 2);
    EXPECT_EQ(number(json[0], "bankOffset"), FULL_PLAYER_HEAD_SIZE + 0x36);
    EXPECT_TRUE(json[1 + 6].ends_with(
        R"("group":"adpcmSides","meaning":"ADPCM sides left","sides":"left"})"))
        << json[1 + 6];
    EXPECT_TRUE(json[1 + 8].ends_with(R"("sides":"muted"})")) << json[1 + 8];
    EXPECT_TRUE(json[1 + 10].ends_with(
        R"("group":"adpcmStart","meaning":"ADPCM sample 2, left only: 7813 Hz, 6 bytes, 0.002 s",)"
        R"("sample":2,"sides":"left","plays":true,"rate":7813,"bytes":6,"sampleSeconds":0.001536})"))
        << json[1 + 10];
    EXPECT_EQ(jsonField(json[1 + 17], "group"), "\"sampleNumber\"");

    const DumpResult summary = runDump({"--summary", dir.file("drums.x")});
    EXPECT_NE(summary.out.find("  ADPCM stop (00 F0)            1\n"
                               "  ADPCM start (00 F1-F3)        7\n"
                               "  ADPCM sides (00 F4-F7)        3\n"
                               "  ADPCM sample number           7\n"),
              std::string::npos)
        << summary.out;
    EXPECT_TRUE(summary.out.ends_with(
        "duration   493 steps (1.760 s)\nloop       none\npasses     once: the song does not loop\n"
        "drums      3 samples in a bank of 132 bytes at offset " +
        fullAt(0x36) +
        ", 1 left out\n"
        "  15625 Hz                      1 sample, 101 bytes, 0.013 s\n"
        "  7813 Hz                       1 sample, 6 bytes, 0.002 s\n"
        "  in all                        2 samples, 107 bytes, 0.014 s\n"
        "  starts                        7, 3 of them play nothing\n"
        "  side changes                  3\n"
        "display    none\n"))
        << summary.out;
    const std::string summaryJson = runDump({"--summary", "--json", dir.file("drums.x")}).out;
    EXPECT_EQ(number(jsonField(summaryJson, "drums"), "starts"), 7u);
    EXPECT_EQ(number(jsonField(summaryJson, "drums"), "sideChanges"), 3u);
    EXPECT_EQ(number(jsonField(summaryJson, "groups"), "adpcmSides"), 3u);
    EXPECT_EQ(jsonField(jsonField(summaryJson, "drums"), "rates"),
              R"([{"rate":15625,"samples":1,"bytes":101,"seconds":0.012928},)"
              R"({"rate":7813,"samples":1,"bytes":6,"seconds":0.001536}])");

    ASSERT_EQ(runDump({"--to-vgm", dir.file("drums.x"), dir.file("drums.vgm")}).exitStatus, 0);
    const Bytes vgm = readFile(dir.file("drums.vgm"));
    ASSERT_GT(vgm.size(), 0x107u);
    EXPECT_EQ(littleLong(vgm, 0x08), 0x171u);
    EXPECT_EQ(littleLong(vgm, 0x18), 77598u) << "step 493";
    EXPECT_EQ(littleLong(vgm, 0x30), 4000000u);
    EXPECT_EQ(littleLong(vgm, 0x34) + 0x34, 0x100u);
    EXPECT_EQ(littleLong(vgm, 0x90), 8000000u);
    EXPECT_EQ(vgm[0x94], 0x0E) << "divider 512 first, 4-bit ADPCM, 12-bit output";
    const Bytes samples(drums.bank.begin() + 24, drums.bank.end());
    EXPECT_EQ(Bytes(vgm.begin() + 0x100, vgm.begin() + 0x107),
              (Bytes{0x67, 0x66, 0x04, std::uint8_t(samples.size()), 0, 0, 0}));
    ASSERT_GE(vgm.size(), 0x107 + samples.size());
    EXPECT_EQ(Bytes(vgm.begin() + 0x107, vgm.begin() + 0x107 + long(samples.size())), samples);
    // Bytes at 7813 a second last 571 VGM samples for 101, 68 at 3906 for 6. Steps 10, 11,
    // 251, 491 and 492 are samples 1574, 1731, 39507, 77283 and 77441.
    const Bytes stop0 = {0x94, 0x00}, stop2 = {0x94, 0x02}, halt = {0xB7, 0x00, 0x01},
                mute = {0xB7, 0x02, 0x03}, play = {0xB7, 0x00, 0x02};
    const Bytes start0 = {0x93, 0x00, 0, 0, 0, 0, 0x01, 101, 0, 0, 0};
    const std::vector<std::pair<std::uint64_t, Bytes>> expected = {
        {0, {0x90, 0x00, 0x17, 0x00, 0x01}},
        {0, {0x91, 0x00, 0x04, 0x01, 0x00}},
        {0, {0x92, 0x00, 0x85, 0x1E, 0x00, 0x00}},
        {0, {0x90, 0x02, 0x17, 0x00, 0x01}},
        {0, {0x91, 0x02, 0x04, 0x01, 0x00}},
        {0, {0x92, 0x02, 0x42, 0x0F, 0x00, 0x00}},
        {1574, {0xB7, 0x02, 0x00}},
        {1574, play},
        {1574, start0},
        {1731, stop0},
        {1731, halt},
        {1731, mute},
        {1731, {0xB7, 0x02, 0x02}},
        {1731, play},
        {1731, start0},
        // Moved to the left at once, then to neither side at step 12 (sample 1889); the side
        // change after the stop at step 492 writes nothing.
        {1731, {0xB7, 0x02, 0x01}},
        {1889, mute},
        {1731 + 571, stop0},
        {1731 + 571, halt},
        {1731 + 571, mute},
        {1731 + 571, {0xB7, 0x0C, 0x00}},
        {39507, {0xB7, 0x02, 0x01}},
        {39507, play},
        {39507, {0x93, 0x02, 101, 0, 0, 0, 0x01, 6, 0, 0, 0}},
        // Cut at once by a start in the same step that plays nothing, as the player does.
        {39507, stop2},
        {39507, halt},
        {39507, mute},
        {39507, {0xB7, 0x0C, 0x02}},
        {77283, {0xB7, 0x02, 0x00}},
        {77283, play},
        {77283, start0},
        {77441, stop0},
        {77441, halt},
        {77441, mute},
    };
    EXPECT_EQ(okiCommands(vgm, 0x107 + samples.size()), expected);
    const DumpResult exported = runDump({"--vgm", "--json", dir.file("drums.vgm")});
    ASSERT_EQ(exported.exitStatus, 0) << exported.err;
    EXPECT_EQ(number(exported.out, "samples"), 77598u);
    EXPECT_EQ(jsonField(jsonField(exported.out, "commands"), "0x54"), "3");
}

TEST(OpmdumpProgram, ReadsAnAlbumTrackByTrack) {
    const TestAlbum album = testAlbum();
    ScratchDir dir;
    writeFile(dir.file("album.x"), album.program);
    const DumpResult dump = runDump({dir.file("album.x")});
    ASSERT_EQ(dump.exitStatus, 0) << dump.err;
    const std::vector<std::string> lines = linesOf(dump.out);
    EXPECT_EQ(lines[0], "player     full (opmcast-full), an album of 3 tracks");
    EXPECT_NE(dump.out.find("shared     1 of its 1 samples that play are started by more than "
                            "one track\n"),
              std::string::npos)
        << dump.out;
    // The table, then the three timelines in turn, the last ending at the third end marker.
    EXPECT_NE(dump.out.find("\n    1 " + offsetColumn(0) +
                            "       6   0.021 s  none       once    -          One\n    2 " +
                            offsetColumn(12) + "       9   0.029 s  at 0.011   1       0.000 s\n"),
              std::string::npos)
        << dump.out;
    for (const char* heading : {"track 1 of 3", "track 2 of 3", "track 3 of 3"})
        EXPECT_EQ(std::count(lines.begin(), lines.end(), heading), 1) << heading;
    EXPECT_EQ(lines.back(), "       1    0.004" + offsetColumn(32) + "  00 FF  end marker");

    // --track N: that track alone; a number beyond the album is a usage error naming the range.
    const DumpResult second = runDump({"--track", "2", dir.file("album.x")});
    EXPECT_EQ(second.exitStatus, 0) << second.err;
    EXPECT_TRUE(second.out.starts_with("\ntrack 2 of 3\n")) << second.out;
    EXPECT_EQ(second.out.find("track 1 of 3"), std::string::npos);
    EXPECT_NE(second.out.find("fade after pass 1 (of 1)"), std::string::npos) << second.out;
    const DumpResult beyond = runDump({"--track", "4", dir.file("album.x")});
    EXPECT_EQ(beyond.exitStatus, 2);
    EXPECT_EQ(beyond.err, "opmdump: " + dir.file("album.x") +
                              ": --track 4: the album has tracks "
                              "1 to 3\n");

    // The summary: the album's length (the second track's pass and fade), then a block a track.
    const DumpResult summary = runDump({"--summary", dir.file("album.x")});
    EXPECT_NE(summary.out.find("total      0.054 s"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("track 2 of 3\nplayer     full (opmcast-full)\npairs      9\n"),
              std::string::npos)
        << summary.out;
    EXPECT_NE(runDump({"--summary", "--track", "3", dir.file("album.x")})
                  .out.find("duration   1 steps (0.004 s)\n"),
              std::string::npos);

    // JSON: the album line with its table, then every pair tagged with its track.
    const std::vector<std::string> json = linesOf(runDump({"--json", dir.file("album.x")}).out);
    ASSERT_EQ(json.size(), 1u + 6 + 9 + 2);
    EXPECT_EQ(jsonField(json[0], "type"), "\"album\"");
    EXPECT_EQ(number(json[0], "tracks"), 3u);
    EXPECT_EQ(number(json[0], "tableOffset"), album.tableAt);
    EXPECT_EQ(number(jsonField(json[0], "drums"), "shared"), 1u);
    const std::string table = jsonField(json[0], "table");
    std::size_t entries = 0;
    for (std::size_t at = table.find("\"track\":"); at != std::string::npos;
         at = table.find("\"track\":", at + 1))
        ++entries;
    EXPECT_EQ(entries, 3u) << table;
    EXPECT_EQ(number(json[1], "track"), 1u);
    EXPECT_EQ(number(json[7], "track"), 2u);
    EXPECT_EQ(number(json.back(), "track"), 3u);
    const std::string trackJson =
        runDump({"--json", "--summary", "--track", "2", dir.file("album.x")}).out;
    EXPECT_EQ(number(trackJson, "track"), 2u);
    EXPECT_EQ(number(trackJson, "loops"), 1u);
    EXPECT_EQ(number(trackJson, "streamOffset"), FULL_PLAYER_HEAD_SIZE + 12);

    // --to-vgm of a track: as the export of that song alone with the bank; of the album: the
    // tracks once through one after the other, no loop.
    writeFile(dir.file("song.x"), buildFullProgram(album.tracks[0].stream, album.bank));
    ASSERT_EQ(runDump({"--to-vgm", dir.file("song.x"), dir.file("song.vgm")}).exitStatus, 0);
    ASSERT_EQ(
        runDump({"--to-vgm", dir.file("album.x"), dir.file("one.vgm"), "--track", "1"}).exitStatus,
        0);
    EXPECT_EQ(readFile(dir.file("one.vgm")), readFile(dir.file("song.vgm")));
    ASSERT_EQ(runDump({"--to-vgm", dir.file("album.x"), dir.file("all.vgm")}).exitStatus, 0);
    const Bytes all = readFile(dir.file("all.vgm"));
    EXPECT_EQ(littleLong(all, 0x18), 944u + 1259 + 157);  // 6, 8 and 1 steps of 787/5 samples
    EXPECT_EQ(littleLong(all, 0x1C), 0u);
    const std::string allJson = runDump({"--vgm", "--json", dir.file("all.vgm")}).out;
    EXPECT_EQ(number(allJson, "samples"), 944u + 1259 + 157);
    // The player's 2 start writes, a key write in each of the first two tracks (the fade is
    // left out) and two clean states of 8 keys off, 5 more and 32 TLs.
    EXPECT_EQ(jsonField(jsonField(allJson, "commands"), "0x54"),
              std::to_string(2 + 1 + 1 + 2 * 45));
}

TEST(OpmdumpProgram, MalformedFilesGiveOneLineAndStatusOne) {
    ScratchDir dir;
    std::vector<MalformedFile> cases = malformedExecutables();
    Bytes notVgm = makeVgm({0x66});
    notVgm[0] = 'v';
    cases.push_back({"VGM without its magic", notVgm, 0});
    cases.push_back({"VGM command cut short", makeVgm({0x61, 0x44}), 0x40});
    // Albums: the table's count, an entry's offsets, the parts out of their order.
    const TestAlbum album = testAlbum();
    const auto albumWith = [&album](std::uint64_t at, std::uint32_t value, int bytes) {
        Bytes file = album.program;
        for (int i = 0; i < bytes; ++i)
            file[at + std::uint64_t(i)] = std::uint8_t(value >> (8 * (bytes - 1 - i)));
        return file;
    };
    const std::uint64_t entry = album.tableAt + 4;
    const auto tableText = std::uint32_t(album.tableAt - 64);
    const auto streamText = std::uint32_t(FULL_PLAYER_HEAD_SIZE - 64);
    cases.push_back({"album of 0 tracks", albumWith(album.tableAt, 0, 2), album.tableAt});
    cases.push_back({"album of 1000 tracks", albumWith(album.tableAt, 1000, 2), album.tableAt});
    cases.push_back({"album of 2 tracks in a table of 3", albumWith(album.tableAt, 2, 2),
                     entry + 2 * FULL_ALBUM_ENTRY_SIZE});
    cases.push_back({"album table at an odd offset",
                     albumWith(FULL_PLAYER_ALBUM_OFFSET, tableText + 1, 4),
                     FULL_PLAYER_ALBUM_OFFSET});
    cases.push_back({"album track at an odd offset",
                     albumWith(entry + FULL_ALBUM_ENTRY_SIZE, streamText + 13, 4),
                     entry + FULL_ALBUM_ENTRY_SIZE});
    cases.push_back({"album track beyond the table",
                     albumWith(entry + 2 * FULL_ALBUM_ENTRY_SIZE, tableText + 100, 4),
                     entry + 2 * FULL_ALBUM_ENTRY_SIZE});
    cases.push_back({"album tracks overlapping",
                     albumWith(entry + FULL_ALBUM_ENTRY_SIZE, streamText, 4),
                     entry + FULL_ALBUM_ENTRY_SIZE});
    cases.push_back({"album track ending inside the next",
                     albumWith(entry + FULL_ALBUM_ENTRY_SIZE, streamText + 14, 4),
                     FULL_PLAYER_HEAD_SIZE + 12});
    cases.push_back({"album with passes in its head", albumWith(FULL_PLAYER_LOOPS_OFFSET, 2, 2),
                     FULL_PLAYER_LOOPS_OFFSET});
    cases.push_back({"album table beyond the text",
                     albumWith(FULL_PLAYER_ALBUM_OFFSET, tableText + 0x1000, 4),
                     FULL_PLAYER_ALBUM_OFFSET, "is not between the first stream and the player"});
    // Cut short, as a copy that stopped early: said so, with the header's count.
    const auto cut = [](const Bytes& program, std::size_t by) {
        return Bytes(program.begin(), program.end() - long(by));
    };
    const Bytes drums = drumProgram().program;
    cases.push_back({"album cut short", cut(album.program, 32), 12,
                     format("the file is cut short: %zu bytes, where its text size counts %zu",
                            album.program.size() - 32, album.program.size())});
    cases.push_back({"full program cut short",
                     cut(drums, drums.size() - FULL_PLAYER_HEAD_SIZE - 20), 12,
                     "the file is cut short: "});
    for (const MalformedFile& bad : cases) {
        const bool vgm = bad.name.starts_with("VGM");
        const std::string name = dir.file(vgm ? "bad.vgm" : "bad.x");
        writeFile(name, bad.bytes);
        for (bool json : {false, true}) {
            std::vector<std::string> args = {name};
            if (vgm) args.insert(args.begin(), "--vgm");
            if (json) args.insert(args.begin(), "--json");
            const DumpResult r = runDump(args);
            EXPECT_EQ(r.exitStatus, 1) << bad.name;
            EXPECT_EQ(r.out, "") << bad.name;
            const std::string expectedStart =
                "opmdump: " + name + ": offset " + hexOffset(bad.offset) + ": ";
            EXPECT_TRUE(r.err.starts_with(expectedStart)) << bad.name << ": " << r.err;
            EXPECT_NE(r.err.find(bad.says), std::string::npos) << bad.name << ": " << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << bad.name;
            EXPECT_TRUE(r.err.ends_with("\n")) << bad.name;
        }
        if (vgm) continue;
        const DumpResult exported = runDump({"--to-vgm", name, dir.file("out.vgm")});
        EXPECT_EQ(exported.exitStatus, 1) << bad.name;
        EXPECT_FALSE(fs::exists(dir.file("out.vgm"))) << bad.name;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2)
        << "only the two inputs";
}

TEST(OpmdumpProgram, SummarisesCompressedVgmAsItsUnpackedData) {
    ScratchDir dir;
    const Bytes vgm = makeVgm({0x52, 0x2A, 0x80, 0x62, 0x50, 0xDF, 0x66}, 0x43 - 0x1C);
    writeFile(dir.file("song.vgm"), vgm);
    writeFile(dir.file("song.vgz"), gzipped(vgm));
    const DumpResult plain = runDump({"--vgm", dir.file("song.vgm")});
    const DumpResult packed = runDump({"--vgm", dir.file("song.vgz")});
    EXPECT_EQ(packed.exitStatus, 0) << packed.err;
    EXPECT_EQ(packed.out, plain.out);

    Bytes cut = gzipped(concat({vgm, noise(4000)}));
    cut.resize(cut.size() - 100);
    writeFile(dir.file("cut.vgz"), cut);
    const DumpResult damaged = runDump({"--vgm", dir.file("cut.vgz")});
    EXPECT_EQ(damaged.exitStatus, 1);
    EXPECT_EQ(damaged.out, "");
    EXPECT_NE(damaged.err.find("gzip data is corrupt or cut short"), std::string::npos)
        << damaged.err;
}

TEST(OpmdumpProgram, RejectsBadArgumentsAndUnreadableFiles) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"a.x", "b.x"},
                                               {"--csv", "a.x"},
                                               {"--to-vgm", "a.x"},
                                               {"--json", "--to-vgm", "a.x", "b.vgm"},
                                               {"--levels", "--summary", "a.x"},
                                               {"--track", "0", "a.x"},
                                               {"--track", "two", "a.x"},
                                               {"--track", "1", "--track", "2", "a.x"},
                                               {"--vgm", "--track", "1", "a"}}) {
        const DumpResult r = runDump(args);
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_TRUE(r.err.starts_with("usage: opmdump")) << r.err;
    }
    const DumpResult help = runDump({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_TRUE(help.out.starts_with("usage: opmdump")) << help.out;
    EXPECT_EQ(help.err, "");
    ScratchDir dir;
    const DumpResult missing = runDump({dir.file("missing.x")});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_EQ(missing.err, "opmdump: " + dir.file("missing.x") +
                               ": cannot read the file: No such file or directory\n");
    EXPECT_EQ(runDump({"--vgm", dir.path.string()}).exitStatus, 1);
    EXPECT_EQ(runDump({"--vgm", dir.file("missing")}).err,
              "opmdump: " + dir.file("missing") + ": no such file, nor " + dir.file("missing") +
                  ".vgm or " + dir.file("missing") + ".vgz\n");

    // An export that cannot be written leaves nothing behind.
    convert(dir, makeVgm({0x61, 0x44, 0xAC, 0x66}));
    fs::create_directory(dir.file("folder.vgm"));
    for (const std::string& out : {dir.file("folder.vgm"), dir.file("no/such/folder.vgm")}) {
        const DumpResult r = runDump({"--to-vgm", dir.file("song.x"), out});
        EXPECT_EQ(r.exitStatus, 1) << out;
        EXPECT_TRUE(r.err.starts_with("opmdump: " + out + ": cannot write the file: ")) << r.err;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 4)
        << "song.vgm, song.x, vgmstub.bin, folder.vgm";

    // An export onto its own input, under any name, is refused and leaves it as it was.
    const Bytes program = readFile(dir.file("song.x"));
    fs::create_symlink(dir.file("song.x"), dir.file("link.x"));
    for (const std::string& out :
         {dir.file("song.x"), dir.file("link.x"), dir.path.string() + "/./song.x"}) {
        const DumpResult r = runDump({"--to-vgm", dir.file("song.x"), out});
        EXPECT_EQ(r.exitStatus, 1) << out;
        EXPECT_EQ(r.err, "opmdump: " + out + ": is the input file; name another output file\n");
    }
    EXPECT_EQ(readFile(dir.file("song.x")), program);

    // A VGM log given as a program is named as what it is; --vgm NAME finds NAME.vgm.
    const DumpResult log = runDump({dir.file("song.vgm")});
    EXPECT_EQ(log.exitStatus, 1);
    EXPECT_EQ(log.err, "opmdump: " + dir.file("song.vgm") +
                           ": a VGM log, not an X68000 program: use opmdump --vgm " +
                           dir.file("song.vgm") + "\n");
    EXPECT_EQ(runDump({"--vgm", dir.file("song")}).out,
              runDump({"--vgm", dir.file("song.vgm")}).out);
}

std::string channelList(const std::array<int, 8>& counts) {
    std::string text = "[";
    for (std::size_t c = 0; c < counts.size(); ++c) {
        if (c > 0) text += ',';
        text += std::to_string(counts[c]);
    }
    return text + "]";
}

// What opmdump reads from each corpus conversion agrees with the stream the converter wrote,
// counted independently, and with the VGM file it came from.
TEST(OpmdumpCorpus, RoundTripAgreesWithTheConvertedStream) {
    const std::vector<fs::path> files = corpusFiles();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << corpusDir();
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        ScratchDir dir;
        const Bytes vgm = readFile(file.string());
        writeFile(dir.file("vgmstub.bin"), makeDumpStub());
        writeFile(dir.file("song.vgm"), vgm);
        const ProgramResult converted = runConverter(dir.path.string(), {"song"});
        ASSERT_EQ(converted.exitStatus, 0);
        const Bytes out = readFile(dir.file("song.x"));
        const Bytes stream(out.begin() + 434, out.end() - 12);
        const StreamSummary written = summarizeStream(stream);

        const DumpResult summary = runDump({"--summary", "--json", dir.file("song.x")});
        ASSERT_EQ(summary.exitStatus, 0) << summary.err;
        const std::string& s = summary.out;
        EXPECT_EQ(number(s, "pairs"), stream.size() / 2);
        EXPECT_EQ(number(s, "ticks"), written.totalTicks);
        const std::uint32_t totalSamples = littleLong(vgm, 0x18);
        const std::uint32_t loopSamples = littleLong(vgm, 0x20);
        if (littleLong(vgm, 0x1C) != 0) {
            EXPECT_EQ(number(s, "loopTick"), 1 + (totalSamples - loopSamples) / 787);
            EXPECT_EQ(number(s, "loopTick"), written.ticksBeforeLoop);
            EXPECT_EQ(number(s, "loopedTicks"), written.totalTicks - written.ticksBeforeLoop);
        } else {
            EXPECT_EQ(jsonField(s, "loopTick"), "null");
        }
        // Key on/off pairs: the VGM's own, plus the prologue's key-on of channels 6 and 7.
        const VgmScan scan = scanVgm(vgm);
        std::array<int, 8> keyOns{}, keyOffs{};
        for (std::size_t c = 0; c < 6; ++c) {
            keyOns[c] = scan.keyOns[c];
            keyOffs[c] = scan.keyWrites[c] - scan.keyOns[c];
        }
        keyOns[6] = keyOns[7] = 1;
        EXPECT_EQ(jsonField(s, "keyOn"), channelList(keyOns));
        EXPECT_EQ(jsonField(s, "keyOff"), channelList(keyOffs));

        // The timeline: one line per pair, ending at the total duration.
        const DumpResult dump = runDump({"--json", dir.file("song.x")});
        ASSERT_EQ(dump.exitStatus, 0) << dump.err;
        const std::vector<std::string> lines = linesOf(dump.out);
        ASSERT_EQ(lines.size(), 1 + stream.size() / 2);
        EXPECT_EQ(jsonField(lines.back(), "group"), "\"end\"");
        EXPECT_EQ(number(lines.back(), "tick"), written.totalTicks);

        // The export as a YM2151 VGM: one pass of the stream in samples, the loop where the
        // stream loops, and a write for every pair the player passes on plus its two start-up
        // writes.
        ASSERT_EQ(runDump({"--to-vgm", dir.file("song.x"), dir.file("song.opm.vgm")}).exitStatus,
                  0);
        const DumpResult exported = runDump({"--vgm", "--json", dir.file("song.opm.vgm")});
        ASSERT_EQ(exported.exitStatus, 0) << exported.err;
        const std::string& e = exported.out;
        EXPECT_EQ(number(e, "headerSamples"), written.totalTicks * 787);
        EXPECT_EQ(number(e, "samples"), written.totalTicks * 787);
        if (written.loopMarkers == 1) {
            EXPECT_EQ(number(e, "loopSamples"),
                      (written.totalTicks - written.ticksBeforeLoop) * 787);
        }
        EXPECT_EQ(jsonField(jsonField(e, "commands"), "0x54"),
                  std::to_string(written.registerPairs + 2));

        // The VGM summary: the commands wait what the header says, and every command the
        // converter reported as unexpected is counted under its byte.
        const DumpResult vgmSummary = runDump({"--vgm", "--json", file.string()});
        ASSERT_EQ(vgmSummary.exitStatus, 0) << vgmSummary.err;
        const std::string& v = vgmSummary.out;
        // (The headers of two corpus files count one sample less than their commands wait.)
        EXPECT_EQ(number(v, "headerSamples"), totalSamples);
        EXPECT_NEAR(double(number(v, "samples")), totalSamples, 1.0);
        if (littleLong(vgm, 0x1C) != 0) {
            EXPECT_NEAR(double(number(v, "loopSamples")), loopSamples, 1.0);
        }
        std::map<unsigned, std::uint64_t> reported;
        for (const std::string& line : linesOf(converted.console)) {
            unsigned command = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "unexpected byte %u", &command), 1) << line;
            ++reported[command];
        }
        const std::string counts = jsonField(v, "commands");
        for (const auto& [command, count] : reported) {
            char key[8];
            std::snprintf(key, sizeof key, "0x%02X", command);
            EXPECT_EQ(jsonField(counts, key), std::to_string(count)) << key;
        }
    }
}

}  // namespace
