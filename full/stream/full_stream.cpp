#include "full/stream/full_stream.hpp"

#include <algorithm>

#include "channels/file_channels.hpp"

namespace {

void writePair(FullStream& stream, std::uint8_t first, std::uint8_t second) {
    if (stream.pairs.size() >= PAIRS_HELD && stream.output != OUTPUT_KEPT) handOnPairs(stream);
    stream.pairs.push_back(first);
    stream.pairs.push_back(second);
}

void writeWaitUpTo(FullStream& stream, std::int64_t step) {
    while (stream.stepsWritten < step) {
        const std::int64_t steps =
            std::min<std::int64_t>(step - stream.stepsWritten, FULL_LONGEST_WAIT + 1);
        writePair(stream, 0x00, std::uint8_t(steps - 1));
        stream.stepsWritten += steps;
    }
}

}  // namespace

void handOnPairs(FullStream& stream) {
    if (stream.output == OUTPUT_KEPT) return;
    if (stream.output != OUTPUT_DROPPED)
        fileWrite(stream.output, 0, stream.pairs.data(), int(stream.pairs.size()));
    stream.handedOn += std::int64_t(stream.pairs.size());
    stream.pairs.clear();
}

void setRegister(FullStream& stream, std::uint8_t reg, std::uint8_t value) {
    stream.wanted[reg] = value;
    if (!stream.isDirty[reg]) {
        stream.isDirty[reg] = true;
        stream.dirty[stream.dirtyCount++] = reg;
    }
}

void flushRegisters(FullStream& stream, std::int64_t step) {
    for (int i = 0; i < stream.dirtyCount; ++i) {
        const std::uint8_t reg = stream.dirty[i];
        stream.isDirty[reg] = false;
        if (stream.everSent[reg] && stream.sent[reg] == stream.wanted[reg]) continue;
        writeWaitUpTo(stream, step);
        writePair(stream, reg, stream.wanted[reg]);
        stream.sent[reg] = stream.wanted[reg];
        stream.everSent[reg] = true;
    }
    stream.dirtyCount = 0;
}

void writeRegisterNow(FullStream& stream, std::int64_t step, std::uint8_t reg, std::uint8_t value) {
    flushRegisters(stream, step);
    writeWaitUpTo(stream, step);
    writePair(stream, reg, value);
}

void writeLoopMarker(FullStream& stream, std::int64_t step) {
    flushRegisters(stream, step);
    writeWaitUpTo(stream, step);
    writePair(stream, 0x00, FULL_LOOP_MARKER);
}

void finishFullStream(FullStream& stream, std::int64_t endStep) {
    flushRegisters(stream, endStep);
    writeWaitUpTo(stream, endStep);
    writePair(stream, 0x00, FULL_END_MARKER);
}
