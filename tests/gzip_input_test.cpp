#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/gzip_support.hpp"
#include "tests/stream_reader.hpp"
#include "tests/test_support.hpp"

namespace {

namespace fs = std::filesystem;

const std::string NOT_VGM = "not Vgm :( \r\n";

struct Workspace {
    ScratchDir dir;
    Workspace() { writeFile(dir.file("vgmstub.bin"), makeDummyStub()); }
    ProgramResult run(const std::vector<std::string>& args) {
        return runConverter(dir.path.string(), args);
    }
    // The output of the plain file, converted in a workspace of its own.
    static Bytes plainOutput(const Bytes& vgm) {
        Workspace w;
        writeFile(w.dir.file("plain.vgm"), vgm);
        const ProgramResult r = w.run({"plain"});
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.console, "");
        return readFile(w.dir.file("plain.x"));
    }
};

// FM writes with varied values (they compress poorly), a loop point past the first read
// buffers and a data offset that leaves a gap after the header.
Bytes sampleVgm() {
    Bytes commands;
    const Bytes values = noise(24000, 3);
    for (std::size_t i = 0; i < values.size(); i += 2)
        commands.insert(commands.end(), {0x52, std::uint8_t(0x30 + values[i] % 0x60), values[i + 1],
                                         0x61, values[i + 1], 0x02});
    commands.push_back(0x66);
    Bytes vgm = makeVgm(Bytes(0x80, 0), 0x9000 - 0x1C, 0x0C + 0x80);
    vgm.insert(vgm.end(), commands.begin(), commands.end());
    vgm.insert(vgm.end(), 200, 'G');  // a tag after the end of the data
    return vgm;
}

TEST(GzipInput, EveryCorpusFileConvertsAsItsPlainSelf) {
    const std::vector<fs::path> files = corpusFiles();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << corpusDir();
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const Bytes vgm = readFile(file.string());
        Workspace w;
        writeFile(w.dir.file("plain.vgm"), vgm);
        const ProgramResult plain = w.run({"plain"});
        ASSERT_EQ(plain.exitStatus, 0);
        const Bytes expected = readFile(w.dir.file("plain.x"));

        writeFile(w.dir.file("packed.vgz"), gzipped(vgm, 9));
        writeFile(w.dir.file("inside.vgm"), gzipped(vgm, 1));
        for (const char* name : {"packed", "inside"}) {
            const ProgramResult r = w.run({name});
            EXPECT_EQ(r.exitStatus, 0) << name;
            EXPECT_EQ(r.console, plain.console) << name;
            EXPECT_EQ(readFile(w.dir.file(std::string(name) + ".x")), expected) << name;
        }
    }
}

TEST(GzipInput, OffsetsCountDecompressedBytes) {
    const Bytes vgm = sampleVgm();
    const Bytes expected = Workspace::plainOutput(vgm);
    ASSERT_GT(expected.size(), 446u);
    EXPECT_EQ(summarizeStream(Bytes(expected.begin() + 434, expected.end() - 12)).loopMarkers, 1);
    Workspace w;
    // Two members, as from concatenated gzip files, then padding.
    const std::ptrdiff_t half = std::ptrdiff_t(vgm.size() / 2);
    writeFile(w.dir.file("song.vgz"),
              concat({gzipped(Bytes(vgm.begin(), vgm.begin() + half)),
                      gzipped(Bytes(vgm.begin() + half, vgm.end())), Bytes(16, 0)}));
    EXPECT_EQ(w.run({"song"}).exitStatus, 0);
    EXPECT_EQ(readFile(w.dir.file("song.x")), expected);
}

