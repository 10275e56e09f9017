// The DAC's samples as the X68000 plays them: each resampled to an ADPCM rate with a proper
// anti-alias filter (libsoxr), scaled into the MSM6258's 12 bits with headroom, encoded, and
// the whole bank fitted into the room the program has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "full/translate/dac_capture.hpp"

// The ADPCM's rates at its 8 MHz clock, by PPI port C's divider (bits 3-2).
enum class AdpcmRate : std::uint8_t { hz15625, hz10417, hz7813 };
double adpcmRateHz(AdpcmRate rate);
std::uint8_t adpcmDividerBits(AdpcmRate rate);  // port C bits 3-2: 512, 768, 1024

struct AdpcmSample {
    std::vector<std::uint8_t> bytes;  // empty when left out
    AdpcmRate rate = AdpcmRate::hz15625;
    double seconds = 0;  // the source's length
};

struct AdpcmBank {
    std::vector<AdpcmSample> samples;  // one for each DAC sample, in the same order
    std::size_t bytes = 0;             // of the samples kept
    int lowered = 0;                   // samples played below 15.6 kHz to fit
    int leftOut = 0;                   // long samples left out to fit
    double leftOutSeconds = 0;
    bool fits = true;  // false when even the short hits alone outgrow the room
};

// A sample shorter than this is a drum hit, never left out: 0.5 s.
inline constexpr double SHORT_HIT_SECONDS = 0.5;
// The loudest the DAC goes, (x - 128) at -128 or 127, plays at this share of the 12-bit range.
// The MSM6258 has no volume of its own, so this sets the drums' balance against the FM: at
// 0.375 the converted DAC logs render as loud as their sources in MAME (within 0.6 dB, where
// 0.75 played them 3 to 4 dB loud), and the encoder's overshoot has room to spare.
inline constexpr double ADPCM_HEADROOM = 0.375;

// The DAC's values at an ADPCM rate, through libsoxr's high-quality anti-alias filter, scaled
// into the 12-bit range with ADPCM_HEADROOM: what the encoder is given.
std::vector<std::int16_t> adpcmSignals(const DacSample& sample, AdpcmRate rate);

// Encodes every sample at 15.6 kHz; while the bank outgrows `room` bytes, plays the longest
// samples at 10.4 kHz, then at 7.8 kHz (the fade's copies before the others), then leaves the
// longest out, short hits never.
AdpcmBank buildAdpcmBank(const std::vector<DacSample>& samples, std::size_t room);
// The fewest bytes the bank can take: its table, the short hits at 7.8 kHz, the long samples
// left out.
std::int64_t smallestBankBytes(const std::vector<DacSample>& samples);
