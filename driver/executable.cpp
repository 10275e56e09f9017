#include "driver/executable.hpp"

#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"
#include "stream/register_stream.hpp"

namespace {

void copyStubBytes(RunState& state, int count) {
    for (int i = 0; i < count; ++i)
        fileWriteByte(state.outputChannel, fileReadByte(state.stubChannel));
}

}  // namespace

void copyStubHead(RunState& state) {
    const std::uint8_t magic[2] = {STUB_MAGIC & 0xFF, STUB_MAGIC >> 8};
    fileWrite(state.outputChannel, 0, magic, 2);
    copyStubBytes(state, STUB_HEAD_SIZE - 2);
}

void finishExecutable(RunState& state) {
    // A looping song goes back to the loop marker at the end marker, so the ticks after the
    // last change are part of the loop and are written first. Without a loop they would
    // only delay the end and are left out.
    if (state.loopMarkerWritten)
        writePairAfterFlush(state, STREAM_COMMAND, END_MARKER);
    else
        writePair(state, STREAM_COMMAND, END_MARKER);
    drainStream(state);
    copyStubBytes(state, STUB_TAIL_SIZE);
    // The big-endian text size at offsets 12-15 must cover the player code and the stream:
    // everything but the header and the data section. Offset 12 keeps the stub's byte
    // unless the size needs it (a stream of 16 MiB or more).
    const auto textSize = std::uint32_t(textSizeFor(fileOffset(state.outputChannel)));
    const std::uint8_t bytes[4] = {std::uint8_t(textSize >> 24), std::uint8_t(textSize >> 16),
                                   std::uint8_t(textSize >> 8), std::uint8_t(textSize)};
    if (textSize > 0xFFFFFF) {
        fileWrite(state.outputChannel, TEXT_SIZE_FIELD + 1, bytes, 4);
    } else {
        fileWrite(state.outputChannel, TEXT_SIZE_FIELD + 2, &bytes[1], 1);
        fileWrite(state.outputChannel, 0, &bytes[2], 1);
        fileWrite(state.outputChannel, 0, &bytes[3], 1);
    }
}
