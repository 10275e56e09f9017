#include "translate/pitch.hpp"

#include <cmath>
#include <cstdint>
#include <initializer_list>

#include <gtest/gtest.h>

#include "translate/opm_image.hpp"

namespace {

struct Expected {
    double frequency;
    double noteValue;
    double reduced;
    int octave;
    std::uint8_t floorByte;
    double fraction;
    std::uint8_t keyCode;
    std::uint8_t keyFraction;
};

void expectSteps(double frequency, const Expected& e) {
    EXPECT_EQ(frequency, e.frequency);
    const PitchSteps s = pitchSteps(frequency);
    EXPECT_EQ(s.noteValue, e.noteValue);
    EXPECT_EQ(s.reduced, e.reduced);
    EXPECT_EQ(s.octave, e.octave);
    EXPECT_EQ(s.floorByte, e.floorByte);
    EXPECT_EQ(s.fraction, e.fraction);
    EXPECT_EQ(s.code.keyCode, e.keyCode);
    EXPECT_EQ(s.code.keyFraction, e.keyFraction);
    const KeyCode k = pitchToKeyCode(frequency);
    EXPECT_EQ(k.keyCode, e.keyCode);
    EXPECT_EQ(k.keyFraction, e.keyFraction);
}

void expectKey(double frequency, std::uint8_t keyCode, std::uint8_t keyFraction) {
    const KeyCode k = pitchToKeyCode(frequency);
    EXPECT_EQ(k.keyCode, keyCode) << "frequency " << frequency;
    EXPECT_EQ(k.keyFraction, keyFraction) << "frequency " << frequency;
}

// A frequency whose note value comes out exactly as the double target; walks by single ulps
// from the frequency the formula gives. Returns 0 when none is found nearby.
double frequencyWithNoteValue(double target) {
    const double start = 8363.0 * std::exp2((target - NOTE_BIAS) / 12.0);
    double up = start;
    double down = start;
    for (int i = 0; i < 4096; ++i) {
        if (pitchSteps(up).noteValue == target) return up;
        if (pitchSteps(down).noteValue == target) return down;
        up = std::nextafter(up, 1e9);
        down = std::nextafter(down, 0.0);
    }
    return 0.0;
}

std::uint8_t noteCodeOf(const KeyCode& k) {
    return k.keyCode & 0x0F;
}

}  // namespace

// The intermediate doubles below are those of steps carried at 64-bit-significand precision
// and stored as IEEE doubles, checked to the last bit: a build that evaluates the note value in
// plain double lands a few ulps away even where KC and KF survive.
TEST(PitchWorkedExamples, FmChannels) {
    // F-number 0x269, block 4: shifted 9872, three reductions.
    expectSteps(fmFrequency(0x69, 0x22), {501.49170568254254, 43.28332618430136, 7.283326184301359,
                                          3, 7, 0.2833261843013588, 0x3A, 0x48});
    // F-number 2047, block 7: eight reductions, octave 8 capped to 7; note code follows x.
    expectSteps(fmFrequency(0xFF, 0x3F), {13310.256356981065, 100.04535067878928, 4.045350678789276,
                                          7, 4, 0.045350678789276344, 0x76, 0x08});
    // F-number 0x629, block 7: lands in (-1, 0) of octave 8, note code 0, KF from a negative
    // fraction (floor(256 * -255.47...) = -65401, low byte 0x87, masked 0x84).
    expectSteps(fmFrequency(0x29, 0x3E),
                {10254.164276970756, 95.52940937199448, -0.47059062800552454, 7, 255,
                 -255.47059062800554, 0x70, 0x84});
    // F-number 1, block 0: one unit of shifted F-number, far below the clamp.
    expectSteps(fmFrequency(0x01, 0x00),
                {0.05079940292570326, -115.94619396549166, 0.0, 0, 0, 0.0, 0x01, 0x00});
}

