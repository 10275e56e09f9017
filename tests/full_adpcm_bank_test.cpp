// The drums' bank: samples resampled to the ADPCM's rates and fitted into the program's room.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "full/translate/adpcm_bank.hpp"
#include "full/translate/msm6258_adpcm.hpp"

namespace {

// A sine of hz at the DAC's full swing, `seconds` long at 44 100 values a second.
DacSample dacSine(double hz, double seconds) {
    DacSample sample;
    sample.values.resize(std::size_t(seconds * 44100));
    for (std::size_t i = 0; i < sample.values.size(); ++i)
        sample.values[i] = std::uint8_t(
            std::lround(128 + 127 * std::sin(2 * std::numbers::pi * hz * double(i) / 44100)));
    return sample;
}

TEST(FullAdpcmBank, SamplesPlayAtTheirPitchAndLevelAndFitTheRoom) {
    // A hit of 0.1 s, a 1 s sample and a 3 s voice.
    const std::vector<DacSample> samples = {dacSine(1000, 0.1), dacSine(500, 1.0),
                                            dacSine(250, 3.0)};
    const AdpcmBank roomy = buildAdpcmBank(samples, 1 << 20);
    ASSERT_TRUE(roomy.fits);
    EXPECT_EQ(roomy.lowered + roomy.leftOut, 0);
    // Two samples a byte at 15 625 Hz; played back, the 1 kHz hit keeps its pitch, and the
    // DAC's full swing plays at 0.375 of the 12-bit range, the drums' balance against the FM:
    // this sine, 127/128 of the swing, at 762 of 2048.
    EXPECT_NEAR(double(roomy.samples[0].bytes.size()), 0.1 * 15625 / 2, 2);
    // The 1 kHz amplitude of a decoded sample, and the share of its power that it carries.
    const auto measure = [](const std::vector<std::uint8_t>& bytes) {
        const std::vector<std::int16_t> played = adpcmDecode(bytes);
        double sine = 0, cosine = 0, power = 0;
        for (std::size_t i = 200; i < played.size() - 200; ++i) {
            const double phase = 2 * std::numbers::pi * 1000 * double(i) / 15625;
            sine += played[i] * std::sin(phase);
            cosine += played[i] * std::cos(phase);
            power += double(played[i]) * played[i];
        }
        const double n = double(played.size() - 400);
        const double amplitude = 2 * std::hypot(sine, cosine) / n;
        return std::pair(amplitude, amplitude * amplitude / 2 / (power / n));
    };
    const auto [amplitude, share] = measure(roomy.samples[0].bytes);
    EXPECT_NEAR(amplitude, 762, 20);
    EXPECT_GT(share, 0.95);  // nearly all of it the 1 kHz
    // A copy the fade plays carries its gains: a quarter, 12 dB down, all through.
    DacSample faded = samples[0];
    faded.gains.assign(faded.values.size(), 0.25f);
    const auto [fadedAmplitude, fadedShare] =
        measure(buildAdpcmBank({faded}, 1 << 20).samples[0].bytes);
    EXPECT_NEAR(fadedAmplitude, 762 / 4.0, 8);
    EXPECT_GT(fadedShare, 0.9);

    // Room for a little less: the longest plays at 10.4 kHz first.
    const AdpcmBank tighter = buildAdpcmBank(samples, roomy.bytes - 100);
    EXPECT_TRUE(tighter.fits);
    EXPECT_EQ(tighter.lowered, 1);
    EXPECT_EQ(tighter.samples[2].rate, AdpcmRate::hz10417);
    EXPECT_EQ(tighter.samples[0].rate, AdpcmRate::hz15625);
    // The fade's copies give up their rate first, down to 7.8 kHz, even when shorter.
    std::vector<DacSample> withCopy = samples;
    withCopy.push_back(samples[1]);
    withCopy.back().gains.assign(withCopy.back().values.size(), 0.5f);
    const std::size_t copyBytes = std::size_t(1.0 * 15625 / 2);
    const AdpcmBank copyFirst = buildAdpcmBank(withCopy, roomy.bytes + copyBytes - 3000);
    EXPECT_TRUE(copyFirst.fits);
    EXPECT_EQ(copyFirst.samples[3].rate, AdpcmRate::hz7813);
    EXPECT_EQ(copyFirst.samples[2].rate, AdpcmRate::hz15625);
    // Less still: 7.8 kHz for the longest ones, then the longest left out, never the hit.
    const std::size_t hitBytes = roomy.samples[0].bytes.size();
    const AdpcmBank tight = buildAdpcmBank(samples, hitBytes + 4000);
    EXPECT_TRUE(tight.fits);
    EXPECT_TRUE(tight.samples[2].bytes.empty());
    EXPECT_EQ(tight.leftOut, 1);
    EXPECT_NEAR(tight.leftOutSeconds, 3.0, 0.001);
    EXPECT_FALSE(tight.samples[0].bytes.empty());
    const AdpcmBank tiny = buildAdpcmBank(samples, 10);
    EXPECT_FALSE(tiny.fits);  // the hit is never left out
    EXPECT_EQ(tiny.leftOut, 2);
    EXPECT_LE(tight.bytes, hitBytes + 4000);
}

}  // namespace