TEST(GzipInput, NamesAsTyped) {
    const Bytes a = makeVgm({0x52, 0x28, 0xF0, 0x66}), b = makeVgm({0x52, 0x28, 0xF1, 0x66});
    const Bytes outA = Workspace::plainOutput(a), outB = Workspace::plainOutput(b);
    ASSERT_NE(outA, outB);
    {  // BASE.vgz when there is no BASE.vgm
        Workspace w;
        writeFile(w.dir.file("song.vgz"), gzipped(a));
        EXPECT_EQ(w.run({"song"}).exitStatus, 0);
        EXPECT_EQ(readFile(w.dir.file("song.x")), outA);
    }
    {  // BASE.vgm comes first
        Workspace w;
        writeFile(w.dir.file("song.vgm"), a);
        writeFile(w.dir.file("song.vgz"), gzipped(b));
        EXPECT_EQ(w.run({"song"}).exitStatus, 0);
        EXPECT_EQ(readFile(w.dir.file("song.x")), outA);
    }
    {  // the file name itself, plain or packed, with or without blanks
        Workspace w;
        writeFile(w.dir.file("one.vgz"), gzipped(a));
        writeFile(w.dir.file("two.vgm"), gzipped(b));
        writeFile(w.dir.file("my song.vgm"), b);
        EXPECT_EQ(w.run({"one.vgz"}).exitStatus, 0);
        EXPECT_EQ(w.run({"two.vgm"}).exitStatus, 0);
        EXPECT_EQ(w.run({"my", "song.vgm"}).exitStatus, 0);
        EXPECT_EQ(readFile(w.dir.file("one.x")), outA);
        EXPECT_EQ(readFile(w.dir.file("two.x")), outB);
        EXPECT_EQ(readFile(w.dir.file("my song.x")), outB);
        EXPECT_EQ(filesIn(w.dir),
                  (std::vector<std::string>{"my song.vgm", "my song.x", "one.vgz", "one.x",
                                            "two.vgm", "two.x", "vgmstub.bin"}));
    }
    {  // BASE.vgm and BASE.vgz win over the name typed
        Workspace w;
        writeFile(w.dir.file("x.vgz"), gzipped(a));
        writeFile(w.dir.file("x.vgz.vgz"), gzipped(b));
        EXPECT_EQ(w.run({"x.vgz"}).exitStatus, 0);
        EXPECT_EQ(readFile(w.dir.file("x.vgz.x")), outB);
        EXPECT_FALSE(fs::exists(w.dir.file("x.x")));
    }
}

TEST(GzipInput, OtherNamesAreNotVgm) {
    Workspace w;
    writeFile(w.dir.file("song"), makeVgm({0x66}));
    writeFile(w.dir.file("song.txt"), gzipped(makeVgm({0x66})));
    writeFile(w.dir.file("song.VGZ"), gzipped(makeVgm({0x66})));
    fs::create_directory(w.dir.file("folder.vgz"));
    const std::vector<std::string> before = filesIn(w.dir);
    for (const char* typed :
         {"song", "song.txt", "song.VGZ", "missing.vgz", "folder.vgz", "song.x"}) {
        const ProgramResult r = w.run({typed});
        EXPECT_EQ(r.console, NOT_VGM) << typed;
        EXPECT_EQ(r.exitStatus, 1) << typed;
    }
    writeFile(w.dir.file("text.vgz"), gzipped({'M', 'T', 'h', 'd', 0, 0, 0, 6}));
    EXPECT_EQ(w.run({"text"}).console, NOT_VGM);
    fs::remove(w.dir.file("text.vgz"));
    EXPECT_EQ(filesIn(w.dir), before);

    fs::remove(w.dir.file("vgmstub.bin"));
    writeFile(w.dir.file("a.vgz"), gzipped(makeVgm({0x66})));
    if (fs::exists(OPMCAST_INSTALLED_STUB)) return;  // the installed player would stand in
    EXPECT_EQ(w.run({"a.vgz"}).console, "can't open vgmstub.bin :( \r\n");
    EXPECT_FALSE(fs::exists(w.dir.file("a.x")));
}

TEST(GzipInput, DamagedDataFailsAndLeavesTheOldOutput) {
    const Bytes packed = gzipped(sampleVgm());
    std::vector<Bytes> damaged;
    for (std::size_t keep :
         {2ul, 3ul, 10ul, 40ul, packed.size() / 2, packed.size() - 8, packed.size() - 1})
        damaged.emplace_back(packed.begin(), packed.begin() + std::ptrdiff_t(keep));
    for (std::size_t at : {10ul, packed.size() / 3, packed.size() - 6}) {
        damaged.push_back(packed);
        damaged.back()[at] ^= 0x5A;
    }
    for (const char* name : {"song.vgz", "song.vgm"}) {
        for (const Bytes& input : damaged) {
            Workspace w;
            writeFile(w.dir.file(name), input);
            const Bytes old(30, 0xEE);
            writeFile(w.dir.file("song.x"), old);
            const std::vector<std::string> before = filesIn(w.dir);
            const ProgramResult r = w.run({"song"});
            SCOPED_TRACE(std::string(name) + ", " + std::to_string(input.size()) + " bytes");
            EXPECT_EQ(r.console, "can't unpack " + std::string(name) + " :( \r\n");
            EXPECT_EQ(r.exitStatus, 1);
            EXPECT_EQ(readFile(w.dir.file("song.x")), old);
            EXPECT_EQ(filesIn(w.dir), before);
        }
    }
}

}  // namespace
