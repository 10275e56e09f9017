// opmcast-full's mapping of pitch, noise and LFO settings onto the X68000's OPM.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "full/translate/full_run.hpp"
#include "full/translate/noise_lfo.hpp"
#include "full/translate/true_pitch.hpp"

namespace {

double centsBetween(double a, double b) {
    return 1200.0 * std::log2(a / b);
}

// The OPM's range at 4 MHz: C#0 with fraction 0 to C8 with fraction 63.
const double LOWEST_HZ = opmPitchHz({0x00, 0x00});
const double HIGHEST_HZ = opmPitchHz({0x7E, 0xFC});

// Every key code and fraction the OPM has, with its pitch.
std::vector<std::pair<KeyCode, double>> everyOpmPitch() {
    std::vector<std::pair<KeyCode, double>> pitches;
    for (int keyCode = 0; keyCode < 0x80; ++keyCode)
        for (int fraction = 0; fraction < 0x100 && (keyCode & 0x03) != 0x03; fraction += 4) {
            const KeyCode code{std::uint8_t(keyCode), std::uint8_t(fraction)};
            pitches.emplace_back(code, opmPitchHz(code));
        }
    return pitches;
}

void expectNearest(double hz, const std::string& what, double largestCents) {
    static const auto pitches = everyOpmPitch();
    const KeyCode code = opmKeyCodeNearest(hz);
    EXPECT_NE(code.keyCode & 0x03, 0x03) << what;  // note codes 3, 7, 11, 15 are not notes
    const double cents = std::abs(centsBetween(opmPitchHz(code), hz));
    if (hz < LOWEST_HZ || hz > HIGHEST_HZ) {
        EXPECT_EQ(code.keyCode, hz < LOWEST_HZ ? 0x00 : 0x7E) << what;
        EXPECT_EQ(code.keyFraction, hz < LOWEST_HZ ? 0x00 : 0xFC) << what;
        return;
    }
    EXPECT_LE(cents, largestCents) << what;
    for (const auto& [other, otherHz] : pitches)
        ASSERT_LE(cents, std::abs(centsBetween(otherHz, hz)) + 1e-9)
            << what << ": key code " << int(other.keyCode) << " fraction " << int(other.keyFraction)
            << " is nearer";
}

TEST(FullPitch, EverySourcePitchGetsTheNearestPhaseStep) {
    // A4 of the chip's tables (440 Hz at 3.579545 MHz) sounds at 4/3.579545 of that on the
    // X68000; its phase step, 2062 << 2, plays 491.619 Hz, 0.22 cents below.
    EXPECT_NEAR(opmPitchHz({0x4A, 0x00}), 491.6191101074219, 1e-9);
    EXPECT_EQ(opmKeyCodeNearest(440.0 * 4000000 / 3579545).keyCode, 0x4A);
    EXPECT_EQ(opmKeyCodeNearest(440.0 * 4000000 / 3579545).keyFraction, 0x00);
    // F-number 617, block 4: 250.75 Hz, A3 and 0.34 of a semitone: fraction 22 of 64.
    EXPECT_NEAR(ym2612ToneHz(0x69, 0x22), 250.7458528412713, 1e-9);
    EXPECT_EQ(opmKeyCodeNearest(ym2612ToneHz(0x69, 0x22)).keyCode, 0x3A);
    EXPECT_EQ(opmKeyCodeNearest(ym2612ToneHz(0x69, 0x22)).keyFraction, 22 << 2);
    EXPECT_EQ(ym2612ToneHz(0x69, 0xE2), ym2612ToneHz(0x69, 0x22));  // bits 7-6 play no part
    // Block 0 drops the F-number's lowest bit; block 1 keeps it.
    EXPECT_EQ(ym2612ToneHz(0x01, 0x03), ym2612ToneHz(0x00, 0x03));
    EXPECT_DOUBLE_EQ(ym2612ToneHz(0x01, 0x0B),
                     2 * ym2612ToneHz(0x00, 0x03) + ym2612ToneHz(0x02, 0x00));
    // Octaves 0 and 1 play octave 2's steps shifted right, the bits shifted out lost.
    EXPECT_EQ(opmPitchHz({0x01, 0x14}), opmPitchHz({0x01, 0x18}));  // D: 1382 and 1383 >> 2
    EXPECT_EQ(opmPitchHz({0x74, 0x14}), 32 * opmPitchHz({0x24, 0x14}));
    for (int block = 0; block < 8; ++block)
        for (int fnum = 1; fnum < 2048; ++fnum) {
            const auto low = std::uint8_t(fnum), high = std::uint8_t(block << 3 | fnum >> 8);
            const double hz = ym2612ToneHz(low, high);
            expectNearest(hz,
                          "block " + std::to_string(block) + " F-number " + std::to_string(fnum),
                          hz < 4 * LOWEST_HZ ? 2.6 : 2.2);
            // Remembered, the same codes.
            const KeyCode code = opmKeyCodeNearest(hz);
            for (int twice = 0; twice < 2; ++twice) {
                EXPECT_EQ(ym2612KeyCode(low, high).keyCode, code.keyCode);
                EXPECT_EQ(ym2612KeyCode(low, high).keyFraction, code.keyFraction);
            }
        }
    for (int period = 1; period < 1024; ++period) {
        const double hz = sn76489ToneHz(std::uint16_t(period));
        expectNearest(hz, "period " + std::to_string(period), hz < 4 * LOWEST_HZ ? 2.6 : 2.2);
        EXPECT_EQ(sn76489KeyCode(std::uint16_t(period)).keyFraction,
                  opmKeyCodeNearest(hz).keyFraction);
    }
    expectNearest(0.0, "0 Hz", 0);
}

TEST(FullNoise, ShiftRatesMapToTheNearestNoiseFrequency) {
    EXPECT_TRUE(isWhiteNoise(0x04));
    EXPECT_FALSE(isWhiteNoise(0x03));
    // clock/512, /1024, /2048: 6991 Hz is NFRQ 14 (6944 Hz); the lower two are out of reach.
    EXPECT_EQ(opmNoiseFrequency(sn76489NoiseShiftHz(0x04, 0)), 14);
    EXPECT_EQ(opmNoiseFrequency(sn76489NoiseShiftHz(0x05, 0)), 0);
    EXPECT_EQ(opmNoiseFrequency(sn76489NoiseShiftHz(0x06, 0)), 0);
    // Rate 3 follows tone channel 2: 111861 / N Hz, NFRQ round(32 - 1.1175 N).
    for (int n = 5; n <= 28; ++n)
        EXPECT_EQ(opmNoiseFrequency(sn76489NoiseShiftHz(0x07, std::uint16_t(n))),
                  std::lround(32 - 1.1175 * n))
            << n;
    EXPECT_EQ(opmNoiseFrequency(sn76489NoiseShiftHz(0x07, 1)), 31);
    EXPECT_EQ(opmNoiseFrequency(sn76489NoiseShiftHz(0x07, 0)), 0);  // period 0 counts as 1024
    EXPECT_DOUBLE_EQ(periodicNoisePitchHz(sn76489NoiseShiftHz(0x00, 0)), 3579545.0 / 512 / 16);
}

TEST(FullNoise, LevelFallsTwoDecibelsAnAttenuationStepOnTheNearestTl) {
    // The OPM noise's amplitude is linear in the TL of channel 7's C2, (1023 - 8 TL) / 1023.
    // In dB against TL 0:
    auto noiseDb = [](int tl) { return 20 * std::log10((1023.0 - 8 * tl) / 1023); };
    // The tone chip's noise falls 2 dB an attenuation step. Beside the FM, whose carriers play
    // 5 TL steps down, it belongs 0.24 dB below the OPM noise at TL 0 at attenuation 0 (MAME
    // renders of both machines). Each step gets the TL nearest its level in dB, within 0.52 dB
    // of it where the TL grid is coarsest (attenuation 13: TL 122 is -0.52 dB off, 121 +0.85 dB).
    auto run = std::make_unique<FullRun>();
    startFullRun(*run);
    translateFullSn76489(*run, 0xE4);  // white noise, rate clock/512
    for (int attenuation = 0; attenuation < 15; ++attenuation) {
        translateFullSn76489(*run, std::uint8_t(0xF0 | attenuation));
        ASSERT_EQ(run->stream.wanted[0x0F], 0x80 | 14) << attenuation;  // noise on, NFRQ 14
        const int tl = run->stream.wanted[0x60 + 7 + 24];
        const double wantedDb = -0.24 - 2.0 * attenuation;
        int nearest = 0;
        for (int other = 1; other < 128; ++other)
            if (std::abs(noiseDb(other) - wantedDb) < std::abs(noiseDb(nearest) - wantedDb))
                nearest = other;
        EXPECT_LE(std::abs(noiseDb(tl) - wantedDb), 0.52)
            << "attenuation " << attenuation << ": TL " << tl;
        EXPECT_EQ(tl, nearest) << "attenuation " << attenuation;
    }
}

TEST(FullLfo, RatesAndDepthsMapToTheNearestOpmSetting) {
    const double ymHz[8] = {3.853, 5.405, 5.861, 6.211, 6.712, 9.458, 52.02, 83.23};
    for (int rate = 0; rate < 8; ++rate) EXPECT_NEAR(ym2612LfoHz(rate), ymHz[rate], 0.005) << rate;
    EXPECT_NEAR(opmLfoHz(0xC0), 3.815, 0.001);
    EXPECT_NEAR(opmLfoHz(0xFF), 59.13, 0.01);
    EXPECT_EQ(LFRQ_BY_YM2612_RATE,
              (std::array<std::uint8_t, 8>{0xC0, 0xC7, 0xC9, 0xCA, 0xCC, 0xD4, 0xFB, 0xFF}));
    EXPECT_EQ(OPM_PMS_BY_YM2612_PMS, (std::array<std::uint8_t, 8>{0, 1, 1, 2, 2, 3, 4, 5}));
    EXPECT_EQ(OPM_AMS_BY_YM2612_AMS, (std::array<std::uint8_t, 4>{0, 0, 1, 2}));
}

}  // namespace
