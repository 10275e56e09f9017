#include "fuzz/conversion_check.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"
#include "driver/vgm_commands.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t STUB_HEAD = 434;
constexpr std::size_t STUB_TAIL = 12;
constexpr std::size_t STUB_USED = STUB_HEAD + STUB_TAIL;
constexpr std::size_t HEADER_SIZE = 64;
constexpr std::uint8_t COMMAND = 0x00;
constexpr std::uint8_t LONGEST_WAIT = 0xFD;
constexpr std::uint8_t LOOP_MARKER = 0xFE;
constexpr std::uint8_t END_MARKER = 0xFF;
constexpr std::uint8_t KEY_ON = 0x08;
constexpr std::uint8_t LFO_FREQ = 0x18;
constexpr std::uint8_t FIRST_CHANNEL_REGISTER = 0x20;
constexpr int FM_CHANNELS = 6;

const std::string INPUT_NAME = std::string(CHECK_BASE_NAME) + ".vgm";
const std::string OUTPUT_NAME = std::string(CHECK_BASE_NAME) + ".x";
const std::string STUB_NAME = "vgmstub.bin";
const std::string NO_SOURCE_CHIP_DATA = "no YM2612 or SN76489 data :( ";

Bytes readWhole(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeWhole(const std::string& name, const Bytes& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + name);
}

// Runs the conversion with standard output going to an anonymous memory file.
int runCapturingConsole(std::string& console) {
    const int capture = ::memfd_create("console", MFD_CLOEXEC);
    const int saved = ::dup(STDOUT_FILENO);
    if (capture < 0 || saved < 0 || ::dup2(capture, STDOUT_FILENO) < 0)
        throw std::runtime_error("cannot capture standard output");
    const int status = runConversion(CHECK_BASE_NAME, "");
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    console.clear();
    char chunk[4096];
    ::lseek(capture, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(capture, chunk, sizeof chunk)) > 0;)
        console.append(chunk, std::size_t(n));
    ::close(capture);
    return status;
}

bool startsWith(const Bytes& b, std::initializer_list<std::uint8_t> prefix) {
    return b.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), b.begin());
}

// The header's loop offset as the converter reads it: bytes past the end count as zero.
std::int32_t loopOffsetField(const Bytes& vgm) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
        if (0x1C + i < vgm.size()) v |= std::uint32_t(vgm[0x1C + i]) << (8 * i);
    return std::int32_t(v);
}

// Whether the command data, walked as the converter walks it, writes to the YM2612 or the
// SN76489, and whether it holds a command for some other chip.
struct ChipUse {
    bool sourceChips = false;
    bool otherChips = false;
};

ChipUse chipUse(const Bytes& vgm) {
    auto at = [&](std::size_t i) -> std::uint32_t { return i < vgm.size() ? vgm[i] : 0; };
    auto longAt = [&](std::size_t i) {
        return std::int32_t(at(i) | at(i + 1) << 8 | at(i + 2) << 16 | at(i + 3) << 24);
    };
    std::int32_t dataOffset = longAt(0x34);
    if (dataOffset == 0) dataOffset = 12;
    std::size_t pos = dataOffset >= 4 ? 0x34 + std::size_t(dataOffset) : 0x38;
    ChipUse use;
    while (pos < vgm.size()) {
        const std::uint8_t command = vgm[pos++];
        if (command == VGM_END_OF_DATA) break;
        if (command == VGM_PSG_WRITE || command == VGM_YM2612_PORT0 || command == VGM_YM2612_PORT1)
            use.sourceChips = true;
        use.otherChips |= isOtherChipCommand(command);
        pos += std::size_t(vgmOperandLength(command));
        if (command == VGM_DATA_BLOCK) pos += std::size_t(std::max(longAt(pos - 4), 0));
    }
    return use;
}

