#include "tests/dump_support.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "full/player/full_player.hpp"

Bytes makeDumpStub() {
    Bytes stub = makeDummyStub();
    stub[12] = 0;
    return stub;
}

Bytes makeExecutable(const Bytes& stream) {
    const Bytes stub = makeDumpStub();
    Bytes out = concat({Bytes(stub.begin(), stub.begin() + 434), stream,
                        Bytes(stub.begin() + 434, stub.begin() + 446)});
    const std::uint32_t textSize = std::uint32_t(out.size() - 76);
    for (int i = 0; i < 4; ++i) out[std::size_t(12 + i)] = std::uint8_t(textSize >> (24 - 8 * i));
    return out;
}

Bytes streamWith(const Bytes& pairs) {
    return concat({streamPrologue(), pairs, {0x00, 0xFF}});
}

DrumProgram drumProgram() {
    std::vector<FullBankSample> samples(3);
    for (int i = 0; i < 100; ++i) samples[0].bytes.push_back(std::uint8_t(0x17 * i));
    samples[2].bytes = {0x77, 0x77, 0xFF, 0xFF, 0x08};
    samples[2].dividerBits = 0x00;
    DrumProgram drums;
    drums.stream = {
        0x00, 0x09,              // 10 steps
        0x00, 0xF3, 0x00, 0x00,  // step 10: sample 0, both sides
        0x00, 0x00,              //
        0x00, 0xF1, 0x00, 0x00,  // step 11: sample 0 again, right only, cutting the first
        0x00, 0xF6,              // and at once on the left only
        0x00, 0x00,              //
        0x00, 0xF4,              // step 12: on neither side
        0x00, 0xEE,              //
        0x00, 0xF2, 0x00, 0x02,  // step 251: sample 2, left only
        0x00, 0xF1, 0x00, 0x01,  // left out
        0x00, 0xF3, 0x01, 0x05,  // beyond the table (and no register 01 write)
        0x00, 0xF3, 0x00, 0xFF,  // beyond the table (and no end marker)
        0x08, 0x78,              //
        0x00, 0xEF,              //
        0x00, 0xF3, 0x00, 0x00,  // step 491: sample 0
        0x00, 0x00,              //
        0x00, 0xF0,              // step 492: stopped
        0x00, 0xF7,              // both sides, with nothing playing: nothing
        0x00, 0x00,              //
        0x00, 0xFF,              // step 493
    };
    drums.bank = fullBankBytes(samples);
    drums.program = buildFullProgram(drums.stream, drums.bank);
    return drums;
}

