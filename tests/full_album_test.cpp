// opmcast-full --album: several logs as the tracks of one program, their drums in one bank.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "full/disk/xdf_image.hpp"
#include "full/player/full_player.hpp"
#include "tests/full_tool_run.hpp"
#include "tests/test_support.hpp"

namespace {

std::uint32_t longAt(const Bytes& bytes, std::size_t at) {
    return std::uint32_t(bytes[at] << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 |
                         bytes[at + 3]);
}
unsigned wordAt(const Bytes& bytes, std::size_t at) {
    return unsigned(bytes[at] << 8 | bytes[at + 1]);
}

// An album read back by its table: file offsets count from the text's start, 64.
struct AlbumTrack {
    Bytes stream;
    std::string display;  // the block's header lines
    unsigned loops = 0;
};
struct Album {
    unsigned flags = 0;
    std::vector<AlbumTrack> tracks;
    std::vector<unsigned> bankCounts;  // each sample's DMA count
    std::string display;
};

std::string headerLines(const Bytes& program, std::uint32_t textOffset) {
    if (textOffset == 0) return "";
    const char* text = reinterpret_cast<const char*>(program.data()) + 64 + textOffset;
    return std::string(text);
}

Album readAlbum(const Bytes& program) {
    Album album;
    const std::size_t table = 64 + longAt(program, FULL_PLAYER_ALBUM_OFFSET);
    const std::uint32_t bank = longAt(program, FULL_PLAYER_BANK_OFFSET);
    album.flags = wordAt(program, table + 2);
    album.display = headerLines(program, longAt(program, FULL_PLAYER_DISPLAY_OFFSET));
    const unsigned count = wordAt(program, table);
    for (unsigned i = 0; i < count; ++i) {
        const std::size_t entry = table + 4 + i * FULL_ALBUM_ENTRY_SIZE;
        const std::size_t from = 64 + longAt(program, entry);
        const std::size_t to = i + 1 < count ? 64 + longAt(program, entry + FULL_ALBUM_ENTRY_SIZE)
                               : bank        ? 64 + bank
                                             : 64 + longAt(program, FULL_PLAYER_DISPLAY_OFFSET);
        album.tracks.push_back(
            {Bytes(program.begin() + std::ptrdiff_t(from), program.begin() + std::ptrdiff_t(to)),
             headerLines(program, longAt(program, entry + 4)), wordAt(program, entry + 8)});
    }
    if (bank)
        for (std::size_t entry = 64 + bank; entry < 64 + bank + longAt(program, 64 + bank);
             entry += 8)
            album.bankCounts.push_back(wordAt(program, entry + 4));
    return album;
}

// A single song's stream: from the head to its bank, display or tail.
Bytes songStream(const Bytes& program) {
    const std::uint32_t bank = longAt(program, FULL_PLAYER_BANK_OFFSET);
    const std::uint32_t display = longAt(program, FULL_PLAYER_DISPLAY_OFFSET);
    const std::size_t end = bank      ? 64 + bank
                            : display ? 64 + display
                                      : program.size() - FULL_PLAYER_TAIL_SIZE;
    return Bytes(program.begin() + FULL_PLAYER_HEAD_SIZE, program.begin() + std::ptrdiff_t(end));
}

// The sample numbers of a stream's drum starts (00 F1-F3 nn nn), read pair by pair, each
// replaced by `renumber`.
std::vector<unsigned> drumNumbers(Bytes& stream, const std::vector<unsigned>& renumber = {}) {
    std::vector<unsigned> numbers;
    for (std::size_t i = 0; i + 3 < stream.size(); i += 2) {
        if (stream[i] != 0 || stream[i + 1] < 0xF1 || stream[i + 1] > 0xF3) continue;
        numbers.push_back(wordAt(stream, i + 2));
        if (!renumber.empty()) {
            stream[i + 2] = std::uint8_t(renumber[numbers.back()] >> 8);
            stream[i + 3] = std::uint8_t(renumber[numbers.back()]);
        }
        i += 2;
    }
    return numbers;
}

// A log: the DAC on, then `hits` (each 400 values written with 0x2A a sample apart) a
// second apart, a PSG tone throughout; looping from its start with `loops`.
Bytes drumLog(std::initializer_list<int> hits, bool loops) {
    Bytes commands = {0x50, 0x80, 0x50, 0x10, 0x50, 0x90, 0x52, 0x2B, 0x80};
    for (const int shape : hits) {
        for (int i = 0; i < 400; ++i)
            commands =
                concat({commands, {0x52, 0x2A, std::uint8_t(128 + (i % (20 + shape)) * 2), 0x70}});
        commands = concat({commands, {0x61, 0x44, 0xAC}});
    }
    return makeVgm(concat({commands, {0x66}}), loops ? 0x40 - 0x1C : 0);
}

TEST(FullAlbum, TracksPlayAsSongsAndShareOneBankOfDrums) {
    ScratchDir dir;
    // Two songs with the same hit (values and rate) and one with another.
    writeFile(dir.file("a.vgm"), drumLog({0}, true));
    writeFile(dir.file("b.vgm"), drumLog({0, 0}, false));
    writeFile(dir.file("c.vgm"), drumLog({7}, true));
    ToolResult r = runFull(dir, {"--album", "disc/all.x", "a.vgm", "b.vgm", "c.vgm"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "  1 a.vgm: 1.0 s, loops at 0.0 s; 2 loops + 5 s fade: 0:07; PSG 1; drums: 1 sample\n"
              "  2 b.vgm: 2.0 s; PSG 1; drums: 1 sample\n"
              "  3 c.vgm: 1.0 s, loops at 0.0 s; 2 loops + 5 s fade: 0:07; PSG 1; drums: 1 sample\n"
              "disc/all.x: 3 tracks, 0:16; drums: 2 samples (1 shared), 1 KiB ADPCM at 15.6 kHz, "
              "of which 1 KiB for the fade's 10 attenuated copies; 7 KiB\n");
    const Bytes program = readFile(dir.file("disc/all.x"));
    Album album = readAlbum(program);
    ASSERT_EQ(album.tracks.size(), 3u);
    EXPECT_EQ(album.flags, 0u);
    // Each looping track's sample, then the copies its fade plays (a hit a second while the
    // fade is above 48 dB), each no longer than the hit.
    const unsigned hitCount = 400 * 15625 / 44100 / 2 + 2;
    ASSERT_EQ(album.bankCounts.size(), 12u);
    for (std::size_t i = 0; i < album.bankCounts.size(); ++i) {
        if (i % 6 == 0) {
            EXPECT_EQ(album.bankCounts[i], hitCount) << i;
        } else {
            EXPECT_LE(album.bankCounts[i], hitCount) << i;
        }
    }
    // The keys first, then a line a track, its first column left for the player's mark.
    EXPECT_EQ(album.display,
              "N next   P previous (or restart)   1-9 track   SPACE pause   Q quit\r\n"
              "   1  a.vgm\r\n   2  b.vgm\r\n   3  c.vgm\r\n");
    EXPECT_TRUE(album.tracks[1].display.starts_with("2/3  b.vgm\r\n")) << album.tracks[1].display;
    // Each track's stream is the song's own, its drums renumbered into the shared bank: the
    // second names the first's sample, the third a sample of its own; the fades' copies follow
    // their track's samples.
    const std::vector<unsigned> albumNumbers[3] = {
        {0, 1, 2, 3, 4, 5}, {0, 0}, {6, 7, 8, 9, 10, 11}};
    const unsigned passes[3] = {2, 0, 2};
    for (int i = 0; i < 3; ++i) {
        const std::string name = std::string(1, char('a' + i));
        r = runFull(dir, {"--loops", "2", name + ".vgm"});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        Bytes single = songStream(readFile(dir.file(name + ".x")));
        EXPECT_EQ(drumNumbers(album.tracks[i].stream), albumNumbers[i]) << name;
        std::vector<unsigned> renumber = albumNumbers[i];  // the single's are 0, 1, ...
        if (i == 1) renumber = {0};
        drumNumbers(single, renumber);
        EXPECT_EQ(album.tracks[i].stream, single) << name;
        EXPECT_EQ(album.tracks[i].loops, passes[i]) << name;
    }

    // --repeat sets the flag; --loops 0 plays every track until a key; --no-display carries
    // no blocks.
    r = runFull(dir, {"--album", "again.x", "--repeat", "--loops", "0", "--no-display", "-q",
                      "a.vgm", "c.vgm"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "");
    album = readAlbum(readFile(dir.file("again.x")));
    EXPECT_EQ(album.flags, unsigned(FULL_ALBUM_REPEAT));
    ASSERT_EQ(album.tracks.size(), 2u);
    EXPECT_EQ(album.tracks[0].loops, 0u);
    EXPECT_EQ(album.tracks[1].display, "");
    EXPECT_EQ(album.display, "");
    // The album's line says which tracks count once through, looping until N, and --repeat.
    r = runFull(dir, {"--album", "again.x", "--repeat", "--loops", "0", "--no-display", "a.vgm",
                      "b.vgm", "c.vgm"});
    EXPECT_NE(r.out.find("\nagain.x: 3 tracks, 0:04 with tracks 1 and 3 once through (they loop "
                         "until N), then again (--repeat); drums: "),
              std::string::npos)
        << r.out;
}

TEST(FullAlbum, AFailedLogOrTooSmallALimitLeavesTheAlbumUnmade) {
    ScratchDir dir;
    writeFile(dir.file("a.vgm"), drumLog({0}, false));
    writeFile(dir.file("c.vgm"), drumLog({7}, false));
    writeFile(dir.file("text.vgm"), Bytes{'h', 'e', 'l', 'l', 'o'});
    writeFile(dir.file("all.x"), Bytes(3, 0xEE));  // an earlier album, left alone
    ToolResult r = runFull(dir, {"--album", "all.x", "a.vgm", "text.vgm", "c.vgm", "none.vgm"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "text.vgm: not a VGM log\n"
              "none.vgm: no such file\n"
              "opmcast-full: album all.x not made: 2 of 4 logs failed (--skip-bad leaves such "
              "tracks out)\n");
    EXPECT_EQ(readFile(dir.file("all.x")), Bytes(3, 0xEE));
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"a.vgm", "all.x", "c.vgm", "text.vgm"}));

    // --skip-bad: the album of the rest, the skipped logs named in their places.
    r = runFull(dir, {"--album", "all.x", "--skip-bad", "a.vgm", "text.vgm", "c.vgm"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err,
              "text.vgm: not a VGM log\n"
              "opmcast-full: album all.x made of 2 of 3 logs (--skip-bad left 1 out)\n");
    EXPECT_EQ(r.out,
              "  1 a.vgm: 1.0 s; PSG 1; drums: 1 sample\n"
              "  - text.vgm: skipped\n"
              "  2 c.vgm: 1.0 s; PSG 1; drums: 1 sample\n"
              "all.x: 2 tracks, 0:02; drums: 2 samples (0 shared), 1 KiB ADPCM at 15.6 kHz; "
              "3 KiB\n");
    EXPECT_EQ(readAlbum(readFile(dir.file("all.x"))).tracks.size(), 2u);
    // No folder is left for an album not made.
    r = runFull(dir, {"--album", "new/none.x", "--skip-bad", "text.vgm"});
    EXPECT_EQ(r.err,
              "text.vgm: not a VGM log\nopmcast-full: album new/none.x not made: 1 of 1 logs "
              "failed\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("new")));
    // A folder without logs is no failed log; --skip-bad is offered only where it would help.
    std::filesystem::create_directories(dir.file("empty/sub"));
    const struct {
        std::vector<std::string> args;
        std::string err;
    } folders[] = {
        {{"--album", "e.x", "empty"},
         "empty: no .vgm, .vgz or .vgm.gz files in this folder\n"
         "opmcast-full: album e.x not made: no logs to make it of\n"},
        {{"--album", "e.x", "-r", "empty"},
         "empty: no .vgm, .vgz or .vgm.gz files in this folder or its subfolders\n"
         "opmcast-full: album e.x not made: no logs to make it of\n"},
        {{"--album", "e.x", "a.vgm", "empty", "text.vgm"},
         "empty: no .vgm, .vgz or .vgm.gz files in this folder\ntext.vgm: not a VGM log\n"
         "opmcast-full: album e.x not made: 1 of 2 logs failed, a folder without logs "
         "(--skip-bad leaves such tracks out)\n"},
        {{"--album", "e.x", "--skip-bad", "a.vgm", "empty", "-q"},
         "empty: no .vgm, .vgz or .vgm.gz files in this folder\n"},
    };
    for (const auto& [args, err] : folders) {
        r = runFull(dir, args);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, err);
    }
    EXPECT_EQ(readAlbum(readFile(dir.file("e.x"))).tracks.size(), 1u);

    // Beyond --max-size: refused with the size it fits in, and that size does.
    r = runFull(dir, {"--album", "small.x", "--max-size", "2000", "a.vgm", "c.vgm"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err,
              "small.x: the album would be larger than 2000 bytes (--max-size); it fits in 4 KiB "
              "(--max-size 4K)\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("small.x")));
    r = runFull(dir, {"--album", "small.x", "--max-size", "4K", "a.vgm", "c.vgm"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
}

// A file of a floppy image, read back by the image module; empty when absent.
Bytes diskFile(const std::string& image, const std::string& name) {
    XdfImage disk;
    if (!loadXdfImage(image, disk).empty()) return {};
    const std::optional<XdfEntry> entry = findXdfFile(disk, name);
    return entry ? readXdfFile(disk, *entry) : Bytes{};
}

TEST(FullAlbum, DisksHoldTheAlbumAndSplitWhereOneIsTooSmall) {
    ScratchDir dir;
    writeFile(dir.file("a.vgm"), drumLog({0}, true));
    writeFile(dir.file("b.vgm"), drumLog({0, 0}, false));
    writeFile(dir.file("c.vgm"), drumLog({7}, true));
    writeFile(dir.file("bad.vgm"), Bytes{'h', 'i'});
    ToolResult r = runFull(dir, {"--album", "all.x", "-q", "a.vgm", "b.vgm", "c.vgm"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const Bytes album = readFile(dir.file("all.x"));
    // One disk: the album as --album makes it, named after the disk in 18.3 capitals, and a
    // text in CR LF saying what it holds and how to play it.
    r = runFull(dir, {"--disk", "music/Long soundtrack name.xdf", "a.vgm", "b.vgm", "c.vgm"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("  3 c.vgm: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("music/Long soundtrack name.xdf: disk 1 of 1, LONG_SOUNDTRACK_NA.X: 3 "
                         "tracks, 0:16; "),
              std::string::npos)
        << r.out;
    const std::string image = dir.file("music/Long soundtrack name.xdf");
    EXPECT_EQ(diskFile(image, "LONG_SOUNDTRACK_NA.X"), album);
    const Bytes text = diskFile(image, "README.TXT");
    const std::string readme(text.begin(), text.end());
    for (const char* part : {"   2  b.vgm\r\n", "B:LONG_SOUNDTRACK_NA\r\n", "q or ESC quit.\r\n"})
        EXPECT_NE(readme.find(part), std::string::npos) << part << readme;
    EXPECT_EQ(readme.find("\n"), readme.find("\r\n") + 1);
    // mtools reads the image (its 8.3 view of the 18.3 name).
    if (std::system("command -v mcopy >/dev/null 2>&1") == 0) {
        const std::string copy = "MTOOLS_SKIP_CHECK=1 mcopy -n -i '" + image + "' ::LONG_SOU.X '" +
                                 dir.file("copied.x") + "'";
        ASSERT_EQ(std::system(copy.c_str()), 0);
        EXPECT_EQ(readFile(dir.file("copied.x")), album);
    }
    // SOURCE_DATE_EPOCH: the same image twice.
    ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    r = runFull(dir, {"--disk", "one.xdf", "-q", "a.vgm", "c.vgm"});
    const Bytes first = readFile(dir.file("one.xdf"));
    r = runFull(dir, {"--disk", "one.xdf", "-q", "a.vgm", "c.vgm"});
    ::unsetenv("SOURCE_DATE_EPOCH");
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(readFile(dir.file("one.xdf")), first);

    // Too little room for all: the tracks in order over as many disks as they need, each
    // saying which it is; one that fits nowhere is named.
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> disks;  // the images and their tracks' count
        std::string err;
    } splits[] = {
        {{"--disk", "s.xdf", "--max-size", "4K", "a.vgm", "b.vgm", "c.vgm"},
         0,
         {"s1.xdf", "s2.xdf", "s3.xdf"},
         ""},
        // --skip-bad: a failed log at the end is skipped on the last disk.
        {{"--disk", "v.xdf", "--max-size", "4K", "--skip-bad", "a.vgm", "b.vgm", "c.vgm",
          "bad.vgm"},
         1,
         {"v1.xdf", "v2.xdf", "v3.xdf"},
         "bad.vgm: not a VGM log\n"},
        {{"--disk", "a.vgm/t.xdf", "b.vgm"},
         1,
         {},
         "opmcast-full: cannot write into a.vgm: it is a file, not a folder\n"},
        {{"--disk", "t.xdf", "--max-size", "2000", "a.vgm"},
         1,
         {},
         "a.vgm: does not fit on a disk even with its drums at the lowest rate\n"},
    };
    for (const auto& [args, status, disks, err] : splits) {
        r = runFull(dir, args);
        EXPECT_EQ(r.exitStatus, status) << args[1] << r.err;
        EXPECT_TRUE(r.err.starts_with(err)) << r.err;
        std::size_t tracks = 0;
        for (std::size_t i = 0; i < disks.size(); ++i) {
            const std::string program = disks[i].substr(0, 2) + ".X";
            const Album held = readAlbum(diskFile(dir.file(disks[i]), program));
            tracks += held.tracks.size();
            EXPECT_NE(held.display.find("Q quit   disk " + std::to_string(i + 1) + " of " +
                                        std::to_string(disks.size()) + "\r\n"),
                      std::string::npos)
                << held.display;
        }
        if (!disks.empty()) {
            EXPECT_EQ(tracks, 3u);
        }
        EXPECT_FALSE(std::filesystem::exists(dir.file("t.xdf")));
    }
}

}  // namespace
