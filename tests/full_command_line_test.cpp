// opmcast-full's command line: files and folders, where the programs go, what it says and
// when it refuses.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

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

    ToolResult r = runFull(dir, {"--no-display", "tune.vgm", "text.vgm", "PACKED.VGZ",
                                 "double.vgm.gz", "opm.vgm", "cut.vgz", "missing.vgm", "bomb.vgz"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out,
              "tune.vgm -> tune.x: 1.0 s; PSG 1; 2 KiB\n"
              "PACKED.VGZ -> PACKED.x: 1.0 s; PSG 1; 2 KiB\n"
              "double.vgm.gz -> double.x: 1.0 s; PSG 1; 2 KiB\n");
    EXPECT_EQ(r.err,
              "text.vgm: not a VGM log\n"
              "opm.vgm: no YM2612 or SN76489 data (it writes the YM2151)\n"
              "cut.vgz: damaged gzip data (corrupt or cut short)\n"
              "missing.vgm: no such file\n"
              "bomb.vgz: larger than 256 MiB (unpacked), too long for a song\n");
    EXPECT_EQ(readFile(dir.file("text.x")), Bytes(3, 0xEE));
    EXPECT_EQ(readFile(dir.file("tune.x")), readFile(dir.file("PACKED.x")));
    EXPECT_EQ(filesIn(dir),
              (std::vector<std::string>{"PACKED.VGZ", "PACKED.x", "bomb.vgz", "cut.vgz",
                                        "double.vgm.gz", "double.x", "opm.vgm", "text.vgm",
                                        "text.x", "tune.vgm", "tune.x"}));

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
    r = runFull(dir, {"-o", "tune.x", "tune.vgm", "PACKED.VGZ"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "opmcast-full: cannot write into tune.x: it is a file, not a folder\n");
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
        {{"--repeat", "tune.vgm"}, "--repeat: only with --album"},
        {{"--skip-bad", "tune.vgm"}, "--skip-bad: only with --album"},
        {{"--album", "tune.vgm", "tune.vgm"},
         "--album tune.vgm: not the name of a program (NAME.x)"},
        {{"--album", "all.x", "-o", "out", "tune.vgm"},
         "--album and -o: the album goes where --album names it"},
    };
    for (const auto& [args, line] : wrong) {
        r = runFull(dir, args);
        EXPECT_EQ(r.exitStatus, 2) << line;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "opmcast-full: " + std::string(line) + "\nTry 'opmcast-full --help'\n");
    }
    EXPECT_EQ(runFull(dir, {"--max-size", "12M", "-q", "tune.vgm"}).exitStatus, 0);
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
}

TEST(FullCommandLine, NamesAnX68000CannotHoldAreFlaggedOrMadeToFit) {
    ScratchDir dir;
    const Bytes tune = makeVgm({0x50, 0x80, 0x50, 0x10, 0x50, 0x90, 0x61, 0x44, 0xAC, 0x66});
    const char* const names[] = {
        "Sonic \xE2\x80\x94 Green Hill \xE2\x98\x86 01.vgm",
        "A very long song name that will not fit.vgm",
        "A very long song name that will not fit, either.vgm",
        "\xE3\x82\xBD\xE3\x83\x8B\xE3\x83\x83\xE3\x82\xAF.vgm",  // Shift-JIS holds it
        "ok_name.vgm",
        "Caf\xC3\xA9.vgm"};
    for (const char* name : names) writeFile(dir.file(name), tune);
    ToolResult r = runFull(dir, {"-q", names[0], names[1], names[3], names[4], names[5]});
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
                  "Shift-JIS lacks); --x68k-names writes names that fit\n");
    r = runFull(dir,
                {"-o", "x68k", "--x68k-names", names[0], names[1], names[2], names[4], names[5]});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("-> x68k/Sonic_--_Green_Hil.x:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("-> x68k/A_very_long_song_n.x:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("-> x68k/A_very_long_song_2.x:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("-> x68k/ok_name.x:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("-> x68k/Cafe.x:"), std::string::npos) << r.out;
}

}  // namespace
