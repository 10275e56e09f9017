#include "full/stream/full_stream.hpp"

#include <algorithm>

#include "channels/file_channels.hpp"

namespace {

void handOnWhenFull(FullStream& stream) {
    if (stream.pairs.size() >= PAIRS_HELD && stream.output != OUTPUT_KEPT) handOnPairs(stream);
}

void writeWaitUpTo(FullStream& stream, std::int64_t step) {
    while (stream.stepsWritten < step) {
        const std::int64_t steps =
            std::min<std::int64_t>(step - stream.stepsWritten, FULL_LONGEST_WAIT + 1);
        stream.pairs.push_back(0x00);
        stream.pairs.push_back(std::uint8_t(steps - 1));
        handOnWhenFull(stream);
        stream.stepsWritten += steps;
    }
}

// The pairs about to be handed on that belong to the loop's head go into its copy.
void keepLoopHead(FullStream& stream) {
    if (stream.loopAt < 0 || stream.keepLoopSteps == 0 || stream.loopHeadCut) return;
    const std::size_t from = std::size_t(std::clamp<std::int64_t>(
        stream.loopAt - stream.handedOn, 0, std::int64_t(stream.pairs.size())));
    stream.loopHead.insert(stream.loopHead.end(), stream.pairs.begin() + std::ptrdiff_t(from),
                           stream.pairs.end());
    stream.loopHeadCut = stream.stepsWritten - stream.loopStep > stream.keepLoopSteps;
}

}  // namespace

std::span<const std::uint8_t> loopHeadOf(const FullStream& stream) {
    if (stream.loopAt < 0) return {};
    if (stream.output != OUTPUT_KEPT) return stream.loopHead;
    return std::span(stream.pairs).subspan(std::size_t(stream.loopAt));
}

void handOnPairs(FullStream& stream) {
    if (stream.output == OUTPUT_KEPT) return;
    keepLoopHead(stream);
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

namespace {

// The wait up to step and the pairs of the registers that changed, in the order they were
// changed, then `last` (a pair written as it stands) where there is one: gathered first, so
// that they go into the stream in one piece after the wait.
void flushThen(FullStream& stream, std::int64_t step, const std::uint8_t* last) {
    std::uint8_t changes[2 * 256 + 2];
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
    if (last) {
        end[0] = last[0];
        end[1] = last[1];
        end += 2;
    }
    if (end == changes) return;
    writeWaitUpTo(stream, step);
    stream.pairs.insert(stream.pairs.end(), changes, end);
    handOnWhenFull(stream);
}

}  // namespace

void flushRegisters(FullStream& stream, std::int64_t step) {
    flushThen(stream, step, nullptr);
}

void writeRegisterNow(FullStream& stream, std::int64_t step, std::uint8_t reg, std::uint8_t value) {
    const std::uint8_t pair[2] = {reg, value};
    flushThen(stream, step, pair);
}

void writeLoopMarker(FullStream& stream, std::int64_t step) {
    const std::uint8_t pair[2] = {0x00, FULL_LOOP_MARKER};
    flushThen(stream, step, pair);
    stream.loopAt = streamLength(stream);
    stream.loopStep = stream.stepsWritten;
}

void writeAdpcmStart(FullStream& stream, std::int64_t step, std::uint8_t sides,
                     std::uint16_t sample) {
    const std::uint8_t pair[2] = {0x00, std::uint8_t(FULL_ADPCM_START | (sides & 0x03))};
    flushThen(stream, step, pair);
    stream.pairs.push_back(std::uint8_t(sample >> 8));
    stream.pairs.push_back(std::uint8_t(sample));
    handOnWhenFull(stream);
}

void writeAdpcmSides(FullStream& stream, std::int64_t step, std::uint8_t sides) {
    const std::uint8_t pair[2] = {0x00, std::uint8_t(FULL_ADPCM_SIDES | (sides & 0x03))};
    flushThen(stream, step, pair);
    handOnWhenFull(stream);
}

void finishFullStream(FullStream& stream, std::int64_t endStep) {
    const std::uint8_t pair[2] = {0x00, FULL_END_MARKER};
    flushThen(stream, endStep, pair);
}