std::vector<MalformedFile> malformedExecutables() {
    const Bytes good = makeExecutable(streamWith({0x00, 0x04, 0x60, 0x10}));
    const std::uint64_t afterPrologue = 434 + 122;
    std::vector<MalformedFile> cases;
    Bytes notHu = good;
    notHu[1] = 'V';
    cases.push_back({"no HU magic", notHu, 0});
    cases.push_back({"shorter than head and tail", Bytes(good.begin(), good.begin() + 300), 300});
    cases.push_back(
        {"stream shorter than the prologue",
         makeExecutable(concat(
             {Bytes(streamPrologue().begin(), streamPrologue().begin() + 100), {0x00, 0xFF}})),
         434});
    Bytes odd = good;
    odd.push_back(0);
    cases.push_back({"odd length", odd, good.size()});
    Bytes noEnd = makeExecutable(concat({streamPrologue(), {0x00, 0x04}}));
    cases.push_back({"no end marker", noEnd, noEnd.size()});
    cases.push_back({"register the OPM lacks", makeExecutable(streamWith({0x00, 0x04, 0x05, 0x10})),
                     afterPrologue + 2});
    cases.push_back({"second loop marker",
                     makeExecutable(streamWith({0x00, 0xFE, 0x00, 0x01, 0x00, 0xFE})),
                     afterPrologue + 4});
    Bytes longTail = good;
    longTail.insert(longTail.end(), {0x00, 0x00});
    cases.push_back({"bytes after the tail", longTail, afterPrologue + 6});
    Bytes shortTail = good;
    shortTail.resize(shortTail.size() - 2);
    cases.push_back({"tail cut short", shortTail, 12, "the file is cut short: "});
    Bytes wrongSize = good;
    wrongSize[15] ^= 0x02;
    cases.push_back({"size field mismatch", wrongSize, 12});
    Bytes topByte = good;
    topByte[12] = 0x57;
    cases.push_back({"size field over 16 MiB", topByte, 12});
    // Programs of opmcast-full: no prologue, but the stream never writes the timers.
    cases.push_back(
        {"full program without an end marker", buildFullProgram(Bytes{}), FULL_PLAYER_HEAD_SIZE});
    cases.push_back({"full program writing a timer",
                     buildFullProgram(Bytes{0x00, 0x00, 0x20, 0xC7, 0x14, 0x15, 0x00, 0xFF}),
                     FULL_PLAYER_HEAD_SIZE + 4});
    Bytes fullSize = buildFullProgram(Bytes{0x00, 0x00, 0x00, 0xFF});
    fullSize[14] ^= 0x01;
    cases.push_back({"full program's size field mismatch", fullSize, 12});
    // The drums' bank: its offset (file offset 66, text offset + 64) and its table.
    const DrumProgram drums = drumProgram();
    const std::uint64_t bankAt = FULL_PLAYER_HEAD_SIZE + drums.stream.size();
    const auto patched = [&](std::uint64_t at, std::uint32_t value, int bytes) {
        Bytes file = drums.program;
        for (int i = 0; i < bytes; ++i)
            file[at + std::uint64_t(i)] = std::uint8_t(value >> (8 * (bytes - 1 - i)));
        return file;
    };
    const auto textOffset = std::uint32_t(bankAt - 64);
    cases.push_back({"bank beyond the text", patched(66, 0xFFFFFFC0, 4), 66});
    cases.push_back({"bank at an odd offset", patched(66, textOffset + 1, 4), 66});
    cases.push_back({"bank inside the stream", patched(66, textOffset - 4, 4), bankAt - 4});
    cases.push_back({"bank inside the player", patched(66, 4, 4), 66});
    cases.push_back({"bank after a gap",
                     buildFullProgram(concat({drums.stream, {0x00, 0x00}}), drums.bank), bankAt});
    cases.push_back({"table of 0 entries", patched(bankAt, 0, 4), bankAt});
    cases.push_back({"table of part of an entry", patched(bankAt, 20, 4), bankAt});
    cases.push_back({"table larger than the bank", patched(bankAt, 0x100000, 4), bankAt});
    cases.push_back({"sample past the bank", patched(bankAt + 4, 200, 2), bankAt});
    cases.push_back({"sample over the table", patched(bankAt + 16, 8, 4), bankAt + 16});
    cases.push_back({"divider the chip lacks", patched(bankAt + 6, 0x0C, 1), bankAt + 6});
    return cases;
}

namespace {

std::string readText(const std::string& name) {
    const Bytes b = readFile(name);
    return std::string(b.begin(), b.end());
}

}  // namespace

DumpResult runDump(const std::vector<std::string>& args) {
    ScratchDir capture;
    const std::string outName = capture.file("out"), errName = capture.file("err");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int out = ::open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0) ::_exit(126);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        std::string program = OPMDUMP_BINARY;
        std::vector<std::string> copies = args;
        std::vector<char*> argv{program.data()};
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    DumpResult result;
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readText(outName);
    result.err = readText(errName);
    return result;
}

std::string jsonField(const std::string& line, const std::string& key) {
    const std::string quoted = "\"" + key + "\":";
    const std::size_t start = line.find(quoted);
    if (start == std::string::npos) return "";
    std::size_t end = start + quoted.size();
    int depth = 0;
    for (; end < line.size(); ++end) {
        const char c = line[end];
        if (c == '[' || c == '{') ++depth;
        if (c == ']' || c == '}') {
            if (depth == 0) break;
            --depth;
            if (depth == 0) {
                ++end;
                break;
            }
        }
        if (c == ',' && depth == 0) break;
    }
    return line.substr(start + quoted.size(), end - start - quoted.size());
}
