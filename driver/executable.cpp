#include "driver/executable.hpp"

#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"
#include "stream/register_stream.hpp"

namespace {

constexpr std::int32_t TEXT_SIZE_LOW_BYTES = 14;  // 1-based position of header offset 13

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
    copyStubBytes(state, STUB_TAIL_SIZE);
    // The big-endian text size at offsets 12-15 must cover the player code and the stream:
    // everything but the header and the data section. Offset 12 keeps the stub's byte.
    const auto length = std::int32_t(fileOffset(state.outputChannel));
    const auto textSize = std::int32_t(textSizeFor(length));
    const std::uint8_t high = std::uint8_t(textSize >> 16);
    const std::uint8_t middle = std::uint8_t(textSize >> 8);
    const std::uint8_t low = std::uint8_t(textSize);
    fileWrite(state.outputChannel, TEXT_SIZE_LOW_BYTES, &high, 1);
    fileWrite(state.outputChannel, 0, &middle, 1);
    fileWrite(state.outputChannel, 0, &low, 1);
}
