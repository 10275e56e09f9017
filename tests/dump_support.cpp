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
    cases.push_back({"tail cut short", shortTail, afterPrologue + 6});
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
