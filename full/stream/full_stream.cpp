#include "full/stream/full_stream.hpp"

#include <algorithm>

#include "channels/file_channels.hpp"

namespace {

void handOnWhenFull(FullStream& stream) {
    if (stream.pairs.size() >= PAIRS_HELD && stream.output != OUTPUT_KEPT) handOnPairs(stream);
}

void writePair(FullStream& stream, std::uint8_t first, std::uint8_t second) {
    stream.pairs.push_back(first);
    stream.pairs.push_back(second);
    handOnWhenFull(stream);
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
    // The pairs of the registers that changed, gathered first, so that they go into the stream
    // in one piece after the wait.
    std::uint8_t changes[2 * 256];
    std::uint8_t* end = changes;
    for (int i = 0; i < stream.dirtyCount; ++i) {
        const std::uint8_t reg = stream.dirty[i];
        stream.isDirty[reg] = false;
        const std::uint8_t value = stream.wanted[reg];
        if (stream.sent[reg] == value) continue;
        stream.sent[reg] = value;
        end[0] = reg;
        end[1] = value;
        end += 2;
    }
    stream.dirtyCount = 0;
    if (end == changes) return;
    writeWaitUpTo(stream, step);
    stream.pairs.insert(stream.pairs.end(), changes, end);
    handOnWhenFull(stream);
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
