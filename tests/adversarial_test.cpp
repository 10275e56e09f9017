// Hostile inputs and surroundings: every run must end, in time proportional to its input,
// with a correct output or its message and status 1, and leave nothing else behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "channels/file_channels.hpp"
#include "driver/vgm_commands.hpp"
#include "fuzz/conversion_check.hpp"
#include "tests/test_support.hpp"

namespace {

namespace fs = std::filesystem;

const std::string NOT_VGM = "not Vgm :( \r\n";

Bytes executable(const Bytes& stub, const Bytes& stream) {
    Bytes used = stub;
    used.resize(446, 0);
    Bytes out = concat(
        {Bytes(used.begin(), used.begin() + 434), stream, Bytes(used.begin() + 434, used.end())});
    const std::uint32_t textSize = std::uint32_t(out.size() - 76);
    out[13] = std::uint8_t(textSize >> 16);
    out[14] = std::uint8_t(textSize >> 8);
    out[15] = std::uint8_t(textSize);
    return out;
}

Bytes streamAfterPrologue(const Bytes& out) {
    return Bytes(out.begin() + 434 + long(streamPrologue().size()), out.end() - 12);
}

const Bytes END = {0x00, 0xFF};

// Conversions inside the test process, in a scratch directory that holds the stub. Every
// result is also held to the properties the fuzz target checks.
struct InProcess {
    ScratchDir dir;
    Bytes stub = makeDummyStub();
    int startDir = -1;

    InProcess() {
        writeFile(dir.file("vgmstub.bin"), stub);
        startDir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (startDir < 0 || ::chdir(dir.path.c_str()) != 0)
            throw std::runtime_error("cannot enter the scratch directory");
    }
    ~InProcess() {
        if (::fchdir(startDir) != 0) std::abort();
        ::close(startDir);
    }

    ConversionResult convert(const Bytes& vgm) {
        ConversionResult r = convertInProcess(vgm);
        EXPECT_EQ(checkConversion(vgm, stub, streamPrologue(), r), "");
        return r;
    }
};

TEST(Adversarial, FilesOfUpTo64BytesConvertOrAreRejected) {
    InProcess p;
    // A header of zeros with the data at 0x40, and one of 0xFF bytes: a negative loop and
    // data offset, or, cut short, huge positive ones that point past the end.
    Bytes zeros = makeVgm({});
    Bytes ones = makeVgm({});
    std::fill(ones.begin() + 4, ones.end(), 0xFF);
    ASSERT_EQ(zeros.size(), 0x40u);
    for (const Bytes* header : {&zeros, &ones}) {
        for (std::size_t n = 0; n <= 0x40; ++n) {
            SCOPED_TRACE("length " + std::to_string(n) + (header == &ones ? ", 0xFF" : ""));
            const ConversionResult r = p.convert(Bytes(header->begin(), header->begin() + long(n)));
            if (n < 4) {
                EXPECT_EQ(r.exitStatus, 1);
                EXPECT_EQ(r.console, NOT_VGM);
                continue;
            }
            // Nothing reaches the chips: bytes read as commands are zeros (ignored) or
            // 0xFF, reported, with its four operands skipped. 0xFF is a command for another
            // chip, so with no YM2612 or SN76489 write the log is refused.
            std::string console;
            if (header == &ones && n > 0x38) console = "unexpected byte 255\r\n";
            if (header == &ones && n > 0x3D) console += "unexpected byte 255\r\n";
            if (console.empty()) {
                EXPECT_EQ(r.exitStatus, 0);
                EXPECT_EQ(r.output, executable(p.stub, concat({streamPrologue(), END})));
            } else {
                EXPECT_EQ(r.exitStatus, 1);
                EXPECT_FALSE(r.outputExists);
                console += "no YM2612 or SN76489 data :( \r\n";
            }
            EXPECT_EQ(r.console, console);
        }
    }
}

TEST(Adversarial, OffsetsPastTheEndOrNegative) {
    InProcess p;
    const Bytes commands = {0x50, 0x90, 0x62, 0x50, 0x9F, 0x66};
    const ConversionResult plain = p.convert(makeVgm(commands));
    ASSERT_EQ(plain.exitStatus, 0);
    ASSERT_GT(plain.output.size(), 570u);

    // Data said to start past the end: nothing is converted.
    for (std::uint32_t dataOffset : {0x7FFFFFF0u, 0x0001000Cu}) {
        const ConversionResult r = p.convert(makeVgm(commands, 0, dataOffset));
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.output, executable(p.stub, concat({streamPrologue(), END}))) << dataOffset;
    }
    // A negative data offset reads from 0x38: the zeros there are ignored.
    const ConversionResult negative = p.convert(makeVgm(commands, 0, 0xFFFFFFF0u));
    EXPECT_EQ(negative.output, plain.output);

