#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>

#include "tests/gzip_support.hpp"
#include "tests/test_support.hpp"

namespace {

namespace fs = std::filesystem;

const std::string NOT_VGM = "not Vgm :( \r\n";
const std::string NO_STUB = "can't open vgmstub.bin :( \r\n";

Bytes expectedOutput(const Bytes& stub, const Bytes& stream) {
    Bytes head(stub.begin(), stub.begin() + 434);
    Bytes tail(12, 0);
    for (std::size_t i = 434; i < 446 && i < stub.size(); ++i) tail[i - 434] = stub[i];
    Bytes out = concat({head, stream, tail});
    const std::uint32_t textSize = std::uint32_t(out.size() - 76);
    out[13] = std::uint8_t(textSize >> 16);
    out[14] = std::uint8_t(textSize >> 8);
    out[15] = std::uint8_t(textSize);
    return out;
}

struct Workspace {
    ScratchDir dir;
    Bytes stub = makeDummyStub();
    Workspace() { writeFile(dir.file("vgmstub.bin"), stub); }
    ProgramResult run(const std::vector<std::string>& args, long fileSizeLimit = 0) {
        return runConverter(dir.path.string(), args, fileSizeLimit);
    }
};

TEST(Converter, EndOfDataAloneGivesPrologueAndEndMarker) {
    Workspace w;
    writeFile(w.dir.file("song.vgm"), makeVgm({0x66}));
    const ProgramResult r = w.run({"song"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.console, "");
    const Bytes out = readFile(w.dir.file("song.x"));
    ASSERT_EQ(out.size(), 570u);
    EXPECT_EQ(out[12], w.stub[12]);
    EXPECT_EQ((Bytes{out[13], out[14], out[15]}), (Bytes{0x00, 0x01, 0xEE}));
    EXPECT_EQ(out, expectedOutput(w.stub, concat({streamPrologue(), {0x00, 0xFF}})));
    EXPECT_EQ(filesIn(w.dir), (std::vector<std::string>{"song.vgm", "song.x", "vgmstub.bin"}));
}

TEST(Converter, ConvertsASmallFmTune) {
    Workspace w;
    writeFile(w.dir.file("tune.vgm"),
              makeVgm({0x52, 0xB0, 0x07, 0x52, 0xA4, 0x22, 0x52, 0xA0, 0x69, 0x52, 0x28, 0xF0, 0x61,
                       0x44, 0xAC, 0x52, 0x28, 0x00, 0x66}));
    const ProgramResult r = w.run({"tune"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.console, "");
    // The first flush sends the start-up voice of the FM channels.
    Bytes startUp;
    for (int c = 0; c < 6; ++c) {
        startUp.insert(startUp.end(), {std::uint8_t(0x20 + c), 0xC7});
        const std::uint8_t multiple[4] = {7, 5, 3, 1};
        for (int op = 0; op < 4; ++op) {
            const auto s = std::uint8_t(c + 8 * op);
            startUp.insert(startUp.end(),
                           {std::uint8_t(0x40 + s), multiple[op], std::uint8_t(0x60 + s), 0x7F,
                            std::uint8_t(0x80 + s), 0x1F, std::uint8_t(0xE0 + s), 0xFF});
        }
    }
    ASSERT_EQ(startUp.size(), 204u);
    const Bytes stream = concat({streamPrologue(),
                                 startUp,
                                 {0x28, 0x36, 0x30, 0x0C},  // block 4, F-number 0x200
                                 {0x28, 0x3A, 0x30, 0x48},  // F-number 0x269
                                 {0x08, 0x78},              // key on, no wait pending
                                 {0x00, 0x37, 0x08, 0x00},  // 56 ticks, key off
                                 {0x00, 0xFF}});
    const Bytes out = readFile(w.dir.file("tune.x"));
    ASSERT_EQ(out.size(), 788u);
    EXPECT_EQ((Bytes{out[13], out[14], out[15]}), (Bytes{0x00, 0x02, 0xC8}));
    EXPECT_EQ(out, expectedOutput(w.stub, stream));
}

TEST(Converter, ALoopKeepsTheTicksAfterItsLastChange) {
    Workspace w;
    // Loop point at the first command; a key-on 2 ticks in, then 3 ticks and 100 samples of
    // silence that belong to the loop.
    const Bytes commands = {0x61, 0x26, 0x06, 0x52, 0x28, 0xF0, 0x61, 0x7D, 0x09, 0x66};
    writeFile(w.dir.file("loop.vgm"), makeVgm(commands, 0x40 - 0x1C));
    ASSERT_EQ(w.run({"loop"}).exitStatus, 0);
    const Bytes looped = readFile(w.dir.file("loop.x"));
    const Bytes ending(looped.end() - 12 - 10, looped.end() - 12);
    EXPECT_EQ(ending, (Bytes{0x00, 0xFE, 0x00, 0x01, 0x08, 0x78, 0x00, 0x02, 0x00, 0xFF}));

    // Without a loop the trailing ticks would only delay the end.
    writeFile(w.dir.file("once.vgm"), makeVgm(commands));
    ASSERT_EQ(w.run({"once"}).exitStatus, 0);
    const Bytes once = readFile(w.dir.file("once.x"));
    EXPECT_EQ(Bytes(once.end() - 12 - 4, once.end() - 12), (Bytes{0x08, 0x78, 0x00, 0xFF}));
}

TEST(Converter, UsesOnlyTheFirst446StubBytesAndZeroFillsAShortStub) {
    for (std::size_t stubLength : {600u, 434u, 2u}) {
        Workspace w;
        w.stub = makeDummyStub(stubLength);
        writeFile(w.dir.file("vgmstub.bin"), w.stub);
        writeFile(w.dir.file("a.vgm"), makeVgm({0x66}));
        ASSERT_EQ(w.run({"a"}).exitStatus, 0);
        Bytes padded = w.stub;
        padded.resize(446, 0);
        EXPECT_EQ(readFile(w.dir.file("a.x")),
                  expectedOutput(padded, concat({streamPrologue(), {0x00, 0xFF}})))
            << stubLength;
    }
}

TEST(Converter, BaseNameIsAllArgumentsJoinedByBlanks) {
    Workspace w;
    writeFile(w.dir.file("song mix.vgm"), makeVgm({0x66}));
    EXPECT_EQ(w.run({"song", "mix"}).exitStatus, 0);
    EXPECT_TRUE(fs::exists(w.dir.file("song mix.x")));

    writeFile(w.dir.file(".vgm"), makeVgm({0x66}));
    EXPECT_EQ(w.run({}).exitStatus, 0);
    EXPECT_TRUE(fs::exists(w.dir.file(".x")));

    // --help and --version are answered only as the sole argument; anywhere else, or spelt
    // otherwise, they are part of the name.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--help", "mix"}, {"mix", "--version"}, {"--helpx"}, {"-h"}, {"--HELP"}}) {
        std::string name;
        for (const std::string& a : args) name += (name.empty() ? "" : " ") + a;
        writeFile(w.dir.file(name + ".vgm"), makeVgm({0x66}));
        const ProgramResult r = w.run(args);
        EXPECT_EQ(r.exitStatus, 0) << name;
        EXPECT_EQ(r.console, "") << name;
        EXPECT_TRUE(fs::exists(w.dir.file(name + ".x"))) << name;
    }
    writeFile(w.dir.file("--help.vgm"), makeVgm({0x66}));
    const ProgramResult help = w.run({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.console.rfind("usage: opmcast NAME\n", 0), 0u) << help.console;
    EXPECT_NE(help.console.find(OPMCAST_INSTALLED_STUB), std::string::npos) << help.console;
    const ProgramResult version = w.run({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.console, "opmcast " OPMCAST_VERSION "\n");
    EXPECT_FALSE(fs::exists(w.dir.file("--help.x")));
}

TEST(Converter, RejectsWhatIsNotVgmWithoutCreatingAnything) {
    Workspace w;
    ProgramResult r = w.run({"missing"});
    EXPECT_EQ(r.console, NOT_VGM);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(filesIn(w.dir), std::vector<std::string>{"vgmstub.bin"});

    for (const Bytes& input : {Bytes{}, Bytes{'V', 'g', 'm'}, Bytes{'V', 'g', 'm', '!', 0x66},
                               Bytes{'v', 'g', 'm', ' ', 0x66}}) {
        writeFile(w.dir.file("bad.vgm"), input);
        r = w.run({"bad"});
        EXPECT_EQ(r.console, NOT_VGM);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(readFile(w.dir.file("bad.vgm")), input);
        EXPECT_FALSE(fs::exists(w.dir.file("bad.x")));
    }
    fs::create_directory(w.dir.file("folder.vgm"));
    EXPECT_EQ(w.run({"folder"}).console, NOT_VGM);
}

TEST(Converter, RejectsAMissingOrForeignStubWithoutCreatingIt) {
    ScratchDir dir;
    writeFile(dir.file("a.vgm"), makeVgm({0x66}));
    ProgramResult r;
    if (fs::exists(OPMCAST_INSTALLED_STUB)) {
        std::cout << "the installed " OPMCAST_INSTALLED_STUB " stands in for a missing one\n";
    } else {
        r = runConverter(dir.path.string(), {"a"});
        EXPECT_EQ(r.console, NO_STUB);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(filesIn(dir), std::vector<std::string>{"a.vgm"});
    }

    for (const Bytes& stub : {Bytes{}, Bytes{'H'}, Bytes{'U', 'H', 0, 0}, Bytes{'M', 'Z', 1}}) {
        writeFile(dir.file("vgmstub.bin"), stub);
        r = runConverter(dir.path.string(), {"a"});
        EXPECT_EQ(r.console, NO_STUB);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(readFile(dir.file("vgmstub.bin")), stub);
        EXPECT_FALSE(fs::exists(dir.file("a.x")));
    }
}

// Where the current folder has no vgmstub.bin at all, the player installed with the program
// is read (by a build that looks for it in a folder of its own); one that is there is read
// first, even when it is no player, and neither is ever created.
TEST(Converter, FallsBackToTheInstalledPlayerOnlyWhereTheFolderHasNone) {
    const Bytes player = makeDummyStub();
    Bytes otherPlayer = makeDummyStub();
    otherPlayer[2] = 0x5A;
    const Bytes foreign = {'M', 'Z', 1, 2};
    enum class Stub { none, executable, notExecutable, folder, danglingLink };
    struct Case {
        const char* what;
        Stub here, installed;
        const Bytes* used;  // the player the program is built around; nullptr: the run fails
    };
    const Case cases[] = {
        {"none here, one installed", Stub::none, Stub::executable, &player},
        {"one here and one installed", Stub::executable, Stub::executable, &otherPlayer},
        {"a foreign one here, one installed", Stub::notExecutable, Stub::executable, nullptr},
        {"a dangling link here, one installed", Stub::danglingLink, Stub::executable, nullptr},
        {"none here, a foreign one installed", Stub::none, Stub::notExecutable, nullptr},
        {"none here, a folder installed", Stub::none, Stub::folder, nullptr},
        {"none here, none installed", Stub::none, Stub::none, nullptr},
    };
    const fs::path installedPath = OPMCAST_PROBE_STUB;
    const auto make = [&](Stub kind, const fs::path& path, const Bytes& stub) {
        if (kind == Stub::executable) writeFile(path.string(), stub);
        if (kind == Stub::notExecutable) writeFile(path.string(), foreign);
        if (kind == Stub::folder) fs::create_directory(path);
        if (kind == Stub::danglingLink) fs::create_symlink(path.string() + ".gone", path);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(installedPath.parent_path());
        fs::create_directories(installedPath.parent_path());
        make(c.installed, installedPath, player);
        ScratchDir dir;
        writeFile(dir.file("a.vgm"), makeVgm({0x66}));
        make(c.here, dir.file("vgmstub.bin"), otherPlayer);
        std::vector<std::string> files = filesIn(dir);
        const ProgramResult r =
            finishConverter(startProgram(OPMCAST_PROBE_BINARY, dir.path.string(), {"a"}));
        if (c.used) {
            EXPECT_EQ(r.exitStatus, 0);
            EXPECT_EQ(r.console, "");
            EXPECT_EQ(readFile(dir.file("a.x")),
                      expectedOutput(*c.used, concat({streamPrologue(), {0x00, 0xFF}})));
            files.insert(files.begin() + 1, "a.x");  // after a.vgm
        } else {
            EXPECT_EQ(r.exitStatus, 1);
            EXPECT_EQ(r.console, NO_STUB);
        }
        EXPECT_EQ(filesIn(dir), files);
    }
    fs::remove_all(installedPath.parent_path());
}

TEST(Converter, ReportsUnknownCommandBytesAndFailsALogForOtherChipsOnly) {
    // 0x31 (a second PSG) and 0x54 (the YM2151) write to other chips; 0x93 (a DAC stream
    // start) has ten operand bytes, which are passed over, and so is the data block, whose
    // bytes are no commands.
    const Bytes otherChips = {0x31, 0x00, 0x93, 1,    2,    3,    4,    5, 6, 7, 8, 9,    10,  0x62,
                              0x96, 0x54, 0x01, 0x02, 0x67, 0x66, 0x00, 2, 0, 0, 0, 0x50, 0x9F};
    const std::string reports =
        "unexpected byte 49\r\nunexpected byte 147\r\nunexpected byte 150\r\n";
    struct Case {
        const char* what;
        Bytes commands;
        std::string console;
        std::size_t outputSize;  // 7: the earlier program is left; the first change of a
                                 // source chip writes the whole start-up image
    };
    const Case cases[] = {
        {"other chips only", concat({otherChips, {0x66}}),
         reports + "no YM2612 or SN76489 data :( \r\n", 7},
        {"other chips and one SN76489 write", concat({otherChips, {0x50, 0x9F, 0x66}}), reports,
         774},
        {"other chips, the end of the data, then an SN76489 write",
         concat({otherChips, {0x66, 0x50, 0x9F}}), reports + "no YM2612 or SN76489 data :( \r\n",
         7},
        {"other chips and one YM2612 write", concat({{0x53, 0x30, 0x00}, otherChips, {0x66}}),
         reports, 772},
        {"DAC stream, stereo mask and seek, no chip",
         {0x94, 0x00, 0x4F, 0xFF, 0xE0, 0, 0, 0, 0, 0x66},
         "unexpected byte 148\r\n",
         570},
    };
    for (const Case& c : cases)
        for (const bool packed : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (packed ? ", gzip-compressed" : ""));
            Workspace w;
            const Bytes vgm = makeVgm(c.commands);
            writeFile(w.dir.file("a.vgm"), packed ? gzipped(vgm) : vgm);
            writeFile(w.dir.file("a.x"), Bytes(7, 0xEE));  // an earlier program
            const ProgramResult r = w.run({"a"});
            EXPECT_EQ(r.console, c.console);
            const bool fails = c.console.ends_with(":( \r\n");
            EXPECT_EQ(r.exitStatus, fails ? 1 : 0);
            EXPECT_EQ(readFile(w.dir.file("a.x")).size(), c.outputSize);
            EXPECT_EQ(filesIn(w.dir), (std::vector<std::string>{"a.vgm", "a.x", "vgmstub.bin"}));
        }
}

TEST(Converter, ReadOnlyInputsConvertAndStayUnchanged) {
    Workspace w;
    const Bytes vgm = makeVgm({0x62, 0x66});
    writeFile(w.dir.file("a.vgm"), vgm);
    ::chmod(w.dir.file("a.vgm").c_str(), 0444);
    ::chmod(w.dir.file("vgmstub.bin").c_str(), 0444);
    EXPECT_EQ(w.run({"a"}).exitStatus, 0);
    EXPECT_EQ(readFile(w.dir.file("a.vgm")), vgm);
    EXPECT_EQ(readFile(w.dir.file("vgmstub.bin")), w.stub);
}

TEST(Converter, ReplacesALongerOldOutputCompletely) {
    Workspace w;
    writeFile(w.dir.file("a.vgm"), makeVgm({0x66}));
    writeFile(w.dir.file("a.x"), Bytes(5000, 0xEE));
    EXPECT_EQ(w.run({"a"}).exitStatus, 0);
    EXPECT_EQ(readFile(w.dir.file("a.x")).size(), 570u);
    EXPECT_EQ(filesIn(w.dir), (std::vector<std::string>{"a.vgm", "a.x", "vgmstub.bin"}));
}

TEST(Converter, AFullDiskFailsCleanlyAndKeepsTheOldOutput) {
    Workspace w;
    Bytes commands;
    for (int i = 0; i < 2000; ++i) commands.insert(commands.end(), {0x62, 0x50, 0x90, 0x50, 0x9F});
    commands.push_back(0x66);
    writeFile(w.dir.file("a.vgm"), makeVgm(commands));
    const Bytes old(100, 0xEE);
    writeFile(w.dir.file("a.x"), old);
    for (long limit : {1L, 433L, 560L, 9000L}) {
        const ProgramResult r = w.run({"a"}, limit);
        EXPECT_EQ(r.console, "can't write a.x :( \r\n") << limit;
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(readFile(w.dir.file("a.x")), old);
        EXPECT_EQ(filesIn(w.dir), (std::vector<std::string>{"a.vgm", "a.x", "vgmstub.bin"}));
    }
}

TEST(Converter, AnOutputNameThatIsADirectoryIsReported) {
    Workspace w;
    writeFile(w.dir.file("a.vgm"), makeVgm({0x66}));
    fs::create_directory(w.dir.file("a.x"));
    const ProgramResult r = w.run({"a"});
    EXPECT_EQ(r.console, "can't write a.x :( \r\n");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(fs::is_directory(w.dir.file("a.x")));
    EXPECT_EQ(filesIn(w.dir), (std::vector<std::string>{"a.vgm", "a.x", "vgmstub.bin"}));
}

// The two cases below need an unprivileged user: as root they run as "nobody".
TEST(Converter, AReadOnlyFolderIsReported) {
    Workspace w;
    fs::permissions(w.dir.path, fs::perms::all);
    fs::create_directory(w.dir.file("locked"));
    writeFile(w.dir.file("locked/b.vgm"), makeVgm({0x66}));
    fs::permissions(w.dir.file("locked"), fs::perms::owner_all | fs::perms::group_read |
                                              fs::perms::group_exec | fs::perms::others_read |
                                              fs::perms::others_exec);
    const ProgramResult r = runConverter(w.dir.path.string(), {"locked/b"}, 0, true);
    if (r.exitStatus >= 125) GTEST_SKIP() << "the converter cannot run as nobody here";
    EXPECT_EQ(r.console, "can't write locked/b.x :( \r\n");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(filesIn(w.dir), (std::vector<std::string>{"locked", "vgmstub.bin"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(w.dir.file("locked")), {}), 1);
}

TEST(Converter, AnOutputThatMayNotBeWrittenIsLeftAlone) {
    Workspace w;
    fs::permissions(w.dir.path, fs::perms::all);
    writeFile(w.dir.file("a.vgm"), makeVgm({0x66}));
    const Bytes old(10, 0x11);
    writeFile(w.dir.file("a.x"), old);
    ::chmod(w.dir.file("a.x").c_str(), 0444);
    const ProgramResult r = runConverter(w.dir.path.string(), {"a"}, 0, true);
    if (r.exitStatus >= 125) GTEST_SKIP() << "the converter cannot run as nobody here";
    EXPECT_EQ(r.console, "can't write a.x :( \r\n");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(readFile(w.dir.file("a.x")), old);
    EXPECT_EQ(filesIn(w.dir), (std::vector<std::string>{"a.vgm", "a.x", "vgmstub.bin"}));
}

TEST(Converter, AnInterruptedRunLeavesNoTemporaryFile) {
    Workspace w;
    // Enough console lines to fill the pipe, so the converter waits there with its output
    // half written.
    Bytes commands;
    for (int i = 0; i < 100000; ++i) commands.insert(commands.end(), {0x31, 0x00});
    commands.push_back(0x66);
    writeFile(w.dir.file("a.vgm"), makeVgm(commands));
    const RunningConverter running = startConverter(w.dir.path.string(), {"a"});
    bool writing = false;
    for (int i = 0; i < 500 && !writing; ++i) {
        writing = filesIn(w.dir).size() == 3;
        if (!writing) ::usleep(10000);
    }
    ASSERT_TRUE(writing) << "the converter never started its output";
    ::kill(running.pid, SIGTERM);
    EXPECT_EQ(finishConverter(running).exitStatus, 128 + SIGTERM);
    EXPECT_EQ(filesIn(w.dir), (std::vector<std::string>{"a.vgm", "vgmstub.bin"}));
}

}  // namespace
