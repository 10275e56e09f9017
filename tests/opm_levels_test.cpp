// The OPM envelope model behind the silence check: rates, phases and carriers against the
// times the envelope generator's rate table gives at 4 MHz.
#include <gtest/gtest.h>

#include <cmath>

#include "dump/program/opm_levels.hpp"

namespace {

constexpr double STEP_SECONDS = 787.0 / 5 / 44100;
// Attenuation units (0.09375 dB) a rate of 4-47 adds a second: (4 + rate % 4) / 8 on every
// 2^(11 - rate / 4)-th tick of the envelope clock, 4 MHz / 192.
double unitsPerSecond(int rate) {
    return 4e6 / 192 * (4 + rate % 4) / 8 / std::exp2(11 - rate / 4);
}

struct Program {
    ExecutableStream stream;
    void write(std::uint8_t reg, std::uint8_t value) { stream.pairs.push_back({0, reg, value}); }
    void wait(int steps) {
        for (; steps > 0; steps -= 240) write(0, std::uint8_t(std::min(steps, 240) - 1));
    }
};

Program fullProgram() {
    Program p;
    p.stream.player = PlayerKind::full;
    return p;
}

// Channel 0 with one carrier, C2 (algorithm 0), at TL 0 and the given envelope, keyed on at
// step 0 and off at step `offStep`.
struct EnvelopeCase {
    const char* name;
    std::uint8_t ksAr, d1r, d2r, d1lRr, keyCode;
    int offStep;
    double seconds;  // from key-off (from key-on with no key-off) to the moment checked
    double expectedDb;
    double toleranceDb;
};

std::vector<float> channel0(const EnvelopeCase& c, int steps) {
    Program p = fullProgram();
    p.write(0x20, 0xC0);
    p.write(0x28, c.keyCode);
    for (int op = 0; op < 3; ++op) p.write(std::uint8_t(0x60 + 8 * op), 0x7F);
    p.write(0x78, 0);
    p.write(0x98, c.ksAr);
    p.write(0xB8, c.d1r);
    p.write(0xD8, c.d2r);
    p.write(0xF8, c.d1lRr);
    p.write(0x08, 0x40);
    p.wait(c.offStep);
    p.write(0x08, 0x00);
    p.wait(steps - c.offStep);
    return opmLevels(p.stream).channel[0];
}

TEST(OpmLevels, EnvelopePhasesTakeTheirRatesTime) {
    const double rr8 = 512 / unitsPerSecond(34);    // RR 8: rate 34, to -48 dB
    const double d1r10 = 128 / unitsPerSecond(20);  // D1R 10: rate 20, to D1L 4 (-12 dB)
    const EnvelopeCase cases[] = {
        {"RR 8 reaches -48 dB", 0x1F, 0, 0, 0x08, 0x00, 100, rr8, -48, 48 * 0.2},
        {"RR 8 halfway at -24 dB", 0x1F, 0, 0, 0x08, 0x00, 100, rr8 / 2, -24, 24 * 0.2},
        // KS 3 adds the whole key code, 19 for octave 4 note 12: rate 34 + 19 = 53.
        {"RR 8 scaled by KS 3", 0xDF, 0, 0, 0x08, 0x4C, 100, 512 / 2.5 / (4e6 / 192), -48, 10},
        {"RR 15 ends within two steps", 0x1F, 0, 0, 0x0F, 0x00, 100, 2 * STEP_SECONDS, -96, 0},
        {"RR 0 at key code 0 never fades", 0x1F, 0, 0, 0x00, 0x00, 10, 10, 0, 0},
        {"AR 31 is at full level in its step", 0x1F, 0, 0, 0x0F, 0x00, 2000, 0, 0, 0},
        {"AR 0 never sounds", 0x00, 0, 0, 0x0F, 0x00, 2000, 5, -96, 0},
        {"D1R 10 decays to D1L 4", 0x1F, 10, 0, 0x40, 0x00, 2000, d1r10 * 0.8, -9.6, 1.5},
        {"and stays at D1L 4", 0x1F, 10, 0, 0x40, 0x00, 2000, 5, -12, 0.2},
        {"D1L 15 is 93 dB", 0x1F, 31, 0, 0xF0, 0x00, 2000, 1, -93, 0},
        {"D2R goes on below D1L", 0x1F, 31, 31, 0x40, 0x00, 2000, 1, -96, 0},
        // Attack is exponential: AR 20 (rate 40) from silence is near full level in 40 ms.
        {"AR 20 rises within 40 ms", 0x14, 0, 0, 0x0F, 0x00, 2000, 0.04, 0, 1},
    };
    for (const EnvelopeCase& c : cases) {
        const std::vector<float> levels = channel0(c, 3000);
        const int offStep = c.offStep < 2000 ? c.offStep : 0;
        const auto at = std::size_t(offStep + std::lround(c.seconds / STEP_SECONDS));
        ASSERT_LT(at, levels.size()) << c.name;
        EXPECT_NEAR(levels[at], c.expectedDb, c.toleranceDb + 0.1) << c.name;
    }
}

TEST(OpmLevels, CarriersFollowTheAlgorithmAndTheNoiseTakesChannel7sC2) {
    // The operators keyed (all by default) at full level; TL 0 on one operator alone.
    auto levels = [](std::uint8_t connect, int loudOperator, int channel, bool noise,
                     std::uint8_t keys = 0x78) {
        Program p = fullProgram();
        p.write(0x20 + channel, connect);
        p.write(0x0F, noise ? 0x80 : 0x00);
        for (int op = 0; op < 4; ++op) {
            const int slot = channel + 8 * op;
            p.write(std::uint8_t(0x60 + slot), op == loudOperator ? 0 : 0x7F);
            p.write(std::uint8_t(0x80 + slot), 0x1F);
        }
        p.write(0x08, std::uint8_t(keys | channel));
        p.wait(3);
        const OpmLevels all = opmLevels(p.stream);
        return std::pair{all.channel[std::size_t(channel)][1], all.noise[1]};
    };
    constexpr float QUIET = -95.25f;                                  // TL 127
    EXPECT_EQ(levels(0xC0, 3, 0, false).first, 0);                    // algorithm 0: C2 carries
    EXPECT_EQ(levels(0xC0, 2, 0, false).first, QUIET);                // C1 only modulates
    EXPECT_EQ(levels(0xC4, 2, 0, false).first, 0);                    // algorithm 4: C1 carries
    EXPECT_EQ(levels(0xC5, 1, 0, false).first, 0);                    // algorithm 5: M2 carries
    EXPECT_EQ(levels(0xC6, 0, 0, false).first, QUIET);                // M1 modulates up to 6
    EXPECT_EQ(levels(0xC7, 0, 0, false).first, 0);                    // and carries in 7
    EXPECT_EQ(levels(0x07, 0, 0, false).first, OPM_SILENT_DB);        // both sides off
    EXPECT_EQ(levels(0xC4, 2, 0, false, 0x10).first, 0);              // key bit 4 is C1
    EXPECT_EQ(levels(0xC4, 2, 0, false, 0x20).first, OPM_SILENT_DB);  // bit 5 is M2
    EXPECT_EQ(levels(0xC7, 3, 7, true), std::pair(QUIET, 0.0f));      // the noise
    EXPECT_EQ(levels(0xC7, 3, 7, false), std::pair(0.0f, OPM_SILENT_DB));
}

}  // namespace