    // Loop offsets that point past the end, that are negative, or whose loop point would
    // lie beyond the largest offset: no loop marker.
    for (std::uint32_t loopOffset : {0x00100000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        const ConversionResult r = p.convert(makeVgm(commands, loopOffset));
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.output, plain.output) << loopOffset;
    }
}

TEST(Adversarial, DataBlockSizesAtTheLimits) {
    InProcess p;
    const Bytes before = {0x50, 0x90, 0x62};
    const Bytes after = {0x50, 0x9F, 0x62, 0x66};
    const ConversionResult reference = p.convert(makeVgm(concat({before, after})));
    const ConversionResult withoutAfter = p.convert(makeVgm(before));

    // The largest size at the end of the file, with and without a few data bytes: the
    // block ends with the file.
    const Bytes largest = {0x67, 0x66, 0x00, 0xFF, 0xFF, 0xFF, 0x7F};
    for (const Bytes& data : {Bytes{}, after}) {
        const ConversionResult r = p.convert(makeVgm(concat({before, largest, data})));
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.output, withoutAfter.output);
    }
    // A negative size skips nothing: the commands after it run.
    const Bytes negative = {0x67, 0x66, 0x00, 0x00, 0x00, 0x00, 0x80};
    EXPECT_EQ(p.convert(makeVgm(concat({before, negative, after}))).output, reference.output);
}

TEST(Adversarial, AMillionLongestWaitsKeepEveryTick) {
    InProcess p;
    constexpr std::uint64_t WAITS = 1000000;
    Bytes waits;
    waits.reserve(3 * WAITS);
    for (std::uint64_t i = 0; i < WAITS; ++i) waits.insert(waits.end(), {0x61, 0xFF, 0xFF});

    // With no chip write after them, the waits never reach the stream.
    const ConversionResult silent = p.convert(makeVgm(concat({waits, {0x66}})));
    EXPECT_EQ(silent.output, executable(p.stub, concat({streamPrologue(), END})));

    // A chip write after them carries all 83 271 918 ticks, far beyond 16 bits.
    const Bytes write = {0x50, 0x90, 0x66};
    const ConversionResult r = p.convert(makeVgm(concat({waits, write})));
    const ConversionResult direct = p.convert(makeVgm(write));
    const std::uint64_t ticks = WAITS * 65535 / 787;
    ASSERT_EQ(ticks, 83271918u);
    Bytes waitPairs;
    const std::uint64_t longest = (ticks - 1) / 254;
    for (std::uint64_t i = 0; i < longest; ++i) waitPairs.insert(waitPairs.end(), {0x00, 0xFD});
    waitPairs.insert(waitPairs.end(), {0x00, std::uint8_t(ticks - 254 * longest - 1)});
    EXPECT_EQ(r.output, executable(p.stub, concat({streamPrologue(), waitPairs,
                                                   streamAfterPrologue(direct.output)})));
}

// Each SN76489 loudness change rewrites the levels of four operators: 16 output bytes for 4
// input bytes, so that 4 MiB of input give a stream of more than 16 MiB.
TEST(Adversarial, AStreamOfMoreThan16MiBGetsItsWholeTextSize) {
    InProcess p;
    Bytes commands;
    commands.reserve(4200001);
    for (int i = 0; i < 1050000; ++i) commands.insert(commands.end(), {0x50, 0x90, 0x50, 0x9F});
    commands.push_back(0x66);
    const ConversionResult r = p.convert(makeVgm(commands));
    ASSERT_EQ(r.exitStatus, 0);
    const Bytes& out = r.output;
    ASSERT_GT(out.size(), (1u << 24) + 76);
    const std::uint64_t textSize = std::uint64_t(out[12]) << 24 | std::uint64_t(out[13]) << 16 |
                                   std::uint64_t(out[14]) << 8 | out[15];
    EXPECT_EQ(textSize, out.size() - 76);
}

TEST(Adversarial, EveryCommandCutShortReadsZerosForTheMissingBytes) {
    InProcess p;
    // Operand bytes that do something for most commands: a key-on, a PSG latch, a wait.
    const Bytes operands = {0x28, 0xF1, 0x90, 0x03, 0x61, 0x80, 0x12, 0x01, 0x00, 0x7F, 0x22};
    const Bytes zeros(12, 0x00);  // more than any command's operands; zero commands do nothing
    for (int command = 0; command <= 0xFF; ++command) {
        const int length = vgmOperandLength(std::uint8_t(command));
        for (int present = 0; present <= length && present <= int(operands.size()); ++present) {
            SCOPED_TRACE("command " + std::to_string(command) + ", " + std::to_string(present) +
                         " operand bytes");
            const Bytes given = concat(
                {{std::uint8_t(command)}, Bytes(operands.begin(), operands.begin() + present)});
            const ConversionResult cut = p.convert(makeVgm(given));
            const ConversionResult padded = p.convert(makeVgm(concat({given, zeros})));
            // A command for another chip alone makes a log with nothing to play.
            EXPECT_EQ(cut.exitStatus, isOtherChipCommand(std::uint8_t(command)) ? 1 : 0);
            EXPECT_EQ(cut.console, padded.console);
            EXPECT_EQ(cut.output, padded.output);
        }
    }
}