TEST(PitchWorkedExamples, PsgPeriods) {
    expectSteps(psgFrequency(254), {880.7935531496063, 53.03426301766291, 5.034263017662909, 4, 5,
                                    0.034263017662908624, 0x48, 0x08});
    // 0x2AC: reduced into (-1, 0) of octave 3; KF 0xE0 = floor(256 * 0.88424908) AND 0xFC.
    expectSteps(psgFrequency(684), {327.078307748538, 35.884249080298126, -0.11575091970187401, 3,
                                    255, -255.11575091970187, 0x30, 0xE0});
    // Twelve reductions, octave capped to 7.
    expectSteps(psgFrequency(1), {223721.5625, 148.89847925892892, 4.898479258928916, 7, 4,
                                  0.8984792589289157, 0x76, 0xE4});

    EXPECT_EQ(psgFrequency(1023), 218.69165444770283);
    expectKey(psgFrequency(1023), 0x26, 0xE8);
    // Period 22 falls into (-1, 0) of octave 8, so the cap puts it almost an octave below its
    // neighbours 23 and 21.
    expectKey(psgFrequency(23), 0x7E, 0x9C);
    expectKey(psgFrequency(22), 0x70, 0x60);
    expectKey(psgFrequency(21), 0x71, 0x30);
    expectKey(psgFrequency(240), 0x49, 0x04);
    expectKey(psgFrequency(336), 0x41, 0x30);
}

// Just above the clamp, adding NOTE_BIAS cancels most of the bits of the scaled logarithm, so
// any change to the order of evaluation shows in the stored note value: fast-math (which folds
// 12 / ln 2 into one factor) moves all three. The expression has no multiply-add, so FMA
// contraction alone cannot change it.
TEST(PitchEvaluationOrder, LowNotesKeepEveryBit) {
    // Block 0, F-numbers 0x33D, 0x369 and 0x438.
    expectSteps(fmFrequency(0x3D, 0x03),
                {42.112705025407998, 0.39654553245734853, 0.39654553245734853, 0, 0,
                 0.39654553245734853, 0x01, 0x64});
    expectSteps(fmFrequency(0x69, 0x03),
                {44.347878754138947, 1.2918601580616267, 1.2918601580616267, 0, 1,
                 0.29186015806162668, 0x02, 0x48});
    expectSteps(fmFrequency(0x38, 0x04),
                {54.863355159759521, 4.9755931991183173, 4.9755931991183173, 0, 4,
                 0.97559319911831732, 0x06, 0xF8});
}

TEST(PitchFrequency, FmLatchBitsAndScale) {
    EXPECT_EQ(fmHzPerUnit, 0.05079940292570326);
    // F-number 0 with every block is 0 Hz.
    for (int block = 0; block < 8; ++block) {
        EXPECT_EQ(fmFrequency(0x00, std::uint8_t(block << 3)), 0.0) << "block " << block;
    }
    // Bits 7-6 of the high latch are not part of the pitch.
    EXPECT_EQ(fmFrequency(0x69, 0xE2), fmFrequency(0x69, 0x22));
    EXPECT_EQ(fmFrequency(0xFF, 0xFF), fmFrequency(0xFF, 0x3F));
    // The block shifts the whole 11-bit F-number: 0x269 << 4 = 9872 units.
    EXPECT_EQ(fmFrequency(0x69, 0x22), fmHzPerUnit * 9872);
    // Bits 2-0 of the high latch are F-number bits 10-8.
    EXPECT_EQ(fmFrequency(0x00, 0x01), fmFrequency(0x01, 0x00) * 256);
    EXPECT_EQ(fmFrequency(0x01, 0x38), fmFrequency(0x80, 0x00));
}

TEST(PitchLowerClamp, ZeroAndLowFrequencies) {
    const PitchSteps zero = pitchSteps(0.0);
    EXPECT_TRUE(std::isinf(zero.noteValue) && zero.noteValue < 0);
    EXPECT_EQ(zero.reduced, 0.0);
    expectKey(0.0, 0x01, 0x00);
    for (int block = 0; block < 8; ++block) {
        expectKey(fmFrequency(0x00, std::uint8_t(block << 3)), 0x01, 0x00);
    }
    // The clamp sits at 8363 * 2^(-92/12) = 41.159 Hz.
    EXPECT_LT(pitchSteps(41.15).noteValue, 0.0);
    expectKey(41.15, 0x01, 0x00);
    EXPECT_GT(pitchSteps(41.17).noteValue, 0.0);
    expectKey(41.17, 0x01, 0x00);  // 0.004 semitone: KF still 0
    expectKey(41.30, 0x01, 0x0C);  // 0.059 semitone: floor(15.2) = 15
}