// Splits the console into lines ending in CR LF; false if anything is left over.
bool consoleLines(const std::string& console, std::vector<std::string>& lines) {
    std::size_t at = 0;
    while (at < console.size()) {
        const std::size_t end = console.find("\r\n", at);
        if (end == std::string::npos) return false;
        lines.push_back(console.substr(at, end - at));
        at = end + 2;
    }
    return true;
}

bool isUnexpectedByteLine(const std::string& line) {
    const std::string prefix = "unexpected byte ";
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    const std::string digits = line.substr(prefix.size());
    if (digits.empty() || digits.size() > 3 || (digits.size() > 1 && digits[0] == '0'))
        return false;
    if (!std::all_of(digits.begin(), digits.end(), [](char d) { return d >= '0' && d <= '9'; }))
        return false;
    return std::stoi(digits) <= 255;
}

std::string checkConsole(const std::string& console, const std::string& finalMessage) {
    std::vector<std::string> lines;
    if (!consoleLines(console, lines)) return "console output does not end in CR LF";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool last = i + 1 == lines.size();
        if (last && !finalMessage.empty()) {
            if (lines[i] != finalMessage) return "last console line is \"" + lines[i] + "\"";
        } else if (!isUnexpectedByteLine(lines[i])) {
            return "unexpected console line \"" + lines[i] + "\"";
        }
    }
    if (!finalMessage.empty() && lines.empty()) return "no message for a failed run";
    return "";
}

std::string hex(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

// Walks the RegisterStream pair by pair after the prologue.
std::string checkStream(const Bytes& stream, const Bytes& prologue, bool mayLoop) {
    if (stream.size() < prologue.size() + 2 ||
        !std::equal(prologue.begin(), prologue.end(), stream.begin()))
        return "stream does not start with the prologue";
    // What the chip holds, as far as the stream has written it; the prologue sets it up.
    std::array<int, 256> held{};
    for (std::size_t i = 0; i < prologue.size(); i += 2) held[prologue[i]] = prologue[i + 1];
    int loopMarkers = 0;
    bool afterWait = false;
    bool afterShortWait = false;
    for (std::size_t i = prologue.size(); i < stream.size(); i += 2) {
        const std::uint8_t reg = stream[i], value = stream[i + 1];
        const std::string where = " at stream offset " + std::to_string(i);
        const bool last = i + 2 == stream.size();
        if (reg == COMMAND) {
            if (value == END_MARKER) {
                if (!last) return "end marker before the end" + where;
                // Only a looping song keeps its last ticks: the replay goes on at the loop.
                if (afterWait && loopMarkers == 0)
                    return "wait before the end marker of a song without a loop" + where;
            } else if (value == LOOP_MARKER) {
                if (++loopMarkers > 1) return "second loop marker" + where;
                if (!mayLoop) return "loop marker without a loop offset" + where;
            } else if (afterShortWait) {
                return "wait of less than 254 ticks followed by another wait" + where;
            }
            afterWait = value <= LONGEST_WAIT;
            afterShortWait = value < LONGEST_WAIT;
            if (last && value != END_MARKER) return "no end marker at the end";
            continue;
        }
        afterWait = afterShortWait = false;
        if (last) return "no end marker at the end";
        if (reg == KEY_ON) {
            if ((value & 0x80) || (value & 0x07) >= FM_CHANNELS)
                return "key-on value " + hex(value) + where;
            continue;
        }
        if (reg != LFO_FREQ && reg < FIRST_CHANNEL_REGISTER)
            return "register " + hex(reg) + " is never written" + where;
        if (held[reg] == value)
            return "register " + hex(reg) + " written again with " + hex(value) + where;
        held[reg] = value;
    }
    return "";
}

std::string checkExecutable(const Bytes& out, const Bytes& stub, const Bytes& prologue,
                            bool mayLoop) {
    if (out.size() < STUB_USED + prologue.size() + 2) return "output too short";
    if (out.size() % 2 != 0) return "output of odd length";
    Bytes used = stub;
    used.resize(STUB_USED, 0);
    // The text size field at offsets 12-15 keeps the stub's first byte when the size fits in
    // the other three.
    const std::uint64_t expectedSize = out.size() - HEADER_SIZE - STUB_TAIL;
    const std::size_t sizeFrom = expectedSize > 0xFFFFFF ? 12 : 13;
    if (!std::equal(used.begin(), used.begin() + long(sizeFrom), out.begin()) ||
        !std::equal(used.begin() + 16, used.begin() + STUB_HEAD, out.begin() + 16))
        return "output does not start with the stub head";
    if (!std::equal(used.begin() + STUB_HEAD, used.end(), out.end() - STUB_TAIL))
        return "output does not end with the stub tail";
    std::uint64_t textSize = 0;
    for (std::size_t i = sizeFrom; i < 16; ++i) textSize = textSize << 8 | out[i];
    if (textSize != expectedSize)
        return "text size field " + std::to_string(textSize) + " for length " +
               std::to_string(out.size());
    return checkStream(Bytes(out.begin() + STUB_HEAD, out.end() - STUB_TAIL), prologue, mayLoop);
}

}  // namespace