TEST(Adversarial, InputsAndStubsThatAreNotRegularFilesAreRejectedAtOnce) {
    const Bytes stub = makeDummyStub();
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> kinds = {
        {"directory", [](const std::string& n) { fs::create_directory(n); }},
        {"fifo", [](const std::string& n) { ASSERT_EQ(::mkfifo(n.c_str(), 0600), 0); }},
        {"/dev/zero", [](const std::string& n) { fs::create_symlink("/dev/zero", n); }},
        {"link to a directory", [](const std::string& n) { fs::create_directory_symlink("/", n); }},
    };
    for (const auto& [kind, make] : kinds) {
        SCOPED_TRACE(kind);
        ScratchDir dir;
        writeFile(dir.file("vgmstub.bin"), stub);
        make(dir.file("song.vgm"));
        ProgramResult r = runConverter(dir.path.string(), {"song"});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.console, NOT_VGM);
        EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"song.vgm", "vgmstub.bin"}));

        ScratchDir other;
        writeFile(other.file("song.vgm"), makeVgm({0x66}));
        make(other.file("vgmstub.bin"));
        r = runConverter(other.path.string(), {"song"});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.console, "can't open vgmstub.bin :( \r\n");
        EXPECT_EQ(filesIn(other), (std::vector<std::string>{"song.vgm", "vgmstub.bin"}));
    }
}

// The output is written beside its name and renamed into place, which would replace the
// link instead of writing to the device: a name that leads to anything but a regular file
// is refused, and the link stays as it was.
TEST(Adversarial, AnOutputLinkedToADeviceIsRefusedAndKept) {
    ScratchDir dir;
    writeFile(dir.file("vgmstub.bin"), makeDummyStub());
    writeFile(dir.file("song.vgm"), makeVgm({0x50, 0x90, 0x66}));
    fs::create_symlink("/dev/full", dir.file("song.x"));
    const ProgramResult r = runConverter(dir.path.string(), {"song"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.console, "can't write song.x :( \r\n");
    EXPECT_TRUE(fs::is_symlink(dir.file("song.x")));
    EXPECT_EQ(fs::read_symlink(dir.file("song.x")), "/dev/full");
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"song.vgm", "song.x", "vgmstub.bin"}));
}

// Signals that would end the run halfway through must not leave the temporary output
// behind: a reader of the console that goes away, and a file size limit whose signal is
// left at its default action.
TEST(Adversarial, AVanishingConsoleOrAFileSizeLimitLeavesNoTemporaryFile) {
    Bytes commands;
    for (int i = 0; i < 20000; ++i) commands.insert(commands.end(), {0x31, 0x00});
    for (int i = 0; i < 2000; ++i) commands.insert(commands.end(), {0x62, 0x50, 0x90, 0x50, 0x9F});
    commands.push_back(0x66);
    ScratchDir dir;
    writeFile(dir.file("vgmstub.bin"), makeDummyStub());
    writeFile(dir.file("song.vgm"), makeVgm(commands));
    ASSERT_EQ(runConverter(dir.path.string(), {"song"}).exitStatus, 0);
    const Bytes complete = readFile(dir.file("song.x"));
    fs::remove(dir.file("song.x"));

    const ProgramResult closed = finishConverter(startConverter(dir.path.string(), {"song"}), 16);
    EXPECT_EQ(closed.exitStatus, 0);
    EXPECT_EQ(readFile(dir.file("song.x")), complete);
    fs::remove(dir.file("song.x"));
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"song.vgm", "vgmstub.bin"}));

    const ProgramResult limited = runConverter(dir.path.string(), {"song"}, 4096);
    EXPECT_EQ(limited.exitStatus, 1);
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"song.vgm", "vgmstub.bin"}));
}

// A file shortened by someone else while it is read (or one that cannot be read any
// further) ends where its data ends; the command loop would otherwise read zeros forever.
TEST(Adversarial, AnInputThatShrinksWhileItIsReadStillEnds) {
    ScratchDir dir;
    const std::string name = dir.file("song.vgm");
    writeFile(name, makeVgm(Bytes(100000, 0x62)));
    const int n = fileFreeNumber();
    ASSERT_EQ(fileOpen(name, n, FileAccess::readOnly), FILE_OK);
    std::uint8_t b = 0;
    fileRead(n, 0, &b, 1);
    ASSERT_EQ(::truncate(name.c_str(), 20000), 0);
    int reads = 1;
    while (!fileAtEnd(n) && reads < 200000) {
        fileRead(n, 0, &b, 1);
        ++reads;
    }
    EXPECT_TRUE(fileAtEnd(n));
    EXPECT_EQ(fileOffset(n), 20000);
    b = 0x55;
    EXPECT_EQ(fileRead(n, 0, &b, 1), FILE_OK);
    EXPECT_EQ(b, 0);
    fileClose(n);
}

