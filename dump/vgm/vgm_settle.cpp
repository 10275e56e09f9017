#include "dump/vgm/vgm_settle.hpp"

#include <algorithm>
#include <array>

#include "driver/vgm_commands.hpp"

namespace {

constexpr std::uint8_t PCM_SEEK = 0xE0;
constexpr std::uint8_t DAC_REGISTER = 0x2A;
constexpr std::uint64_t DATA_OFFSET_FIELD = 0x34;
constexpr std::uint64_t OLD_DATA_START = 0x40;  // before version 1.50
// Header fields holding offsets, each relative to its own position: end of file, GD3, loop.
constexpr std::array<std::uint64_t, 3> OFFSET_FIELDS = {0x04, 0x14, 0x1C};

std::uint32_t littleLong(const Bytes& bytes, std::uint64_t at) {
    return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 |
           std::uint32_t(bytes[at + 2]) << 16 | std::uint32_t(bytes[at + 3]) << 24;
}

void putLong(Bytes& bytes, std::uint64_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + std::uint64_t(i)] = std::uint8_t(value >> (8 * i));
}

void appendSeek(Bytes& out, std::uint32_t pointer) {
    out.push_back(PCM_SEEK);
    for (int i = 0; i < 4; ++i) out.push_back(std::uint8_t(pointer >> (8 * i)));
}

// The command's length, data included, or 0 when the file ends inside it.
std::uint64_t commandLength(const Bytes& log, std::uint64_t at) {
    const std::uint8_t command = log[at];
    std::uint64_t length = 1 + std::uint64_t(vgmOperandLength(command));
    if (at + length > log.size()) return 0;
    if (command == VGM_DATA_BLOCK) length += littleLong(log, at + 3) & 0x7FFFFFFF;
    return at + length > log.size() ? 0 : length;
}

// A command that writes the DAC or moves the pointer without waiting.
bool instantDacCommand(const Bytes& log, std::uint64_t at) {
    return log[at] == 0x80 || log[at] == PCM_SEEK ||
           (log[at] == VGM_YM2612_PORT0 && log[at + 1] == DAC_REGISTER);
}

struct Run {
    std::uint64_t end = 0;  // offset after its last command
    int writes = 0;
    std::uint64_t lastWrite = 0;     // offset of the last write
    std::uint32_t lastPointer = 0;   // the pointer a last 0x8n read
    std::uint32_t pointerAfter = 0;  // the pointer the run leaves
};

// The run of DAC commands from `at`, stopping before any command a header offset points to.
Run readRun(const Bytes& log, std::uint64_t at, std::uint32_t pointer,
            const std::array<std::uint64_t, 3>& targets) {
    Run run;
    auto isTarget = [&](std::uint64_t offset) {
        return std::find(targets.begin(), targets.end(), offset) != targets.end();
    };
    std::uint64_t next = at;
    while (next < log.size() && (next == at || !isTarget(next))) {
        const std::uint64_t length = commandLength(log, next);
        const bool endsRun = log[next] >= 0x81 && log[next] <= 0x8F;
        if (length == 0 || !(instantDacCommand(log, next) || endsRun)) break;
        if (log[next] == PCM_SEEK) {
            pointer = littleLong(log, next + 1);
        } else {
            ++run.writes;
            run.lastWrite = next;
            if (log[next] != VGM_YM2612_PORT0) run.lastPointer = pointer++;
        }
        next += length;
        if (endsRun) break;
    }
    run.end = next;
    run.pointerAfter = pointer;
    return run;
}

// The run's last write, with the seeks that make it read its byte and leave the pointer
// where the run left it (pointer: where the run found it).
Bytes settleRun(const Bytes& log, const Run& run, std::uint32_t pointer) {
    Bytes settled;
    if (log[run.lastWrite] == VGM_YM2612_PORT0) {
        settled = {VGM_YM2612_PORT0, DAC_REGISTER, log[run.lastWrite + 2]};
        if (run.pointerAfter != pointer) appendSeek(settled, run.pointerAfter);
    } else {  // 0x80-0x8F: the byte at its pointer, and its wait
        appendSeek(settled, run.lastPointer);
        settled.push_back(log[run.lastWrite]);
        if (run.pointerAfter != run.lastPointer + 1) appendSeek(settled, run.pointerAfter);
    }
    return settled;
}

}  // namespace

DacSettling settleDacWrites(const Bytes& log, Bytes& settled) {
    DacSettling settling;
    settled = log;
    if (log.size() < DATA_OFFSET_FIELD + 4) return settling;
    const std::uint32_t dataOffset = littleLong(log, DATA_OFFSET_FIELD);
    const std::uint64_t dataStart = dataOffset ? DATA_OFFSET_FIELD + dataOffset : OLD_DATA_START;
    if (dataStart > log.size()) return settling;
    std::array<std::uint64_t, 3> targets{};  // absolute, 0 for none
    for (std::size_t i = 0; i < OFFSET_FIELDS.size(); ++i) {
        const std::uint32_t offset = littleLong(log, OFFSET_FIELDS[i]);
        if (offset) targets[i] = OFFSET_FIELDS[i] + offset;
    }

    Bytes out(log.begin(), log.begin() + std::ptrdiff_t(dataStart));
    // Where each settled run lay and how many bytes shorter it came out.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> shrunk;
    std::uint32_t pointer = 0;
    std::uint64_t at = dataStart;
    while (at < log.size() && log[at] != VGM_END_OF_DATA) {
        const std::uint64_t length = commandLength(log, at);
        if (length == 0) break;
        if (!instantDacCommand(log, at)) {
            if (log[at] >= 0x81 && log[at] <= 0x8F) ++pointer;
            out.insert(out.end(), log.begin() + std::ptrdiff_t(at),
                       log.begin() + std::ptrdiff_t(at + length));
            at += length;
            continue;
        }
        const Run run = readRun(log, at, pointer, targets);
        const bool pointedInto = std::any_of(targets.begin(), targets.end(), [&](auto target) {
            return target > at && target < run.end;
        });
        const bool settles = run.writes >= 2 && !pointedInto;
        const Bytes settledRun = settles ? settleRun(log, run, pointer) : Bytes{};
        if (settles && settledRun.size() < run.end - at) {
            ++settling.runs;
            settling.droppedWrites += std::uint64_t(run.writes) - 1;
            shrunk.emplace_back(run.end, run.end - at - settledRun.size());
            out.insert(out.end(), settledRun.begin(), settledRun.end());
        } else {
            out.insert(out.end(), log.begin() + std::ptrdiff_t(at),
                       log.begin() + std::ptrdiff_t(run.end));
        }
        pointer = run.pointerAfter;
        at = run.end;
    }
    out.insert(out.end(), log.begin() + std::ptrdiff_t(at), log.end());

    // The header's offsets follow what they point to.
    for (std::size_t i = 0; i < OFFSET_FIELDS.size(); ++i) {
        if (targets[i] == 0 || targets[i] < dataStart) continue;
        std::uint64_t less = 0;
        for (const auto& [end, bytes] : shrunk)
            if (end <= targets[i]) less += bytes;
        putLong(out, OFFSET_FIELDS[i], std::uint32_t(targets[i] - less - OFFSET_FIELDS[i]));
    }
    settled = std::move(out);
    return settling;
}
