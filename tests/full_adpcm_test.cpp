// The MSM6258 ADPCM codec of opmcast-full, against a decoder written here from the chip's
// description, independently of the one the encoder uses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "full/translate/msm6258_adpcm.hpp"

namespace {

// The chip, as described: 49 step sizes floor(16 * 1.1^i); a nibble adds step/8, plus step/4,
// step/2 and step for its bits 0-2 (each truncated), negated by bit 3; the signal saturates at
// 12 bits; the step index falls by 1 for magnitudes 0-3 and rises by 2, 4, 6, 8 for 4-7.
std::vector<int> referenceDecode(const std::vector<std::uint8_t>& bytes) {
    const int steps[49] = {16,  17,  19,  21,  23,  25,   28,   31,   34,   37,  41,  45,  50,
                           55,  60,  66,  73,  80,  88,   97,   107,  118,  130, 143, 157, 173,
                           190, 209, 230, 253, 279, 307,  337,  371,  408,  449, 494, 544, 598,
                           658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552};
    std::vector<int> out;
    int signal = 0, index = 0;
    for (const std::uint8_t byte : bytes)
        for (const int nibble : {byte & 0x0F, byte >> 4}) {
            const int step = steps[index];
            int magnitude = step >> 3;
            for (int bit = 0; bit < 3; ++bit)
                if (nibble & (1 << bit)) magnitude += step >> (2 - bit);
            signal += (nibble & 8) ? -magnitude : magnitude;
            signal = signal > 2047 ? 2047 : signal < -2048 ? -2048 : signal;
            index += (nibble & 4) ? 2 * (nibble & 3) + 2 : -1;
            index = index > 48 ? 48 : index < 0 ? 0 : index;
            out.push_back(signal);
        }
    return out;
}

double snrDb(const std::vector<std::int16_t>& wanted, const std::vector<int>& played) {
    double signal = 0, noise = 0;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        signal += double(wanted[i]) * wanted[i];
        noise += (double(played[i]) - wanted[i]) * (double(played[i]) - wanted[i]);
    }
    return 10 * std::log10(signal / noise);
}

TEST(FullAdpcm, DecoderStepsAsTheChipDoes) {
    // From the start state: nibble 7 adds 2 + 4 + 8 + 16 and moves the index up by 8; the
    // low nibble plays first.
    EXPECT_EQ(adpcmDecode(std::vector<std::uint8_t>{0xF7}),
              (std::vector<std::int16_t>{30, 30 - (4 + 8 + 17 + 34)}));
    // Index clamps at 0 and 48, the signal at 12 bits.
    std::vector<std::uint8_t> bytes(40, 0x77);  // up to the top of both
    bytes.insert(bytes.end(), 40, 0xFF);        // down to the bottom
    bytes.insert(bytes.end(), 40, 0x00);        // the step back to the smallest
    bytes.insert(bytes.end(), 2, 0x88);
    const std::vector<std::int16_t> decoded = adpcmDecode(bytes);
    const std::vector<int> reference = referenceDecode(bytes);
    ASSERT_EQ(decoded.size(), reference.size());
    for (std::size_t i = 0; i < decoded.size(); ++i) ASSERT_EQ(decoded[i], reference[i]) << i;
    EXPECT_EQ(decoded[79], 2047);
    EXPECT_EQ(decoded[159], -2048);
    EXPECT_EQ(decoded[240] - decoded[239], -2);  // step 16 again: 0x8 subtracts 16/8
    // Every nibble from a spread of states.
    std::mt19937 random(7);
    std::vector<std::uint8_t> noise(4096);
    for (auto& byte : noise) byte = std::uint8_t(random());
    const std::vector<std::int16_t> noisy = adpcmDecode(noise);
    EXPECT_EQ(std::vector<int>(noisy.begin(), noisy.end()), referenceDecode(noise));
}

TEST(FullAdpcm, EncoderPlaysBackWithinStatedNoise) {
    constexpr double RATE = 15625;
    struct Case {
        const char* what;
        double minimumSnrDb;
        std::vector<std::int16_t> signals;
    };
    std::vector<Case> cases;
    for (const double hz : {440.0, 2000.0}) {
        std::vector<std::int16_t> sine(7813);
        for (std::size_t i = 0; i < sine.size(); ++i)
            sine[i] =
                std::int16_t(std::lround(1500 * std::sin(2 * std::numbers::pi * hz * i / RATE)));
        cases.push_back({hz < 1000 ? "440 Hz sine" : "2 kHz sine", hz < 1000 ? 35.0 : 21.0, sine});
    }
    // A drum-like hit: a noise burst with a falling tone under it, decaying over 0.2 s.
    std::mt19937 random(3);
    std::normal_distribution<double> gauss(0, 1);
    std::vector<std::int16_t> hit(3125);
    for (std::size_t i = 0; i < hit.size(); ++i) {
        const double t = i / RATE;
        const double tone = std::sin(2 * std::numbers::pi * (180 - 300 * t) * t);
        hit[i] = std::int16_t(
            std::lround(1800 * std::exp(-t / 0.05) * (0.6 * tone + 0.4 * gauss(random))));
    }
    cases.push_back({"noise and tone hit", 17.0, hit});
    cases.push_back(
        {"odd length, the step adapting from its smallest", 25.0,
         std::vector<std::int16_t>(cases[0].signals.begin(), cases[0].signals.begin() + 101)});
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> bytes = adpcmEncode(c.signals);
        EXPECT_EQ(bytes.size(), (c.signals.size() + 1) / 2) << c.what;
        const std::vector<int> played = referenceDecode(bytes);
        const double snr = snrDb(c.signals, played);
        EXPECT_GE(snr, c.minimumSnrDb) << c.what;
        std::printf("%s: %.1f dB\n", c.what, snr);
    }
}

}  // namespace
