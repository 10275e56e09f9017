#include "driver/command_loop.hpp"
#include "channels/console.hpp"
#include "channels/file_channels.hpp"
#include "driver/input.hpp"
#include "driver/run_state.hpp"
#include "driver/vgm_commands.hpp"
#include "stream/register_stream.hpp"
#include "translate/translate.hpp"

namespace {

void countTicks(RunState& state) {
    if (state.sampleBacklog < SAMPLES_PER_TICK) return;
    state.pendingTicks += std::uint32_t(state.sampleBacklog / SAMPLES_PER_TICK);
    state.sampleBacklog %= SAMPLES_PER_TICK;
}

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

// Returns false at the end-of-data command.
bool runCommand(RunState& state, std::uint8_t command) {
    if (command <= 0x2F) return true;
    if (command >= 0x70 && command <= 0x7F) {
        state.sampleBacklog += (command & 0x0F) + 1;
        return true;
    }
    if (command >= 0x80 && command <= 0x8F) {
        // Wait after a DAC sample; the sample itself is not played.
        state.sampleBacklog += command & 0x0F;
        return true;
    }
    switch (command) {
        case VGM_PSG_WRITE:
            translatePsgWrite(state, readInputByte(state));
            return true;
        case VGM_YM2612_PORT0:
        case VGM_YM2612_PORT1: {
            const std::uint8_t reg = readInputByte(state);
            const std::uint8_t data = readInputByte(state);
            translateYm2612Write(state, command == VGM_YM2612_PORT0 ? 0 : 3, reg, data);
            return true;
        }
        case VGM_WAIT:
            state.sampleBacklog += readInputWord(state);
            return true;
        case VGM_WAIT_NTSC_FRAME:
            state.sampleBacklog += NTSC_FRAME_SAMPLES;
            return true;
        case VGM_WAIT_PAL_FRAME:
            state.sampleBacklog += PAL_FRAME_SAMPLES;
            return true;
        case VGM_END_OF_DATA:
            return false;
        case VGM_DATA_BLOCK:
            skipDataBlock(state);
            return true;
        default:
            break;
    }
    // Commands for other chips, the PSG stereo mask and data bank seeks are passed over.
    const bool known = command == 0x4F || (command >= 0x51 && command <= 0x5F) ||
                       (command >= 0xE0 && command <= 0xEF);
    if (!known) {
        printMessage("unexpected byte ", false);
        printByteValue(command, true);
    }
    skipInput(state, vgmOperandLength(command));
    return true;
}

}  // namespace

void runCommandLoop(RunState& state) {
    for (;;) {
        countTicks(state);
        markLoopPoint(state);
        if (!runCommand(state, readInputByte(state))) return;
        if (fileAtEnd(state.inputChannel)) return;
    }
}
