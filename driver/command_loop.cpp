#include "driver/command_loop.hpp"

#include <algorithm>
#include <array>

#include "channels/console.hpp"
#include "channels/file_channels.hpp"
#include "driver/input.hpp"
#include "driver/run_state.hpp"
#include "driver/vgm_commands.hpp"
#include "stream/register_stream.hpp"
#include "translate/translate.hpp"

namespace {

void markLoopPoint(RunState& state) {
    if (state.loopPoint <= 0 || state.inputPos < state.loopPoint) return;
    writePairAfterFlush(state, STREAM_COMMAND, LOOP_MARKER);
    state.loopPoint = 0;
    state.loopMarkerWritten = true;
}

// Data block: 0x66 marker, type, 32-bit size, then the data, which the OPM cannot use.
void skipDataBlock(RunState& state) {
    readInputWord(state);
    const auto size = std::int32_t(readInputLong(state));
    skipInput(state, size);
}

// Commands run from their bytes alone, by their whole length (command byte and operands): the
// waits, the chip writes, and commands for other chips and data seeks that are passed over in
// silence. 0 for every other command.
constexpr int SHORT_COMMAND_MAX = 5;
constexpr std::array<std::uint8_t, 256> SHORT_COMMAND_LENGTH = [] {
    std::array<std::uint8_t, 256> length{};
    for (int c = 0; c < 256; ++c) {
        const auto command = std::uint8_t(c);
        const bool passedOver = command == 0x4F || (command >= 0x51 && command <= 0x5F) ||
                                (command >= 0xE0 && command <= 0xEF);
        const bool wait = command == VGM_WAIT || command == VGM_WAIT_NTSC_FRAME ||
                          command == VGM_WAIT_PAL_FRAME || (command >= 0x70 && command <= 0x8F);
        if (command <= 0x2F || command == VGM_PSG_WRITE || passedOver || wait)
            length[std::size_t(c)] = std::uint8_t(1 + vgmOperandLength(command));
    }
    return length;
}();

void runShortCommand(RunState& state, const std::uint8_t* bytes) {
    const std::uint8_t command = bytes[0];
    switch (command) {
        case VGM_PSG_WRITE:
            translatePsgWrite(state, bytes[1]);
            return;
        case VGM_YM2612_PORT0:
        case VGM_YM2612_PORT1:
            translateYm2612Write(state, command == VGM_YM2612_PORT0 ? 0 : 3, bytes[1], bytes[2]);
            return;
        case VGM_WAIT:
            state.sampleBacklog += bytes[1] | bytes[2] << 8;
            return;
        case VGM_WAIT_NTSC_FRAME:
            state.sampleBacklog += NTSC_FRAME_SAMPLES;
            return;
        case VGM_WAIT_PAL_FRAME:
            state.sampleBacklog += PAL_FRAME_SAMPLES;
            return;
        default:
            break;
    }
    if (command >= 0x70 && command <= 0x7F) {
        state.sampleBacklog += (command & 0x0F) + 1;
    } else if (command >= 0x80 && command <= 0x8F) {
        // Wait after a DAC sample; the sample itself is not played.
        state.sampleBacklog += command & 0x0F;
    } else {
        state.otherChipCommand |= isOtherChipCommand(command);
    }
}

void reportUnexpected(RunState& state, std::uint8_t command) {
    printMessage("unexpected byte ", false);
    printByteValue(command, true);
    state.otherChipCommand |= isOtherChipCommand(command);
}

// Every command but the short ones, the data block and the end of the data.
bool isUnexpected(std::uint8_t command) {
    return SHORT_COMMAND_LENGTH[command] == 0 && command != VGM_END_OF_DATA &&
           command != VGM_DATA_BLOCK;
}

// Runs the command whose byte has just been read, reading its operands; returns false at the
// end-of-data command.
bool runCommand(RunState& state, std::uint8_t command) {
    if (const int length = SHORT_COMMAND_LENGTH[command]; length > 0) {
        std::uint8_t bytes[SHORT_COMMAND_MAX] = {command};
        for (int i = 1; i < length; ++i) bytes[i] = readInputByte(state);
        runShortCommand(state, bytes);
        return true;
    }
    if (command == VGM_END_OF_DATA) return false;
    if (command == VGM_DATA_BLOCK) {
        skipDataBlock(state);
        return true;
    }
    reportUnexpected(state, command);
    skipInput(state, vgmOperandLength(command));
    return true;
}

constexpr bool isShortWait(std::uint8_t command) {
    return command >= 0x70 && command <= 0x8F;
}

// Samples of each one-byte wait: 0x7n waits n + 1, 0x8n waits n (after a DAC sample, which is
// not played); -1 for every other byte.
constexpr std::array<std::int8_t, 256> SHORT_WAIT_SAMPLES = [] {
    std::array<std::int8_t, 256> samples{};
    for (int c = 0; c < 256; ++c)
        samples[std::size_t(c)] = std::int8_t(!isShortWait(std::uint8_t(c)) ? -1
                                              : c < 0x80                    ? (c & 0x0F) + 1
                                                                            : c & 0x0F);
    return samples;
}();

// Runs the short commands that start before `stop` in the bytes the input holds ready, and
// returns how many bytes they took. `stop` leaves room for the longest short command and at
// least one byte after it (so none of them is the last of the file), and lies no further than
// the loop point. Ticks are counted only where a wait is written (flushChanges), so a run of
// waits, the bulk of a log with DAC samples, only adds to the backlog.
// This is where nearly all the time of a conversion goes: the translations and the flush are
// compiled into it in one piece (flatten), without a call per command.
[[gnu::flatten]] int runBufferedCommands(RunState& state, const std::uint8_t* bytes, int stop) {
    const std::uint8_t* command = bytes;
    const std::uint8_t* const end = bytes + stop;
    while (command < end) {
        // Chip writes first, in the order of how often they come.
        const std::uint8_t code = command[0];
        if (code == VGM_YM2612_PORT0) {
            translateYm2612Write(state, 0, command[1], command[2]);
            command += 3;
            continue;
        }
        if (code == VGM_YM2612_PORT1) {
            translateYm2612Write(state, 3, command[1], command[2]);
            command += 3;
            continue;
        }
        if (code == VGM_PSG_WRITE) {
            translatePsgWrite(state, command[1]);
            command += 2;
            continue;
        }
        switch (code) {
            case VGM_WAIT:
                state.sampleBacklog += command[1] | command[2] << 8;
                command += 3;
                continue;
            case VGM_WAIT_NTSC_FRAME:
                state.sampleBacklog += NTSC_FRAME_SAMPLES;
                command += 1;
                continue;
            case VGM_WAIT_PAL_FRAME:
                state.sampleBacklog += PAL_FRAME_SAMPLES;
                command += 1;
                continue;
            default:
                break;
        }
        if (int samples = SHORT_WAIT_SAMPLES[command[0]]; samples >= 0) {
            std::int32_t backlog = state.sampleBacklog;
            do {
                backlog += samples;
                ++command;
            } while (command < end && (samples = SHORT_WAIT_SAMPLES[command[0]]) >= 0);
            state.sampleBacklog = backlog;
            continue;
        }
        const int length = SHORT_COMMAND_LENGTH[command[0]];
        if (length == 0) break;
        state.otherChipCommand |= isOtherChipCommand(command[0]);
        command += length;  // passed over in silence
    }
    return int(command - bytes);
}

// Runs the short commands the input holds ready; returns false when there were none to run.
bool runReadyCommands(RunState& state) {
    markLoopPoint(state);  // afterwards the loop point, if any, lies ahead
    const FileReadWindow window = fileReadWindow(state.inputChannel);
    std::int64_t stop = window.count - SHORT_COMMAND_MAX;
    if (state.loopPoint > 0)
        stop = std::min<std::int64_t>(stop, std::int64_t(state.loopPoint) - state.inputPos);
    if (stop <= 0) return false;
    int used = runBufferedCommands(state, window.bytes, int(stop));
    // Where they stopped at a command the converter does not know, that is reported and passed
    // over here too, so that a log full of commands for other hardware is not read byte by byte.
    // (when it lies wholly in the window with more bytes after it, as the others do).
    if (used < stop && isUnexpected(window.bytes[used])) {
        const std::uint8_t command = window.bytes[used];
        if (const int length = 1 + vgmOperandLength(command); used + length < window.count) {
            reportUnexpected(state, command);
            used += length;
        }
    }
    if (used == 0) return false;
    // The backlog of one window stays far below 2^31 samples: at most 65535 per 3 bytes.
    countTicks(state);
    state.inputPos = advanceOffset(state.inputPos, used);
    fileConsume(state.inputChannel, used);
    return true;
}

}  // namespace

void runCommandLoop(RunState& state) {
    for (;;) {
        if (runReadyCommands(state)) continue;
        countTicks(state);
        markLoopPoint(state);
        if (!runCommand(state, readInputByte(state))) return;
        if (fileAtEnd(state.inputChannel)) return;
    }
}

bool commandDataWritesSourceChips(RunState& state) {
    std::uint8_t identification[4];
    fileRead(state.inputChannel, 1, identification, 4);  // from the start of the file again
    state.inputPos = 4;
    readVgmHeader(state);
    for (;;) {
        const std::uint8_t command = readInputByte(state);
        if (command == VGM_END_OF_DATA) return false;
        if (command == VGM_PSG_WRITE || command == VGM_YM2612_PORT0 || command == VGM_YM2612_PORT1)
            return true;
        if (command == VGM_DATA_BLOCK)
            skipDataBlock(state);
        else
            skipInput(state, vgmOperandLength(command));
        if (fileAtEnd(state.inputChannel)) return false;
    }
}