// One note value inside each row of the reduced-x table, placed in octave 3.
TEST(PitchNoteCode, EveryRowOfTheOctave) {
    struct Row {
        double reduced;
        std::uint8_t floorByte;
        std::uint8_t noteCode;
    };
    const Row rows[] = {{-0.7, 255, 0}, {0.3, 0, 1},  {1.3, 1, 2},  {2.3, 2, 4},
                        {3.3, 3, 5},    {4.3, 4, 6},  {5.3, 5, 8},  {6.3, 6, 9},
                        {7.3, 7, 10},   {8.3, 8, 12}, {9.3, 9, 13}, {10.3, 10, 14}};
    for (const Row& row : rows) {
        const double frequency = 8363.0 * std::exp2((36.0 + row.reduced - NOTE_BIAS) / 12.0);
        const PitchSteps s = pitchSteps(frequency);
        SCOPED_TRACE(row.reduced);
        EXPECT_NEAR(s.reduced, row.reduced, 1e-9);
        EXPECT_EQ(s.octave, 3);
        EXPECT_EQ(s.floorByte, row.floorByte);
        EXPECT_EQ(s.code.keyCode, 0x30 + row.noteCode);
    }
    // Code 0 carries the part of the semitone above 11 of the octave below: 0.3 * 256 = 76.8.
    const PitchSteps below = pitchSteps(8363.0 * std::exp2((36.0 - 0.7 - NOTE_BIAS) / 12.0));
    EXPECT_EQ(below.code.keyFraction, 76 & 0xFC);
}

TEST(PitchNoteCode, ExactlyElevenIsCodeFifteen) {
    // Not reduced (11 is not above 11): note code 15 of the same octave, not 0 of the next.
    for (double noteValue : {11.0, 47.0, 95.0}) {
        const double frequency = frequencyWithNoteValue(noteValue);
        ASSERT_NE(frequency, 0.0) << "no frequency gives note value " << noteValue;
        const PitchSteps s = pitchSteps(frequency);
        EXPECT_EQ(s.reduced, 11.0);
        EXPECT_EQ(s.floorByte, 11);
        EXPECT_EQ(s.fraction, 0.0);
        const int octave = int(noteValue - 11.0) / 12;
        EXPECT_EQ(s.code.keyCode, 16 * octave + 15) << "note value " << noteValue;
        EXPECT_EQ(s.code.keyFraction, 0x00);
        // One ulp higher the note drops into (-1, 0) of the next octave.
        const PitchSteps above = pitchSteps(std::nextafter(frequency, 1e9));
        if (above.noteValue > noteValue) {
            EXPECT_EQ(above.floorByte, 255);
            EXPECT_EQ(above.code.keyCode, 16 * (octave + 1));
            EXPECT_EQ(above.code.keyFraction, 0x00);
        }
    }
}

// Every F-number with every block and every non-zero tone period. Plain double arithmetic
// gives the same KC and KF as the extended routine, and the note codes keep to the table.
TEST(PitchWholeDomain, PlainDoubleAgreesAndCodesStayInTable) {
    auto check = [](double frequency, const char* what, int value) {
        const PitchSteps e = pitchSteps(frequency);
        const PitchSteps d = pitchStepsPlainDouble(frequency);
        ASSERT_EQ(e.code.keyCode, d.code.keyCode) << what << " " << value;
        ASSERT_EQ(e.code.keyFraction, d.code.keyFraction) << what << " " << value;

        ASSERT_GT(e.reduced, -1.0);
        ASSERT_LE(e.reduced, 11.0);
        ASSERT_GE(e.octave, 0);
        ASSERT_LE(e.octave, 7);
        ASSERT_EQ(e.code.keyCode >> 4, e.octave);
        const std::uint8_t code = noteCodeOf(e.code);
        ASSERT_TRUE(code != 3 && code != 7 && code != 11) << what << " " << value;
        ASSERT_EQ(code == 15, e.reduced == 11.0) << what << " " << value;
        ASSERT_EQ(code == 0, e.reduced < 0.0) << what << " " << value;
        ASSERT_EQ(e.code.keyFraction & 0x03, 0);
    };

    for (int block = 0; block < 8; ++block) {
        for (int fnum = 0; fnum < 2048; ++fnum) {
            const std::uint8_t low = std::uint8_t(fnum & 0xFF);
            const std::uint8_t high = std::uint8_t((block << 3) | (fnum >> 8));
            const double frequency = fmFrequency(low, high);
            // One rounding of the product equals rounding it first to 64 bits.
            ASSERT_EQ(frequency, double(static_cast<long double>(fmHzPerUnit) * (fnum << block)));
            check(frequency, "F-number/block", fnum | block << 11);
        }
    }
    for (int period = 1; period < 1024; ++period) {
        const double frequency = psgFrequency(std::uint16_t(period));
        ASSERT_EQ(frequency, double(static_cast<long double>(PSG_CLOCK) / period / 16.0L));
        // Tone periods never reach the lower clamp.
        ASSERT_GE(pitchSteps(frequency).noteValue, 0.0) << "period " << period;
        check(frequency, "period", period);
    }
}
