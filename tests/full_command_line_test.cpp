// opmcast-full's command line: files and folders, where the programs go, what it says and
// when it refuses.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "full/driver/write_errors.hpp"
#include "tests/full_tool_run.hpp"
#include "tests/gzip_support.hpp"
#include "tests/test_support.hpp"

namespace {

TEST(FullCommandLine, ConvertsEveryFileAndReportsEachFailure) {
    ScratchDir dir;
    // A tone on the PSG, a second of it, then the end.
    const Bytes tune = makeVgm({0x50, 0x80, 0x50, 0x10, 0x50, 0x90, 0x61, 0x44, 0xAC, 0x66});
    writeFile(dir.file("tune.vgm"), tune);
    writeFile(dir.file("PACKED.VGZ"), gzipped(tune));
    writeFile(dir.file("double.vgm.gz"), gzipped(tune));
    writeFile(dir.file("text.vgm"), Bytes{'h', 'e', 'l', 'l', 'o'});
    writeFile(dir.file("opm.vgm"), makeVgm({0x54, 0x08, 0x00, 0x66}));
    Bytes cut = gzipped(tune);
    cut.resize(cut.size() - 6);
    writeFile(dir.file("cut.vgz"), cut);
    writeFile(dir.file("text.x"), Bytes(3, 0xEE));  // an earlier program, left alone
    // A small file that unpacks to more than any song: refused before either pass.
    writeFile(dir.file("bomb.vgz"),
              gzipped(concat({makeVgm({0x50, 0x90}), Bytes((256 << 20) + 1, 0x00)}), 1));
    // Headers cut short: within the fields read, and before the data they point to.
    writeFile(dir.file("empty.vgm"), Bytes{});
    writeFile(dir.file("head.vgm"), Bytes(tune.begin(), tune.begin() + 30));
    Bytes noData(tune.begin(), tune.begin() + 0x40);
    noData[0x34] = 0x8C;  // the data at 0xC0
    writeFile(dir.file("nodata.vgm"), noData);
    // Logs without their end marker: half a second kept, and two seconds with nothing heard
    // (the tone's volume off) are refused; a whole log of half a second is a sound effect.
    writeFile(dir.file("half.vgm"),
              makeVgm({0x50, 0x80, 0x50, 0x10, 0x50, 0x90, 0x61, 0x22, 0x56}));
    writeFile(dir.file("hush.vgm"), makeVgm({0x50, 0x9F, 0x61, 0x44, 0xAC, 0x61, 0x44, 0xAC}));
    writeFile(dir.file("sfx.vgm"),
              makeVgm({0x50, 0x80, 0x50, 0x10, 0x50, 0x90, 0x61, 0x22, 0x56, 0x66}));

    ToolResult r =
        runFull(dir, {"--no-display", "tune.vgm", "text.vgm", "PACKED.VGZ", "double.vgm.gz",
                      "opm.vgm", "cut.vgz", "missing.vgm", "bomb.vgz", "empty.vgm", "head.vgm",
                      "nodata.vgm", "half.vgm", "hush.vgm", "sfx.vgm"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out,
              "tune.vgm -> tune.x: 1.0 s; PSG 1; 2 KiB\n"
              "PACKED.VGZ -> PACKED.x: 1.0 s; PSG 1; 2 KiB\n"
              "double.vgm.gz -> double.x: 1.0 s; PSG 1; 2 KiB\n"
              "sfx.vgm -> sfx.x: 0.5 s; PSG 1; 2 KiB\n");
    EXPECT_EQ(r.err,
              "text.vgm: not a VGM log\n"
              "opm.vgm: no YM2612 or SN76489 data (it writes the YM2151)\n"
              "cut.vgz: damaged gzip data (corrupt or cut short)\n"
              "missing.vgm: no such file\n"
              "bomb.vgz: larger than 256 MiB (unpacked), too long for a song\n"
              "empty.vgm: empty file\n"
              "head.vgm: VGM header cut short: the file ends after 30 bytes\n"
              "nodata.vgm: VGM header cut short: the file ends after 64 bytes, before the data "
              "its header places at byte 192\n"
              "half.vgm: the log is cut short: it ends at byte 73 without its end marker, at 0.5 "
              "s; too little to convert (less than a second)\n"
              "hush.vgm: the log is cut short: it ends at byte 72 without its end marker, at 2.0 "
              "s; nothing in it sounds, nothing to convert\n");
    EXPECT_EQ(readFile(dir.file("text.x")), Bytes(3, 0xEE));
    EXPECT_EQ(readFile(dir.file("tune.x")), readFile(dir.file("PACKED.x")));
    EXPECT_EQ(filesIn(dir),
              (std::vector<std::string>{"PACKED.VGZ", "PACKED.x", "bomb.vgz", "cut.vgz",
                                        "double.vgm.gz", "double.x", "empty.vgm", "half.vgm",
                                        "head.vgm", "hush.vgm", "nodata.vgm", "opm.vgm", "sfx.vgm",
                                        "sfx.x", "text.vgm", "text.x", "tune.vgm", "tune.x"}));

    // Into another folder, quietly; a program larger than allowed is not written.
    std::filesystem::create_directory(dir.file("out"));
    r = runFull(dir, {"-q", "--no-display", "-o", "out", "tune.vgm"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(readFile(dir.file("out/tune.x")), readFile(dir.file("tune.x")));
    // Too large: the refusal says what size it fits in, and that size does.
    r = runFull(dir, {"--max-size", "1700", "--output-dir=out", "double.vgm.gz"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err,
              "double.vgm.gz: the program would be larger than 1700 bytes (--max-size); it fits "
              "in 3 KiB (--max-size 3K)\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/double.x")));
    // The program is written as it is made: a refused one leaves nothing behind, not even its
    // temporary file, and the size is reported first where the folder is missing too.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("out")),
                            std::filesystem::directory_iterator()),
              1);
    r = runFull(dir, {"--max-size", "3K", "-o", "out", "double.vgm.gz"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;

    // -o DIR is made as mkdir -p makes it, before anything converts; a file in its place
    // is refused once.
    r = runFull(dir, {"--no-display", "-o", "new/deeper", "tune.vgm"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(readFile(dir.file("new/deeper/tune.x")), readFile(dir.file("tune.x")));
    // A folder it writes nothing into is not left behind, nor those made above it.
    r = runFull(dir, {"-o", "new/empty/deeper", "text.vgm", "missing.vgm"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("new/deeper")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("new/empty")));
    r = runFull(dir, {"-o", "made/../new/also", "text.vgm"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("made")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("new/also")));
    writeFile(dir.file("new/plain"), Bytes(3, 0xEE));
    r = runFull(dir, {"-o", "new/plain", "tune.vgm", "PACKED.VGZ"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "opmcast-full: cannot write into new/plain: it is a file, not a folder\n");
    // -o NAME.x with one log names its program; a folder of that name stays a folder.
    r = runFull(dir, {"--no-display", "-o", "new/mine.x", "tune.vgm"});
    EXPECT_EQ(r.out, "tune.vgm -> new/mine.x: 1.0 s; PSG 1; 2 KiB\n");
    EXPECT_EQ(readFile(dir.file("new/mine.x")), readFile(dir.file("tune.x")));
    r = runFull(dir, {"--no-display", "-o", "fresh/named.x", "tune.vgm"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(readFile(dir.file("fresh/named.x")), readFile(dir.file("tune.x")));
    std::filesystem::create_directory(dir.file("new/dir.x"));
    r = runFull(dir, {"--no-display", "-o", "new/dir.x", "tune.vgm", "PACKED.VGZ"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(readFile(dir.file("new/dir.x/PACKED.x")), readFile(dir.file("tune.x")));
    // Where the program cannot go, the cause is named.
    std::filesystem::create_directory(dir.file("in-the-way"));
    std::filesystem::create_directory(dir.file("in-the-way/tune.x"));
    r = runFull(dir, {"-o", "in-the-way", "tune.vgm"});
    EXPECT_EQ(r.err,
              "tune.vgm: cannot write in-the-way/tune.x: a folder of that name is in the way\n");
    // A folder this user may not write into, holding an earlier program: the folder is named,
    // not the program; a program made read-only is named.
    std::filesystem::create_directory(dir.file("locked"));
    std::filesystem::copy_file(dir.file("tune.x"), dir.file("locked/tune.x"));
    if (::geteuid() == 0) {
        for (const char* name : {"", "tune.vgm", "locked", "locked/tune.x"})
            EXPECT_EQ(::chown(dir.file(name).c_str(), 65534, 65534), 0);
    }
    ::chmod(dir.path.c_str(), 0755);
    ::chmod(dir.file("locked").c_str(), 0555);
    r = runFull(dir, {"-o", "locked", "tune.vgm"}, true);
    EXPECT_EQ(r.err,
              "tune.vgm: cannot write locked/tune.x: this user may not write into the folder "
              "locked\n");
    ::chmod(dir.file("locked").c_str(), 0755);
    ::chmod(dir.file("locked/tune.x").c_str(), 0444);
    r = runFull(dir, {"-o", "locked", "tune.vgm"}, true);
    EXPECT_EQ(r.err,
              "tune.vgm: cannot write locked/tune.x: the program there is read-only (this user "
              "may not replace it)\n");
    // A write that fails is told by its cause, with the program's size: a limit on the size
    // of files, or a full disk; nothing is left behind.
    r = runFull(dir, {"--no-display", "-o", "limited", "tune.vgm"}, false, {.fileSizeLimit = 1024});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err,
              "tune.vgm: cannot write limited/tune.x: the program (3 KiB) is larger than this "
              "process may write (ulimit -f)\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("limited")));  // nor the folder made for it
    EXPECT_EQ(noRoomReason(23 * 1024 + 1, 4096),
              "the disk is full: the program needs 24 KiB, 4 KiB are free");
    EXPECT_EQ(whyNotWritable(dir.file("new/tune.x"), ENOSPC, 2048)
                  .starts_with("cannot write " + dir.file("new/tune.x") +
                               ": the disk is full: the program needs 2 KiB, "),
              true);

    // Help on stdout; a wrong command line is one line naming the option and its value, a
    // pointer to --help, and status 2.
    r = runFull(dir, {"--help"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_TRUE(r.out.starts_with("usage: opmcast-full")) << r.out;
    const struct {
        std::vector<std::string> args;
        const char* line;
    } wrong[] = {
        {{}, "no FILE or DIR to convert"},
        {{"--bogus", "tune.vgm"}, "unknown option --bogus"},
        {{"--max-size", "10X", "tune.vgm"},
         "--max-size 10X: not a size (a whole number of bytes, or of K or M)"},
        {{"--max-size", "1.5M", "tune.vgm"},
         "--max-size 1.5M: not a size (a whole number of bytes, or of K or M)"},
        {{"--max-size=-1", "tune.vgm"},
         "--max-size -1: not a size (a whole number of bytes, or of K or M)"},
        {{"--max-size", "0", "tune.vgm"}, "--max-size 0: less than the player itself (1676 bytes)"},
        {{"--max-size", "1675", "tune.vgm"},
         "--max-size 1675: less than the player itself (1676 bytes)"},
        {{"--loops", "1000", "tune.vgm"}, "--loops 1000: not a number of loops from 0 to 999"},
        {{"--loops=-1", "tune.vgm"}, "--loops -1: not a number of loops from 0 to 999"},
        {{"--fade", "0.2", "tune.vgm"}, "--fade 0.2: not a fade of 0, or of 0.5 to 60 seconds"},
        {{"--fade", "61", "tune.vgm"}, "--fade 61: not a fade of 0, or of 0.5 to 60 seconds"},
        {{"--fade", "nan", "tune.vgm"}, "--fade nan: not a fade of 0, or of 0.5 to 60 seconds"},
        {{"--japanese=1", "tune.vgm"}, "--japanese: takes no value"},
        {{"--max-size", "2000M", "tune.vgm"},
         "--max-size 2000M: more than the 12 MiB an X68000 can load"},
        {{"--max-size", "12289K", "tune.vgm"},
         "--max-size 12289K: more than the 12 MiB an X68000 can load"},
        {{"-j", "0", "tune.vgm"}, "-j 0: not a number of jobs from 1 to 256"},
        {{"tune.vgm", "-o"}, "-o: needs a value"},
        {{"-q=1", "tune.vgm"}, "unknown option -q=1"},
        {{"--repeat", "tune.vgm"}, "--repeat: only with --album or --disk"},
        {{"--skip-bad", "tune.vgm"}, "--skip-bad: only with --album or --disk"},
        {{"--disk", "u.xdf", "--album", "u.x", "tune.vgm"},
         "--disk and --album: the disk holds its own album"},
        {{"--disk", "u.xdf", "-o", "out", "tune.vgm"},
         "--disk and -o: the disk goes where --disk names it"},
        {{"--disk", "u.img", "tune.vgm"},
         "--disk u.img: not the name of a floppy image (NAME.xdf)"},
        {{"--album", "tune.vgm", "tune.vgm"},
         "--album tune.vgm: not the name of a program (NAME.x)"},
        {{"--album", "all.x", "-o", "out", "tune.vgm"},
         "--album and -o: the album goes where --album names it"},
        {{"-o", "-q", "tune.vgm"}, "-o: needs a value, not the option -q"},
        {{"tune.vgm", "--album", "--repeat"}, "--album: needs a value, not the option --repeat"},
        {{"--fade", "10", "tune.vgm"},
         "--fade: only with --loops N (1 or more), --length or --album"},
        {{"--loops", "0", "--fade", "3", "tune.vgm"},
         "--fade: only with --loops N (1 or more), --length or --album"},
        {{"--length", "0.5", "tune.vgm"}, "--length 0.5: not a length of 1 to 86400 seconds"},
        {{"-o", "two.x", "tune.vgm", "PACKED.VGZ"},
         "-o two.x: names one program, for one log; for several, -o names a folder"},
    };
    for (const auto& [args, line] : wrong) {
        r = runFull(dir, args);
        EXPECT_EQ(r.exitStatus, 2) << line;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "opmcast-full: " + std::string(line) + "\nTry 'opmcast-full --help'\n");
    }
    EXPECT_EQ(runFull(dir, {"--max-size", "12M", "-q", "tune.vgm"}).exitStatus, 0);
    EXPECT_EQ(runFull(dir, {"--loops", "2", "--fade", "3", "-q", "tune.vgm"}).exitStatus, 0);
    EXPECT_EQ(runFull(dir, {"-o./-q", "-q", "tune.vgm"}).exitStatus, 0);
}

TEST(FullCommandLine, FoldersSameNamesCutLogsAndJobsLoseNothing) {
    ScratchDir dir;
    const Bytes tune = makeVgm({0x50, 0x80, 0x50, 0x10, 0x50, 0x90, 0x61, 0x44, 0xAC, 0x66});
    const Bytes other = makeVgm({0x50, 0x80, 0x50, 0x20, 0x50, 0x90, 0x61, 0x44, 0xAC, 0x66});
    std::filesystem::create_directories(dir.file("music/sub"));
    std::filesystem::create_directories(dir.file("a"));
    std::filesystem::create_directories(dir.file("b"));
    writeFile(dir.file("a/song.vgm"), tune);
    writeFile(dir.file("b/song.vgm"), other);
    writeFile(dir.file("music/b.vgz"), gzipped(other));
    writeFile(dir.file("music/a.vgm"), tune);
    writeFile(dir.file("music/notes.txt"), Bytes{'h', 'i'});
    writeFile(dir.file("music/sub/c.vgm.gz"), gzipped(tune));
    std::filesystem::create_directories(dir.file("empty"));

    // Two logs that would make one program: the first converts, the second is refused.
    ToolResult r = runFull(dir, {"-o", "out", "a/song.vgm", "b/song.vgm"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "a/song.vgm -> out/song.x: 1.0 s; PSG 1; 2 KiB\n");
    EXPECT_EQ(r.err,
              "b/song.vgm: not converted: a/song.vgm converts to out/song.x too (name one of "
              "them apart, or use another -o)\n");
    runFull(dir, {"a/song.vgm"});
    EXPECT_EQ(readFile(dir.file("out/song.x")), readFile(dir.file("a/song.x")));
    // The same log named twice, or with its folder, converts once and says so (the names it
    // would be given apart with --x68k-names as well).
    writeFile(dir.file("top.vgm"), tune);
    const struct {
        std::vector<std::string> args;
        const char* line;
    } twice[] = {
        {{"a/song.vgm", "a/song.vgm"}, "a/song.vgm -> a/song.x"},
        {{"top.vgm", "./top.vgm"}, "top.vgm -> top.x"},
        {{"-o", "twice", "--x68k-names", "a/song.vgm", "./a/song.vgm", "a"},
         "a/song.vgm -> twice/song.x"},
    };
    for (const auto& [args, line] : twice) {
        r = runFull(dir, args);
        EXPECT_EQ(r.exitStatus, 0) << line;
        EXPECT_EQ(r.out, std::string(line) + ": 1.0 s; PSG 1; 2 KiB\n");
        const std::string log = std::string(line).substr(0, std::string(line).find(" -> "));
        EXPECT_EQ(r.err, log + ": warning: named more than once: converted once\n");
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("twice")),
                            std::filesystem::directory_iterator()),
              1);

    // A folder: its logs in name order; -r mirrors its subfolders under -o; one without logs
    // fails on its own line.
    r = runFull(dir, {"-o", "flat", "music", "empty"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out,
              "music/a.vgm -> flat/a.x: 1.0 s; PSG 1; 2 KiB\n"
              "music/b.vgz -> flat/b.x: 1.0 s; PSG 1; 2 KiB\n");
    EXPECT_EQ(r.err, "empty: no .vgm, .vgz or .vgm.gz files in this folder\n");
    r = runFull(dir, {"-r", "-o", "tree", "music"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out,
              "music/a.vgm -> tree/a.x: 1.0 s; PSG 1; 2 KiB\n"
              "music/b.vgz -> tree/b.x: 1.0 s; PSG 1; 2 KiB\n"
              "music/sub/c.vgm.gz -> tree/sub/c.x: 1.0 s; PSG 1; 2 KiB\n");
    // A mirrored folder whose logs all fail is not made, nor -o DIR when nothing converts.
    std::filesystem::create_directories(dir.file("mixed/bad"));
    writeFile(dir.file("mixed/ok.vgm"), tune);
    writeFile(dir.file("mixed/bad/broken.vgm"), Bytes{'n', 'o'});
    r = runFull(dir, {"-q", "-r", "-j2", "-o", "mixed-out", "mixed"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(std::filesystem::exists(dir.file("mixed-out/ok.x")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("mixed-out/bad")));
    r = runFull(dir, {"-q", "-r", "-o", "none-out", "mixed/bad"});
    EXPECT_EQ(r.err, "mixed/bad/broken.vgm: not a VGM log\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("none-out")));
    r = runFull(dir, {"-r", "music"});  // beside each log
    EXPECT_EQ(readFile(dir.file("music/sub/c.x")), readFile(dir.file("tree/sub/c.x")));

    // A log cut short of its end marker converts as far as it goes, and says so.
    Bytes cut = makeVgm({0x50, 0x80, 0x50, 0x10, 0x50, 0x90, 0x61, 0x44, 0xAC});
    cut[0x18] = 0x88, cut[0x19] = 0x58, cut[0x1A] = 0x01;  // the header: 88 200 samples, 2 s
    writeFile(dir.file("cut.vgm"), cut);
    r = runFull(dir, {"cut.vgm"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "cut.vgm -> cut.x: 1.0 s (cut short: the header gives 2.0 s); PSG 1; 2 KiB\n");
    EXPECT_EQ(r.err,
              "cut.vgm: warning: the log is cut short: it ends at byte 73 without its end "
              "marker, at 1.0 s of the 2.0 s its header gives; converted as far as it goes\n");

    // Several at a time: the same programs, and the lines in the order of the inputs.
    writeFile(dir.file("bad.vgm"), Bytes{'n', 'o'});
    const std::vector<std::string> inputs = {"-o",      "one",        "music",     "bad.vgm",
                                             "cut.vgm", "a/song.vgm", "b/song.vgm"};
    std::vector<std::string> serial = inputs, parallel = inputs;
    serial.insert(serial.begin(), {"-j", "1"});
    parallel.insert(parallel.begin(), "-j3");
    const ToolResult one = runFull(dir, serial);
    std::filesystem::rename(dir.file("one"), dir.file("serial"));
    const ToolResult three = runFull(dir, parallel);
    EXPECT_EQ(three.exitStatus, 1);
    EXPECT_EQ(three.out, one.out);
    EXPECT_EQ(three.err, one.err);
    EXPECT_EQ(std::count(one.out.begin(), one.out.end(), '\n'), 4);
    for (const char* name : {"a.x", "b.x", "cut.x", "song.x"})
        EXPECT_EQ(readFile(dir.file(std::string("one/") + name)),
                  readFile(dir.file(std::string("serial/") + name)))
            << name;

    // Ctrl-C during -j 2: no more conversions start, those under way end whole or leave
    // nothing; every program on the disk has its line, and no temporary file remains.
    Bytes busy;  // a tone moving every 16 samples, 1 MiB of commands
    for (int i = 0; busy.size() < (1 << 20); ++i)
        busy.insert(busy.end(), {0x50, std::uint8_t(0x80 | (i & 0x0F)), 0x50,
                                 std::uint8_t((i >> 4) & 0x3F), 0x50, 0x90, 0x7F});
    busy.push_back(0x66);
    std::filesystem::create_directories(dir.file("many"));
    constexpr int MANY = 40;
    for (int i = 0; i < MANY; ++i)
        writeFile(dir.file("many/" + std::to_string(100 + i) + ".vgm"), makeVgm(busy));
    r = runFull(dir, {"-j", "2", "--no-display", "-o", "many-out", "many"}, false,
                {.interruptAfterMs = 300});
    EXPECT_EQ(r.exitStatus, 128 + SIGINT) << "ended before the interrupt";
    int programs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("many-out"))) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.ends_with(".x")) << name << " left behind";
        const std::string stem = name.substr(0, name.size() - 2);
        EXPECT_NE(r.out.find("many/" + stem + ".vgm -> many-out/" + name + ": "), std::string::npos)
            << name << " without its line";
        ++programs;
    }
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), programs);
    EXPECT_LT(programs, MANY);
    // (Nothing at all where the interrupt came before the first conversion started.)
    EXPECT_TRUE(r.err.empty() || r.err.ends_with(" of 40 logs not converted\n")) << r.err;
}

TEST(FullCommandLine, NamesAnX68000CannotHoldAreFlaggedOrMadeToFit) {
    ScratchDir dir;
    const Bytes tune = makeVgm({0x50, 0x80, 0x50, 0x10, 0x50, 0x90, 0x61, 0x44, 0xAC, 0x66});
    const char* const names[] = {
        "Sonic \xE2\x80\x94 Green Hill \xE2\x98\x86 01.vgm",
        "A very long song name that will not fit.vgm",
        "A very long song name that will not fit, either.vgm",
        "\xE3\x82\xBD\xE3\x83\x8B\xE3\x83\x83\xE3\x82\xAF.vgm",  // Shift-JIS holds it
        "ok_name.vgm", "Caf\xC3\xA9.vgm",
        // 魂斗羅 ザ・ハードコア: 21 bytes of Shift-JIS, the 18th inside コ
        "\xE9\xAD\x82\xE6\x96\x97\xE7\xBE\x85 \xE3\x82\xB6\xE3\x83\xBB\xE3\x83\x8F"
        "\xE3\x83\xBC\xE3\x83\x89\xE3\x82\xB3\xE3\x82\xA2.vgm",
        "\xE9\xAD\x82\xE6\x96\x97\xE7\xBE\x85 \xE3\x82\xB6\xE3\x83\xBB\xE3\x83\x8F"
        "\xE3\x83\xBC\xE3\x83\x89\xE3\x82\xB3\xE3\x82\xA2 2.vgm",
        "\xEF\xBD\xBF\xEF\xBE\x86 Caf\xC3\xA9+v1.2.vgm",  // half-width katakana, é, + and .
        "\xF0\x9F\x8E\xB5.vgm",                           // nothing Shift-JIS holds
    };
    for (const char* name : names) writeFile(dir.file(name), tune);
    ToolResult r = runFull(dir, {"-q", names[0], names[1], names[3], names[4], names[5], names[6]});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err,
              std::string(names[0]) +
                  ": warning: an X68000 cannot hold the name Sonic \xE2\x80\x94 Green Hill "
                  "\xE2\x98\x86 01.x (blanks, 25 bytes before the dot, 18 at most); --x68k-names "
                  "writes names that fit\n" +
                  names[1] +
                  ": warning: an X68000 cannot hold the name A very long song name that will "
                  "not fit.x (blanks, 39 bytes before the dot, 18 at most); --x68k-names writes "
                  "names that fit\n" +
                  names[5] +
                  ": warning: an X68000 cannot hold the name Caf\xC3\xA9.x (characters "
                  "Shift-JIS lacks); --x68k-names writes names that fit\n" +
                  names[6] + ": warning: an X68000 cannot hold the name " +
                  std::string(names[6]).substr(0, std::strlen(names[6]) - 4) +
                  ".x (blanks, 21 bytes before the dot, 18 at most); --x68k-names writes names "
                  "that fit\n");
    // Fitted: what Shift-JIS holds is kept, cut at 18 of its bytes without splitting a
    // character; the rest transliterated; names made unique stay so after the cut.
    r = runFull(dir, {"-o", "x68k", "--x68k-names", names[0], names[1], names[2], names[3],
                      names[4], names[5], names[6], names[7], names[8], names[9]});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* fitted : {
             "Sonic_\xE2\x80\x94_Green_Hil.x",
             "A_very_long_song_n.x",
             "A_very_long_song_2.x",
             "\xE3\x82\xBD\xE3\x83\x8B\xE3\x83\x83\xE3\x82\xAF.x",
             "ok_name.x",
             "Cafe.x",
             // 魂斗羅_ザ・ハード (17 bytes), then 魂斗羅_ザ・ハー_2 (17)
             "\xE9\xAD\x82\xE6\x96\x97\xE7\xBE\x85_\xE3\x82\xB6\xE3\x83\xBB\xE3\x83\x8F"
             "\xE3\x83\xBC\xE3\x83\x89.x",
             "\xE9\xAD\x82\xE6\x96\x97\xE7\xBE\x85_\xE3\x82\xB6\xE3\x83\xBB\xE3\x83\x8F"
             "\xE3\x83\xBC_2.x",
             "\xEF\xBD\xBF\xEF\xBE\x86_Cafe_v1_2.x",
             "song.x",
         })
        EXPECT_NE(r.out.find(std::string("-> x68k/") + fitted + ":"), std::string::npos)
            << fitted << "\n"
            << r.out;

    // Folders mirrored by -r: flagged once each, or made to fit by the same rule, and unique
    // among their siblings.
    for (const char* log : {"music/Sonic 3 & Knuckles/Disc \xE2\x98\x86 One/a.vgm",
                            "music/Sonic 3 & Knuckles/Disc \xE2\x98\x86 One/b.vgm",
                            "music/Sonic 3 & Knuckles/Disc_\xE2\x98\x86_One/a.vgm",
                            "music/Sonic 3 & Knuckles/v1.2/a.vgm"}) {
        std::filesystem::create_directories(std::filesystem::path(dir.file(log)).parent_path());
        writeFile(dir.file(log), tune);
    }
    r = runFull(dir, {"-q", "-r", "-o", "tree", "music"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err,
              "music/Sonic 3 & Knuckles/Disc \xE2\x98\x86 One/a.vgm: warning: an X68000 cannot "
              "hold the folder name tree/Sonic 3 & Knuckles (blanks); --x68k-names writes names "
              "that fit\n"
              "music/Sonic 3 & Knuckles/Disc \xE2\x98\x86 One/a.vgm: warning: an X68000 cannot "
              "hold the folder name tree/Sonic 3 & Knuckles/Disc \xE2\x98\x86 One (blanks); "
              "--x68k-names writes names that fit\n");
    r = runFull(dir, {"-q", "-r", "-o", "fit", "--x68k-names", "music"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* program :
         {"fit/Sonic_3_&_Knuckles/Disc_\xE2\x98\x86_One/a.x",
          "fit/Sonic_3_&_Knuckles/Disc_\xE2\x98\x86_One/b.x",
          "fit/Sonic_3_&_Knuckles/Disc_\xE2\x98\x86_One_2/a.x", "fit/Sonic_3_&_Knuckles/v1.2/a.x"})
        EXPECT_TRUE(std::filesystem::is_regular_file(dir.file(program))) << program;
    EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(dir.file("fit")),
                            std::filesystem::recursive_directory_iterator()),
              8);
}

}  // namespace
