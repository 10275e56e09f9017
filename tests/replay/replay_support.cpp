#include "replay_support.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "full/player/full_player.hpp"

namespace replay {

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::vector<std::uint8_t>& stub() {
    static const std::vector<std::uint8_t> bytes = readFile(OPMCAST_VGMSTUB);
    return bytes;
}

std::vector<std::uint8_t> song(const std::vector<std::uint8_t>& stream) {
    return opmsim::buildExecutable(stub(), stream);
}

std::vector<std::uint8_t> fullSong(const std::vector<std::uint8_t>& stream) {
    return buildFullProgram(stream);
}

std::vector<std::uint8_t> convertWithFull(const std::vector<std::uint8_t>& vgm, std::string& log) {
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/opmcast-replay-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a scratch folder");
    const fs::path dir = pattern;
    {
        std::ofstream out(dir / "log.vgm", std::ios::binary);
        out.write(reinterpret_cast<const char*>(vgm.data()), std::streamsize(vgm.size()));
    }
    // The folder is ours, made by mkdtemp: its name holds no quote.
    const std::string command = "cd '" + dir.string() + "' && '" + std::string(OPMCAST_FULL_EXE) +
                                "' log.vgm > convert.log 2>&1";
    const int status = std::system(command.c_str());
    std::vector<std::uint8_t> exe;
    if (status == 0 && fs::exists(dir / "log.x")) exe = readFile((dir / "log.x").string());
    const std::vector<std::uint8_t> text = readFile((dir / "convert.log").string());
    log.assign(text.begin(), text.end());
    fs::remove_all(dir);
    return exe;
}

std::vector<std::uint8_t> program(const std::vector<std::uint16_t>& code) {
    std::vector<std::uint8_t> file(opmsim::HEADER_SIZE, 0);
    auto put32 = [&file](std::size_t offset, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) file[offset + i] = std::uint8_t(value >> (24 - 8 * i));
    };
    file[0] = 'H';
    file[1] = 'U';
    put32(0x0C, std::uint32_t(2 * code.size()));  // text
    put32(0x14, 256);                             // bss
    for (std::uint16_t word : code) {
        file.push_back(std::uint8_t(word >> 8));
        file.push_back(std::uint8_t(word));
    }
    return file;
}

Replay replay(const std::vector<std::uint8_t>& executable, const opmsim::SimOptions& options,
              double tickTolerance) {
    Replay r;
    r.stream = opmsim::decodeExecutableStream(executable, options.player);
    r.result = opmsim::runProgram(executable, options);
    r.check = opmsim::checkReplay(r.stream, r.result, tickTolerance);
    return r;
}

std::string describe(const Replay& r) {
    std::string text;
    for (const std::string& p : r.check.problems) text += p + "\n";
    return text;
}

std::vector<opmsim::OpmWrite> writesAfterStartUp(const opmsim::SimResult& result) {
    std::vector<opmsim::OpmWrite> writes;
    for (const opmsim::OpmWrite& w : result.writes) {
        if (!isTimerRegister(w.reg)) writes.push_back(w);
    }
    const std::size_t startUp = std::min(writes.size(), std::size(PLAYER_START_WRITES));
    writes.erase(writes.begin(), writes.begin() + std::ptrdiff_t(startUp));
    return writes;
}

}  // namespace replay
