#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "stream/register_stream.hpp"
#include "tests/run_fixture.hpp"

namespace {

Bytes flushedWith(std::uint32_t ticks, bool force, void (*change)(OpmImage&) = nullptr) {
    RunFixture f;
    f.markAllSent();
    if (change) change(f.wantedToChange());
    f.state.pendingTicks = ticks;
    f.state.forceFlush = force;
    flushChanges(f.state);
    return f.output();
}

Bytes repeatedPairs(int count, std::uint8_t first, std::uint8_t second) {
    Bytes b;
    for (int i = 0; i < count; ++i) b.insert(b.end(), {first, second});
    return b;
}

TEST(FlushChanges, WritesTheWaitThenTheChangedRegister) {
    RunFixture f;
    f.markAllSent();
    f.wantedToChange().opParam[TL_ROW][10] = 0x20;  // channel 2, operator 1
    f.state.pendingTicks = 300;
    flushChanges(f.state);
    EXPECT_EQ(f.state.pendingTicks, 0u);
    EXPECT_FALSE(f.state.forceFlush);
    EXPECT_EQ(f.state.shadow.sent.opParam[TL_ROW][10], 0x20);
    EXPECT_EQ(std::memcmp(&f.state.shadow.sent, &f.state.shadow.wanted, sizeof(OpmImage)), 0);
    EXPECT_EQ(f.output(), (Bytes{0x00, 0xFD, 0x00, 0x2D, 0x6A, 0x20}));
}

TEST(FlushChanges, EncodesEveryWaitLengthExactly) {
    EXPECT_EQ(flushedWith(1, true), (Bytes{0x00, 0x00}));
    EXPECT_EQ(flushedWith(254, true), (Bytes{0x00, 0xFD}));
    EXPECT_EQ(flushedWith(255, true), (Bytes{0x00, 0xFD, 0x00, 0x00}));
    EXPECT_EQ(flushedWith(508, true), (Bytes{0x00, 0xFD, 0x00, 0xFD}));
    EXPECT_EQ(flushedWith(509, true), (Bytes{0x00, 0xFD, 0x00, 0xFD, 0x00, 0x00}));
    EXPECT_EQ(flushedWith(65535, true), concat({repeatedPairs(258, 0, 0xFD), {0x00, 0x02}}));
    // Waits longer than 16 bits of ticks keep their full length.
    EXPECT_EQ(flushedWith(65536, true), concat({repeatedPairs(258, 0, 0xFD), {0x00, 0x03}}));
    EXPECT_EQ(flushedWith(1000000, true), concat({repeatedPairs(3937, 0, 0xFD), {0x00, 0x01}}));
}

TEST(FlushChanges, WritesNothingWithoutAChangeOrForce) {
    RunFixture f;
    f.markAllSent();
    f.state.pendingTicks = 40;
    flushChanges(f.state);
    EXPECT_EQ(f.state.pendingTicks, 40u);
    f.wantedToChange().keyCode[3] = 0x41;
    flushChanges(f.state);
    EXPECT_EQ(f.output(), (Bytes{0x00, 0x27, 0x2B, 0x41}));

    EXPECT_EQ(flushedWith(0, true), Bytes{});
    EXPECT_EQ(flushedWith(7, true), (Bytes{0x00, 0x06}));
}

TEST(FlushChanges, ForcedFlushWithNothingPendingOnlyClearsTheFlag) {
    RunFixture f;
    f.markAllSent();
    f.state.forceFlush = true;
    flushChanges(f.state);
    EXPECT_FALSE(f.state.forceFlush);
    EXPECT_EQ(f.output(), Bytes{});
}

TEST(FlushChanges, GoesChannelByChannelNotByRegisterNumber) {
    EXPECT_EQ(flushedWith(0, false,
                          [](OpmImage& w) {
                              w.keyCode[5] = 0x44;
                              w.opParam[TL_ROW][0] = 0x10;
                          }),
              (Bytes{0x60, 0x10, 0x2D, 0x44}));
    EXPECT_EQ(flushedWith(0, false,
                          [](OpmImage& w) {
                              w.opParam[TL_ROW][1] = 0x11;
                              w.keyCode[1] = 0x33;
                          }),
              (Bytes{0x29, 0x33, 0x61, 0x11}));
}

TEST(FlushChanges, CombinedExampleWithAPendingWait) {
    RunFixture f;
    f.markAllSent();
    f.state.shadow.sent.modSens[7] = 0x23;
    OpmImage& w = f.wantedToChange();
    w.lfoFreq = 5;
    w.opParam[TL_ROW][0] = 0x10;
    w.keyCode[1] = 0x33;
    w.keyFraction[1] = 0x04;
    w.opParam[TL_ROW][1] = 0x11;
    w.opParam[3][9] = 0x80;
    w.keyCode[5] = 0x44;
    w.modSens[7] = 0x00;
    w.opParam[5][31] = 0x12;
    f.state.pendingTicks = 40;
    flushChanges(f.state);
    EXPECT_EQ(f.output(), Bytes({0x00, 0x27, 0x18, 0x05, 0x60, 0x10, 0x29, 0x33, 0x31, 0x04,
                                 0x61, 0x11, 0xA9, 0x80, 0x2D, 0x44, 0x3F, 0x00, 0xFF, 0x12}));
}

TEST(FlushChanges, AValueThatReturnsBeforeTheFlushWritesNothing) {
    EXPECT_EQ(flushedWith(12, false,
                          [](OpmImage& w) {
                              w.connect[2] = 0x01;
                              w.connect[2] = 0xC7;
                          }),
              Bytes{});
}

// Fields set one at a time, as the translation sets them, give the stream a full compare would
// give, whatever their order and however often one is set before the flush.
TEST(FlushChanges, FieldsSetOneAtATimeComeOutInFieldOrder) {
    struct Set {
        int field;
        std::uint8_t value;
    };
    const int kc1 = fieldIndex(1, KEY_CODE_FIELD), kf1 = fieldIndex(1, KEY_FRACTION_FIELD);
    const int tl0 = fieldIndex(0, operatorField(0, TL_ROW)), kc5 = fieldIndex(5, KEY_CODE_FIELD);
    const struct {
        std::vector<Set> sets;
        Bytes stream;
    } cases[] = {
        {{{kc1, 0x33}, {kf1, 0x04}}, {0x00, 0x27, 0x29, 0x33, 0x31, 0x04}},
        {{{kf1, 0x04}, {kc1, 0x33}}, {0x00, 0x27, 0x29, 0x33, 0x31, 0x04}},
        {{{kc1, 0x33}, {kc1, 0x35}}, {0x00, 0x27, 0x29, 0x35}},
        {{{kc1, 0x33}, {kc1, 0x00}}, {}},
        {{{kc5, 0x44}, {tl0, 0x10}, {LFO_FIELD, 5}},
         {0x00, 0x27, 0x18, 0x05, 0x60, 0x10, 0x2D, 0x44}},
    };
    for (const auto& c : cases) {
        RunFixture f;
        f.markAllSent();
        flushChanges(f.state);  // from here on the image agrees with the stream
        f.state.pendingTicks = 40;
        for (const Set& set : c.sets) {
            const FieldPlace place = FIELD_PLACES[std::size_t(set.field)];
            setWanted(f.state, bytesOf(f.state.shadow.wanted)[place.offset], set.value);
        }
        flushChanges(f.state);
        EXPECT_EQ(f.state.pendingTicks, c.stream.empty() ? 40u : 0u);
        EXPECT_EQ(std::memcmp(&f.state.shadow.sent, &f.state.shadow.wanted, sizeof(OpmImage)), 0);
        EXPECT_EQ(f.output(), c.stream);
    }
}

TEST(StreamPrologue, IsTheSame122BytesAndSyncsThePsgVoices) {
    RunFixture f;
    writeStreamPrologue(f.state);
    const OpmShadow& sh = f.state.shadow;
    EXPECT_EQ(sh.sent.lfoFreq, 1);
    for (int c = 0; c < 8; ++c) {
        const bool psgVoice = c >= 6;
        EXPECT_EQ(sh.sent.connect[c], psgVoice ? 0xC7 : 0) << c;
        for (int op = 0; op < 4; ++op)
            for (int row = 0; row < 6; ++row)
                EXPECT_EQ(sh.sent.opParam[row][c + 8 * op],
                          psgVoice ? sh.wanted.opParam[row][c + 8 * op] : 0);
    }
    EXPECT_FALSE(f.state.forceFlush);
    EXPECT_EQ(f.output(), streamPrologue());
}

TEST(StreamPrologue, FirstFlushAfterItSendsTheFmStartUpValues) {
    RunFixture f;
    writeStreamPrologue(f.state);
    f.state.pendingTicks = 3;
    flushChanges(f.state);
    const Bytes out = f.output();
    const Bytes flushed(out.begin() + 122, out.end());
    ASSERT_EQ(flushed.size(), 2u + 102 * 2);
    EXPECT_EQ(Bytes(flushed.begin(), flushed.begin() + 14),
              (Bytes{0x00, 0x02, 0x20, 0xC7, 0x40, 0x07, 0x60, 0x7F, 0x80, 0x1F, 0xE0, 0xFF, 0x48,
                     0x05}));
    for (std::size_t i = 2; i < flushed.size(); i += 2) {
        const int reg = flushed[i];
        EXPECT_NE(reg & 7, 6);
        EXPECT_NE(reg & 7, 7);
    }
}

}  // namespace
