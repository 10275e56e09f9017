#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "tests/run_fixture.hpp"
#include "translate/translate.hpp"

namespace {

// A run in mid-stream: everything wanted has been sent, nothing is pending.
struct Midstream : RunFixture {
    Midstream() { markAllSent(); }
    void ym(std::uint8_t port, std::uint8_t reg, std::uint8_t data) {
        translateYm2612Write(state, port == 0 ? 0 : 3, reg, data);
    }
    void psg(std::initializer_list<std::uint8_t> bytes) {
        for (std::uint8_t b : bytes) translatePsgWrite(state, b);
    }
    const OpmImage& wanted() const { return state.shadow.wanted; }
    std::pair<int, int> pitch(int channel) const {
        return {wanted().keyCode[channel], wanted().keyFraction[channel]};
    }
    std::array<int, 4> levels(int channel) const {
        std::array<int, 4> tl;
        for (int op = 0; op < 4; ++op)
            tl[std::size_t(op)] = wanted().opParam[TL_ROW][channel + 8 * op];
        return tl;
    }
};

TEST(Ym2612, KeyOnMovesTheOperatorMaskAndFollowsEveryPendingChange) {
    Midstream m;
    m.state.pendingTicks = 3;
    m.ym(0, 0x40, 0x1C);  // TL channel 0 operator 0: flushed with the wait
    m.state.pendingTicks = 2;
    m.ym(0, 0x28, 0xF1);  // channel 1, all operators
    m.ym(0, 0x28, 0xF6);  // port-1 channel 2 = OPM channel 5
    m.ym(1, 0x28, 0x03);  // the command's port plays no part: channel 3, key off
    m.ym(0, 0x28, 0x07);  // channel 6 does not exist: only a flush
    m.ym(0, 0x28, 0x13);  // operator 0 only, channel 3
    EXPECT_EQ(m.output(), (Bytes{0x00, 0x02, 0x60, 0x1C, 0x00, 0x01, 0x08, 0x79, 0x08, 0x7D, 0x08,
                                 0x03, 0x08, 0x0B}));
}

TEST(Ym2612, OperatorRowsAreCopiedBitForBit) {
    for (int row = 0; row < 6; ++row)
        for (int op = 0; op < 4; ++op)
            for (int port = 0; port < 2; ++port)
                for (int ch = 0; ch < 3; ++ch) {
                    Midstream m;
                    const auto reg = std::uint8_t(0x30 + 0x10 * row + 4 * op + ch);
                    m.ym(std::uint8_t(port), reg, 0xA5);
                    const int slot = ch + 3 * port + 8 * op;
                    // D2R uses bits 4-0 only; the OPM would read bits 7-6 as DT2
                    const std::uint8_t copied = row == 4 ? 0x05 : 0xA5;
                    EXPECT_EQ(m.wanted().opParam[row][slot], copied) << int(reg);
                    const Bytes pair = {std::uint8_t(0x40 + 0x20 * row + slot), copied};
                    EXPECT_EQ(m.output(), pair);
                }
}

TEST(Ym2612, LowBitsThreeReachTheNextPortsFirstChannel) {
    Midstream port0;
    port0.ym(0, 0x43, 0x22);  // TL, low bits 3: channel 3
    EXPECT_EQ(port0.output(), (Bytes{0x63, 0x22}));
    Midstream port1;
    port1.ym(1, 0x43, 0x22);  // would be channel 6: dropped
    port1.ym(1, 0xA3, 0x22);
    port1.ym(1, 0xB7, 0x22);
    EXPECT_EQ(port1.output(), Bytes{});
}

TEST(Ym2612, AlgorithmPanningAndModulationSensitivity) {
    Midstream m;
    m.ym(0, 0xB4, 0xC7);
    EXPECT_EQ(m.wanted().connect[0], 0xC7);
    EXPECT_EQ(m.wanted().modSens[0], 0x70);
    m.ym(1, 0xB2, 0x3D);  // channel 5: feedback 7, algorithm 5; outputs kept
    EXPECT_EQ(m.wanted().connect[5], 0xFD);
    m.ym(1, 0xB6, 0x75);  // right only (YM2612 bit 6), AMS 3, FMS 5: OPM R is bit 7
    EXPECT_EQ(m.wanted().connect[5], 0xBD);
    EXPECT_EQ(m.wanted().modSens[5], 0x53);
    m.ym(1, 0xB6, 0x80);  // left only (YM2612 bit 7): OPM L is bit 6
    EXPECT_EQ(m.wanted().connect[5], 0x7D);
    m.ym(1, 0xB6, 0x00);  // neither output
    EXPECT_EQ(m.wanted().connect[5], 0x3D);
    m.ym(0, 0x22, 0x0B);  // LFO enabled, rate 3: the enable bit is ignored
    EXPECT_EQ(m.wanted().lfoFreq, 3);
    EXPECT_EQ(m.output(), (Bytes{0x38, 0x70, 0x25, 0xFD, 0x25, 0xBD, 0x3D, 0x53, 0x25, 0x7D, 0x3D,
                                 0x00, 0x25, 0x3D, 0x18, 0x03}));
}

TEST(Ym2612, FNumberWritesEachRecomputeThePitch) {
    Midstream m;
    m.ym(1, 0xA5, 0x22);  // channel 4 block 4, F-number 0x200 with the old low byte 0
    EXPECT_EQ(m.pitch(4), std::pair(0x36, 0x0C));
    m.ym(1, 0xA1, 0x69);  // F-number 0x269
    EXPECT_EQ(m.pitch(4), std::pair(0x3A, 0x48));
    m.ym(1, 0xA5, 0x2A);  // only the block changes, to 5: an octave up
    EXPECT_EQ(m.pitch(4), std::pair(0x4A, 0x48));
    m.ym(1, 0xA5, 0xEA);  // bits 7-6 play no part
    EXPECT_EQ(m.pitch(4), std::pair(0x4A, 0x48));
    m.ym(0, 0xA0, 0x00);  // F-number 0: lowest key code
    EXPECT_EQ(m.pitch(0), std::pair(0x01, 0x00));
    EXPECT_EQ(m.output(),
              (Bytes{0x2C, 0x36, 0x34, 0x0C, 0x2C, 0x3A, 0x34, 0x48, 0x2C, 0x4A, 0x28, 0x01}));
}

TEST(Ym2612, DroppedRegistersStillFlush) {
    for (std::uint8_t reg : {0x90, 0x9E, 0xA8, 0xAE, 0x24, 0x27, 0x2A, 0x2B, 0x21, 0x00, 0xFF}) {
        Midstream m;
        const OpmImage before = m.wanted();
        m.state.pendingTicks = 40;
        m.ym(0, reg, 0x5A);
        EXPECT_EQ(std::memcmp(&before, &m.wanted(), sizeof before), 0) << int(reg);
        EXPECT_EQ(m.state.pendingTicks, 40u);
        m.wantedToChange().opParam[TL_ROW][0] = 0x10;
        m.ym(0, reg, 0x5A);  // the flush now finds the change
        EXPECT_EQ(m.output(), (Bytes{0x00, 0x27, 0x60, 0x10})) << int(reg);
    }
}

TEST(Sn76489, ToneBytesBuildThePeriodAndDataBytesConvertIt) {
    Midstream m;
    m.psg({0x8E});
    EXPECT_EQ(m.state.latches.psgPeriod[0], 0x00E);
    EXPECT_EQ(m.pitch(6), std::pair(0, 0));
    m.psg({0x0F});
    EXPECT_EQ(m.state.latches.psgPeriod[0], 254);
    EXPECT_EQ(m.pitch(6), std::pair(0x48, 0x08));
    m.psg({0xAC, 0x2A});
    EXPECT_EQ(m.pitch(7), std::pair(0x30, 0xE0));
    // A lone latch byte changes the stored period but not the pitch until data follows.
    m.psg({0x80});
    EXPECT_EQ(m.state.latches.psgPeriod[0], 240);
    EXPECT_EQ(m.pitch(6), std::pair(0x48, 0x08));
    m.psg({0x0F});
    EXPECT_EQ(m.pitch(6), std::pair(0x49, 0x04));
    // Bit 6 of a data byte is not part of the period.
    m.psg({0x8E, 0x4F});
    EXPECT_EQ(m.state.latches.psgPeriod[0], 0x0FE);
    EXPECT_EQ(m.output(), (Bytes{0x2E, 0x48, 0x36, 0x08, 0x2F, 0x30, 0x37, 0xE0, 0x2E, 0x49, 0x36,
                                 0x04, 0x2E, 0x48, 0x36, 0x08}));
}

TEST(Sn76489, PeriodZeroKeepsThePitchAndStillFlushes) {
    Midstream m;
    m.psg({0x8E, 0x0F});
    m.state.pendingTicks = 5;
    m.psg({0x80, 0x00});
    EXPECT_EQ(m.state.latches.psgPeriod[0], 0);
    EXPECT_EQ(m.pitch(6), std::pair(0x48, 0x08));
    EXPECT_EQ(m.state.pendingTicks, 5u);
}

TEST(Sn76489, DataByteBeforeAnyLatchGoesToChannelZeroTone) {
    Midstream m;
    m.psg({0x55});
    EXPECT_EQ(m.state.latches.psgPeriod[0], 0x150);
    EXPECT_EQ(m.pitch(6), std::pair(0x41, 0x30));
}

TEST(Sn76489, AttenuationSetsAllFourOperatorLevels) {
    Midstream m;
    m.psg({0x90});
    EXPECT_EQ(m.levels(6), (std::array{39, 35, 31, 27}));
    m.psg({0xB5});
    EXPECT_EQ(m.levels(7), (std::array{59, 55, 51, 47}));
    m.psg({0x07});  // a data byte after an attenuation latch carries a new attenuation
    EXPECT_EQ(m.levels(7), (std::array{67, 63, 59, 55}));
    m.psg({0x9F});
    EXPECT_EQ(m.levels(6), (std::array{127, 127, 127, 127}));
    m.psg({0x9E});
    EXPECT_EQ(m.levels(6), (std::array{95, 91, 87, 83}));
}

TEST(Sn76489, ChannelsTwoAndThreeOnlyUpdateLatches) {
    Midstream m;
    m.state.pendingTicks = 9;
    m.psg({0xDF, 0xC5, 0x3F, 0xE4, 0xF0});
    EXPECT_EQ(m.state.latches.psgPeriod[2], 0x3F5);
    EXPECT_EQ(m.state.latches.psgPeriod[3], 4);
    EXPECT_EQ(m.state.latches.psgLatch, 0xF0);
    EXPECT_EQ(m.state.pendingTicks, 9u);
    EXPECT_EQ(m.output(), Bytes{});
}

}  // namespace
