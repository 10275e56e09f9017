// libFuzzer target for opmcast-full: converts every input inside this process and checks that
// the result is a well-formed program or a failure with a reason and no output, that nothing
// else is left behind, the input is unchanged, and a second run gives the same bytes.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "full/driver/convert_log.hpp"
#include "full/player/full_player.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t MAX_SIZE = 64 * 1024;  // small, so that the size limit is reached too

fs::path workDir;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "opmcast-full property violated: %s\n", what.c_str());
    std::abort();
}

Bytes readWhole(const fs::path& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint32_t bigEndianAt(const Bytes& bytes, std::size_t at) {
    return std::uint32_t(bytes[at] << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 |
                         bytes[at + 3]);
}

// The drums' bank from `start` to `end`: a table whose samples lie inside it, each closed by
// $80 and short enough for one DMA count. Returns the number of samples, or -1.
long checkBank(const Bytes& program, std::size_t start, std::size_t end) {
    if (start == end) return 0;
    if (end - start < 8) return -1;
    const std::uint32_t tableSize = bigEndianAt(program, start);
    if (tableSize == 0 || tableSize % 8 != 0 || tableSize > end - start) return -1;
    for (std::size_t entry = start; entry < start + tableSize; entry += 8) {
        const std::uint32_t offset = bigEndianAt(program, entry);
        const unsigned count = program[entry + 4] << 8 | program[entry + 5];
        const std::uint8_t divider = program[entry + 6];
        if (divider != 0x08 && divider != 0x04 && divider != 0x00) return -1;
        if (count == 0) continue;
        if (offset < tableSize || offset + count > end - start) return -1;
        if (program[start + offset + count - 1] != 0x80) return -1;
    }
    return long(tableSize / 8);
}

// The display block from `start` to `end`: the header's lines (printable bytes, CR LF), a NUL,
// the time line's pattern (printable bytes and the places 01 and 02), a NUL, a NUL to pad.
bool checkDisplay(const Bytes& program, std::size_t start, std::size_t end) {
    if (start == end) return true;
    const auto nul = std::find(program.begin() + std::ptrdiff_t(start),
                               program.begin() + std::ptrdiff_t(end), 0);
    const auto nul2 = nul == program.begin() + std::ptrdiff_t(end)
                          ? nul
                          : std::find(nul + 1, program.begin() + std::ptrdiff_t(end), 0);
    if (nul2 == program.begin() + std::ptrdiff_t(end)) return false;
    if (program.begin() + std::ptrdiff_t(end) - nul2 > 2) return false;
    for (auto at = program.begin() + std::ptrdiff_t(start); at != nul2; ++at) {
        const bool header = at < nul;
        const bool control = *at < 0x20 || *at == 0x7F;
        if (control && at != nul && !(header ? (*at == '\r' || *at == '\n') : (*at <= 2)))
            return false;
    }
    return true;
}

// The stream between the player's head and the bank (or the display block, or the tail),
// pair by pair, with the fade after its end marker when the program plays a set number of
// passes.
std::string checkStream(const Bytes& program) {
    const auto player = fullPlayerBytes();
    if (program.size() < FULL_PLAYER_SIZE + 2 || program.size() % 2 != 0) return "bad length";
    if (!std::equal(player.begin(), player.begin() + 12, program.begin()) ||
        !std::equal(player.begin() + 16, player.begin() + FULL_PLAYER_BANK_OFFSET,
                    program.begin() + 16) ||
        !std::equal(player.begin() + FULL_PLAYER_LOOPS_OFFSET + 2,
                    player.begin() + FULL_PLAYER_HEAD_SIZE,
                    program.begin() + FULL_PLAYER_LOOPS_OFFSET + 2))
        return "the program does not start with the player";
    if (!std::equal(player.end() - FULL_PLAYER_TAIL_SIZE, player.end(),
                    program.end() - FULL_PLAYER_TAIL_SIZE))
        return "the program does not end with the player's tail";
    const std::uint32_t textSize = bigEndianAt(program, 12);
    if (textSize != program.size() - 64 - FULL_PLAYER_TAIL_SIZE)
        return "text size " + std::to_string(textSize);
    const std::size_t textEnd = program.size() - FULL_PLAYER_TAIL_SIZE;
    const std::uint32_t displayOffset = bigEndianAt(program, FULL_PLAYER_DISPLAY_OFFSET);
    const std::size_t displayStart = displayOffset == 0 ? textEnd : displayOffset + 64;
    if (displayStart < FULL_PLAYER_HEAD_SIZE + 2 || displayStart > textEnd ||
        !checkDisplay(program, displayStart, textEnd))
        return "a bad display block";
    const std::uint32_t bankOffset = bigEndianAt(program, FULL_PLAYER_BANK_OFFSET);
    const std::size_t end = bankOffset == 0 ? displayStart : std::size_t(bankOffset) + 64;
    if (end < FULL_PLAYER_HEAD_SIZE + 2 || end > displayStart || end % 2 != 0)
        return "bank offset " + std::to_string(bankOffset);
    const long samples = checkBank(program, end, displayStart);
    if (samples < 0) return "a bad bank";
    const unsigned passes =
        program[FULL_PLAYER_LOOPS_OFFSET] << 8 | program[FULL_PLAYER_LOOPS_OFFSET + 1];
    int loops = 0;
    bool fading = false;
    for (std::size_t i = FULL_PLAYER_HEAD_SIZE; i < end; i += 2) {
        const std::uint8_t reg = program[i], value = program[i + 1];
        const bool last = i + 2 == end;
        if (reg == 0) {
            if (value == 0xFF && !fading) {
                if (last) continue;
                if (passes == 0 || loops == 0) return "end marker before the end";
                fading = true;  // the fade follows the last pass
                continue;
            }
            if (value == 0xFF) return "an end marker in the fade";
            if (value == 0xF8 && fading) {
                if (!last) return "pairs after the fade's end";
                continue;
            }
            if (value == 0xFE && ++loops > 1) return "second loop marker";
            if (value >= 0xF1 && value <= 0xF3) {
                if (last || (program[i + 2] << 8 | program[i + 3]) >= samples)
                    return "an ADPCM start without its sample";
                i += 2;
                continue;
            }
            if (value >= 0xF4 && value <= 0xF7) {  // the sides of the sample playing
                if (bankOffset == 0) return "an ADPCM side change without drums";
                continue;
            }
            if (value > 0xF0 && value < 0xFE) return "reserved command";
        } else if (reg >= 0x10 && reg <= 0x14) {
            return "a timer register in the stream";
        } else if (reg == 0x1B && (value & 0xFC)) {
            return "register 1B with more than the waveform";
        } else if (reg == 0x01 && value != 0x02 && value != 0x00) {
            return "register 01 with more than the LFO reset";
        }
        if (last) return fading ? "a fade without its end" : "no end marker at the end";
    }
    if (passes > 0 && loops > 0 && !fading) return "passes without a fade";
    return "";
}

struct Run {
    ConvertResult result;
    bool outputExists = false;
    Bytes output;
};

Run convertOnce(const Bytes& vgm) {
    const fs::path input = workDir / "song.vgm", output = workDir / "song.x";
    std::ofstream(input, std::ios::binary)
        .write(reinterpret_cast<const char*>(vgm.data()), std::streamsize(vgm.size()));
    Run run;
    // Some inputs play their loop a set number of times: the fade follows the end marker.
    ConvertRequest request{.input = input.string(), .output = output.string(), .maxSize = MAX_SIZE};
    request.loops = int(vgm.size() % 3);
    request.fadeSeconds = vgm.size() % 2 ? 0.5 : 0;
    run.result = convertLog(request);
    run.outputExists = fs::exists(output);
    if (run.outputExists) run.output = readWhole(output);
    if (readWhole(input) != vgm) fail("input changed");
    for (const auto& entry : fs::directory_iterator(workDir))
        if (entry.path() != input && entry.path() != output)
            fail("left behind: " + entry.path().string());
    fs::remove(output);
    return run;
}

void removeWorkDir() {
    std::error_code ignored;
    fs::remove_all(workDir, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (fs::temp_directory_path() / "opmcast-full-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) fail("cannot make a work directory");
    workDir = pattern;
    std::atexit(removeWorkDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes vgm(data, data + size);
    const Run first = convertOnce(vgm);
    if (first.result.error.empty()) {
        if (!first.outputExists) fail("success without a program");
        if (std::int64_t(first.output.size()) > MAX_SIZE) fail("a program beyond the size limit");
        if (const std::string problem = checkStream(first.output); !problem.empty()) fail(problem);
    } else if (first.outputExists) {
        fail("a failure (" + first.result.error + ") left a program");
    }
    const Run again = convertOnce(vgm);
    if (again.result.error != first.result.error || again.output != first.output)
        fail("a second conversion of the same input differs");
    return 0;
}
