#include <gtest/gtest.h>

#include "driver/command_loop.hpp"
#include "stream/register_stream.hpp"
#include "tests/run_fixture.hpp"

namespace {

// Runs the header reader and the command loop over a VGM file; the stream starts empty
// (no prologue) so that only what the loop writes is seen.
struct LoopRun : RunFixture {
    explicit LoopRun(const Bytes& vgm) {
        setInput(vgm);
        Bytes identification(4);
        fileRead(state.inputChannel, 0, identification.data(), 4);
        readVgmHeader(state);
        markAllSent();
        runCommandLoop(state);
    }
};

Bytes repeated(const Bytes& unit, int times) {
    Bytes all;
    for (int i = 0; i < times; ++i) all.insert(all.end(), unit.begin(), unit.end());
    return all;
}

TEST(CommandLoop, WaitsCarryLeftoverSamplesIntoLaterTicks) {
    struct Case {
        Bytes commands;
        std::uint32_t ticks;
        std::int32_t backlog;
    };
    const Case cases[] = {
        {{0x62, 0x62, 0x62, 0x00}, 2, 631},  // 3 x 735 = 2205
        {{0x63, 0x62, 0x00}, 2, 43},         // 882 + 735 = 1617
        {{0x7F, 0x00}, 0, 16},
        {{0x80, 0x8F, 0x00}, 0, 15},
        {{0x61, 0xFF, 0xFF, 0x00}, 83, 214},
        {{0x61, 0x13, 0x03, 0x00}, 1, 0},  // exactly one tick
    };
    for (const Case& c : cases) {
        LoopRun run(makeVgm(c.commands));
        EXPECT_EQ(run.state.pendingTicks, c.ticks);
        EXPECT_EQ(run.state.sampleBacklog, c.backlog);
    }
}

TEST(CommandLoop, TickCountDoesNotWrapAt16Bits) {
    LoopRun run(makeVgm(concat({repeated({0x61, 0xFF, 0xFF}, 1000), {0x00}})));
    EXPECT_EQ(run.state.pendingTicks, 1000u * 65535 / 787);
    EXPECT_EQ(run.state.sampleBacklog, std::int32_t(1000u * 65535 % 787));
}

TEST(CommandLoop, StopsAtEndOfDataOrEndOfFile) {
    LoopRun ended(makeVgm({0x62, 0x66, 0x62, 0x62}));
    EXPECT_EQ(ended.state.inputPos, 0x42);
    EXPECT_EQ(ended.state.sampleBacklog, 735);

    LoopRun truncated(makeVgm({0x62, 0x61, 0x10}));  // wait cut short: high byte reads 0
    EXPECT_EQ(truncated.state.inputPos, 0x44);
    EXPECT_EQ(truncated.state.sampleBacklog, 735 + 0x10);
}

TEST(CommandLoop, DataBlocksAreSkippedWhole) {
    Bytes block = {0x67, 0x66, 0x00, 16, 0, 0, 0};
    block.insert(block.end(), 16, 0x62);  // data that would be waits if decoded
    LoopRun run(makeVgm(concat({block, {0x66}})));
    EXPECT_EQ(run.state.inputPos, 0x40 + 1 + 22 + 1);
    EXPECT_EQ(run.state.sampleBacklog, 0);

    // A size far beyond the end finishes at the end of the file.
    LoopRun huge(makeVgm({0x62, 0x67, 0x66, 0x00, 0xFF, 0xFF, 0xFF, 0x7F, 0x62}));
    EXPECT_EQ(huge.state.sampleBacklog, 735);
    EXPECT_TRUE(fileAtEnd(huge.state.inputChannel));
}

TEST(CommandLoop, OtherChipsAndUnknownCommandsSkipTheirOperands) {
    // Every operand byte is 0x62; a command that failed to skip them would add 735 each.
    // 0x7F (16 samples) then ends the data.
    const std::pair<std::uint8_t, int> commands[] = {
        {0x4F, 1}, {0x51, 2}, {0x54, 2},  {0x5F, 2}, {0xE0, 4}, {0x30, 1}, {0x3F, 1},  {0x40, 2},
        {0x4E, 2}, {0x64, 3}, {0x68, 11}, {0x90, 4}, {0x91, 4}, {0x92, 5}, {0x93, 10}, {0x94, 1},
        {0x95, 4}, {0xA0, 2}, {0xBF, 2},  {0xC0, 3}, {0xDF, 3}, {0xF0, 4}, {0xFF, 4},  {0x60, 0},
        {0x65, 0}, {0x6F, 0}, {0x96, 0},  {0x9F, 0}, {0x00, 0}, {0x2F, 0},
    };
    for (const auto& [command, operands] : commands) {
        Bytes data = {command};
        data.insert(data.end(), std::size_t(operands), 0x62);
        data.insert(data.end(), {0x7F, 0x66});
        LoopRun run(makeVgm(data));
        EXPECT_EQ(run.state.sampleBacklog, 16) << "command " << int(command);
        EXPECT_EQ(run.state.inputPos, 0x40 + operands + 3) << "command " << int(command);
    }
}

TEST(CommandLoop, DataOffsetDecidesWhereCommandsStart) {
    struct Case {
        std::uint32_t dataOffset;
        std::size_t firstCommand;
    };
    // 0 means the fixed 0x40 of old versions; below 5 the data follows the header field.
    for (const Case c : {Case{0, 0x40}, Case{0x0C, 0x40}, Case{0xCC, 0x100}, Case{4, 0x38},
                         Case{1, 0x38}, Case{0xFFFFFFF0, 0x38}}) {
        Bytes vgm = makeVgm(Bytes(0x100, 0x00), 0, c.dataOffset);
        vgm[c.firstCommand] = 0x7F;
        vgm[c.firstCommand + 1] = 0x66;
        LoopRun run(vgm);
        EXPECT_EQ(run.state.sampleBacklog, 16) << c.dataOffset;
        EXPECT_EQ(run.state.inputPos, std::int32_t(c.firstCommand + 2)) << c.dataOffset;
    }
    // Data said to start beyond the end: the loop reads one zero byte and stops.
    LoopRun beyond(makeVgm({0x62, 0x66}, 0, 0x7FFFFF00));
    EXPECT_EQ(beyond.state.sampleBacklog, 0);
}

TEST(CommandLoop, LoopMarkerFollowsEveryWholeTickBeforeTheLoopPoint) {
    // Loop offset 0x0FE4 puts the loop point at 0x1000.
    Bytes data(0x1000 - 0x40, 0x00);
    data[0] = 0x61, data[1] = 0x20, data[2] = 0x03;  // 800 samples: one tick and 13 over
    data.insert(data.end(), {0x62, 0x66});
    LoopRun run(makeVgm(data, 0x0FE4));
    EXPECT_EQ(run.state.loopPoint, 0);
    EXPECT_EQ(run.output(), (Bytes{0x00, 0x00, 0x00, 0xFE}));
    EXPECT_EQ(run.state.sampleBacklog, 13 + 735);

    Bytes shortWait = data;
    shortWait[1] = 0x10, shortWait[2] = 0x00;  // 16 samples: no whole tick
    LoopRun noTick(makeVgm(shortWait, 0x0FE4));
    EXPECT_EQ(noTick.output(), (Bytes{0x00, 0xFE}));

    // Inside a long run of one-byte waits (DAC sample and wait 15 samples): the 4032 before
    // the loop point make 76 ticks.
    Bytes dacWaits(0x1000 - 0x40 + 64, 0x8F);
    dacWaits.push_back(0x66);
    LoopRun inRun(makeVgm(dacWaits, 0x0FE4));
    EXPECT_EQ(inRun.output(), (Bytes{0x00, 75, 0x00, 0xFE}));
    // After it, 668 + 64 x 15 samples: two more ticks and 54 samples.
    EXPECT_EQ(inRun.state.pendingTicks, 2u);
    EXPECT_EQ(inRun.state.sampleBacklog, 54);
}

TEST(CommandLoop, LoopOffsetZeroOrNegativeMeansNoLoop) {
    for (std::uint32_t loopOffset : {0u, 0x80000000u, 0xFFFFFFFFu}) {
        LoopRun run(makeVgm({0x62, 0x62, 0x66}, loopOffset));
        EXPECT_EQ(run.output(), Bytes{}) << loopOffset;
    }
    LoopRun atStart(makeVgm({0x66}, 0x40 - 0x1C));
    EXPECT_EQ(atStart.output(), (Bytes{0x00, 0xFE}));
}

}  // namespace