// The checks the fuzz target relies on must notice a damaged result. Damage to the stream
// comes with a correct size field, so that each rule is seen to work by itself.
TEST(ConversionCheck, NoticesDamagedResults) {
    InProcess p;
    const Bytes vgm = makeVgm({0x52, 0x28, 0xF0, 0x62, 0x50, 0x90, 0x66}, 0x40 - 0x1C);
    const ConversionResult good = p.convert(vgm);
    ASSERT_EQ(checkConversion(vgm, p.stub, streamPrologue(), good), "");
    const Bytes stream(good.output.begin() + 434, good.output.end() - 12);
    const auto beforeEnd = [](Bytes pairs) {
        return [pairs](Bytes& s) { s.insert(s.end() - 2, pairs.begin(), pairs.end()); };
    };
    const std::vector<std::pair<std::string, std::function<void(Bytes&)>>> streamDamages = {
        {"no end marker", [](Bytes& s) { s.back() = 0x00; }},
        {"two end markers", [](Bytes& s) { s.insert(s.end(), END.begin(), END.end()); }},
        {"two loop markers", beforeEnd({0x00, 0xFE})},
        {"repeated value", beforeEnd({0x20, 0xC7})},
        {"register 0x01", beforeEnd({0x01, 0x02})},
        {"key on of channel 6", beforeEnd({0x08, 0x7E})},
        {"wait after a short wait", beforeEnd({0x00, 0x05, 0x00, 0x01})},
        {"no prologue", [](Bytes& s) { s[10] ^= 1; }},
    };
    for (const auto& [name, damage] : streamDamages) {
        ConversionResult bad = good;
        Bytes damaged = stream;
        damage(damaged);
        bad.output = executable(p.stub, damaged);
        EXPECT_NE(checkConversion(vgm, p.stub, streamPrologue(), bad), "") << name;
    }
    const std::vector<std::pair<std::string, std::function<void(ConversionResult&)>>> damages = {
        {"odd length", [](ConversionResult& r) { r.output.push_back(0); }},
        {"size field", [](ConversionResult& r) { r.output[15] ^= 1; }},
        {"stub head", [](ConversionResult& r) { r.output[100] ^= 1; }},
        {"stub tail", [](ConversionResult& r) { r.output.back() ^= 1; }},
        {"failure status", [](ConversionResult& r) { r.exitStatus = 1; }},
        {"stray console line", [](ConversionResult& r) { r.console = "unexpected byte 256\r\n"; }},
        {"file left behind", [](ConversionResult& r) { r.extra.push_back("song.x.tmp1"); }},
        {"open channel", [](ConversionResult& r) { r.freeChannel = 2; }},
        {"input changed", [](ConversionResult& r) { r.inputAfter.push_back(0); }},
    };
    for (const auto& [name, damage] : damages) {
        ConversionResult bad = good;
        damage(bad);
        EXPECT_NE(checkConversion(vgm, p.stub, streamPrologue(), bad), "") << name;
    }

    // Without a loop, neither a loop marker nor the ticks after the last change belong in
    // the stream.
    const Bytes once = makeVgm({0x50, 0x90, 0x61, 0x00, 0x10, 0x66});
    const ConversionResult plain = p.convert(once);
    for (const Bytes& pair : {Bytes{0x00, 0x05}, Bytes{0x00, 0xFE}}) {
        ConversionResult bad = plain;
        Bytes damaged(plain.output.begin() + 434, plain.output.end() - 12);
        damaged.insert(damaged.end() - 2, pair.begin(), pair.end());
        bad.output = executable(p.stub, damaged);
        EXPECT_NE(checkConversion(once, p.stub, streamPrologue(), bad), "") << int(pair[1]);
    }
}

// Every seed and every input the fuzzer ever found a fault with still converts correctly.
TEST(FuzzInputs, SeedsAndRegressionsKeepEveryProperty) {
    InProcess p;
    int inputs = 0;
    for (const char* folder : {"corpus", "regressions"}) {
        for (const auto& entry : fs::directory_iterator(fs::path(OPMCAST_FUZZ_DIR) / folder)) {
            if (entry.path().extension() == ".md") continue;
            SCOPED_TRACE(entry.path().string());
            const ConversionResult r = p.convert(readFile(entry.path().string()));
            EXPECT_LE(r.exitStatus, 1);
            ++inputs;
        }
    }
    EXPECT_GT(inputs, 10);
}

}  // namespace