ConversionResult convertInProcess(const Bytes& vgm) {
    writeWhole(INPUT_NAME, vgm);
    std::error_code ignored;
    fs::remove(OUTPUT_NAME, ignored);
    ConversionResult result;
    result.exitStatus = runCapturingConsole(result.console);
    result.freeChannel = fileFreeNumber();
    result.outputExists = fs::exists(OUTPUT_NAME);
    if (result.outputExists) result.output = readWhole(OUTPUT_NAME);
    result.inputAfter = readWhole(INPUT_NAME);
    result.stubAfter = readWhole(STUB_NAME);
    for (const auto& entry : fs::directory_iterator(fs::current_path())) {
        const std::string name = entry.path().filename().string();
        if (name != INPUT_NAME && name != OUTPUT_NAME && name != STUB_NAME)
            result.extra.push_back(name);
    }
    fs::remove(INPUT_NAME, ignored);
    fs::remove(OUTPUT_NAME, ignored);
    return result;
}

std::string checkConversion(const Bytes& vgm, const Bytes& stub, const Bytes& prologue,
                            const ConversionResult& result) {
    if (!result.extra.empty()) return "file left behind: " + result.extra.front();
    if (result.inputAfter != vgm) return "input changed";
    if (result.stubAfter != stub) return "stub changed";
    if (result.freeChannel != 1) return "a file channel is still open";

    const bool packed = startsWith(vgm, {0x1F, 0x8B});
    const bool isVgm = startsWith(vgm, {'V', 'g', 'm', ' '});
    if (result.exitStatus == 1) {
        if (result.outputExists) return "failed run left an output";
        if (!packed) {
            if (isVgm) {
                const ChipUse use = chipUse(vgm);
                if (use.sourceChips || !use.otherChips)
                    return "plain VGM input rejected: " + result.console;
                return checkConsole(result.console, NO_SOURCE_CHIP_DATA);
            }
            return result.console == "not Vgm :( \r\n" ? "" : "wrong message: " + result.console;
        }
        // Damage found at the end of the data comes after the conversion's own lines.
        if (result.console == "not Vgm :( \r\n") return "";
        if (checkConsole(result.console, NO_SOURCE_CHIP_DATA).empty()) return "";
        return checkConsole(result.console, "can't unpack " + INPUT_NAME + " :( ");
    }
    if (result.exitStatus != 0) return "exit status " + std::to_string(result.exitStatus);
    if (!packed && !isVgm) return "input without \"Vgm \" accepted";
    if (!packed && !chipUse(vgm).sourceChips && chipUse(vgm).otherChips)
        return "log for other chips only accepted";
    if (!result.outputExists) return "successful run left no output";
    const std::string console = checkConsole(result.console, "");
    if (!console.empty()) return console;
    // Whether a packed input has a loop is only known after unpacking it.
    const bool mayLoop = packed || loopOffsetField(vgm) > 0;
    return checkExecutable(result.output, stub, prologue, mayLoop);
}
