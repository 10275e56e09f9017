// Source-chip tone frequencies, and the OPM key code and fraction nearest to a frequency on the
// X68000's OPM at 4 MHz, by the phase steps the OPM actually plays.
#pragma once

#include <cstdint>

#include "translate/pitch.hpp"

inline constexpr double X68000_OPM_CLOCK = 4000000.0;

// Tone frequency of a YM2612 channel: F-number F and block B of its 0xA4/0xA0 latches give
// ((F << B) >> 1) * clock / (144 * 2^20), so block 0 drops F's lowest bit. Bits 7-6 of
// fnumHigh play no part.
double ym2612ToneHz(std::uint8_t fnumLow, std::uint8_t fnumHigh);

// Tone frequency of an SN76489 channel with a period of 1 to 1023: clock / (32 * period).
double sn76489ToneHz(std::uint16_t period);

// The key code and fraction whose phase step sounds nearest to hz on the X68000 (within 2.2
// cents from octave 2 up, 2.6 cents in octaves 0 and 1, where the steps are coarser), held
// within the OPM's range: C#0 (19.3 Hz) to C8 with fraction 63 (4.95 kHz).
KeyCode opmKeyCodeNearest(double hz);

// The pitch that KC and KF give on the X68000: their phase step at 4 MHz.
double opmPitchHz(KeyCode code);

// opmKeyCodeNearest of ym2612ToneHz and of sn76489ToneHz, worked out once per F-number and
// block or per period and then remembered: the logarithm is the costliest step of a write.
KeyCode ym2612KeyCode(std::uint8_t fnumLow, std::uint8_t fnumHigh);
KeyCode sn76489KeyCode(std::uint16_t period);
