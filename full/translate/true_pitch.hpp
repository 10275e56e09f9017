// Source-chip tone frequencies, and the OPM key code and fraction nearest to a frequency on the
// X68000's OPM, whose 4 MHz clock puts every key code 4/3.579545 times above the chip's tables.
#pragma once

#include <cstdint>

#include "translate/pitch.hpp"

inline constexpr double X68000_OPM_CLOCK = 4000000.0;

// Tone frequency of a YM2612 channel: F-number F and block B of its 0xA4/0xA0 latches give
// F * 2^B * clock / (144 * 2^21). Bits 7-6 of fnumHigh play no part.
double ym2612ToneHz(std::uint8_t fnumLow, std::uint8_t fnumHigh);

// Tone frequency of an SN76489 channel with a period of 1 to 1023: clock / (32 * period).
double sn76489ToneHz(std::uint16_t period);

// The key code and fraction whose pitch on the X68000 lies nearest to hz (to 1/64 semitone, so
// within 0.79 cents), held within the OPM's range: C#0 (19.5 Hz) to C8 with fraction 63
// (4.95 kHz).
KeyCode opmKeyCodeNearest(double hz);

// The pitch that KC and KF give on the X68000.
double opmPitchHz(KeyCode code);

// opmKeyCodeNearest of ym2612ToneHz and of sn76489ToneHz, worked out once per F-number and
// block or per period and then remembered: the logarithm is the costliest step of a write.
KeyCode ym2612KeyCode(std::uint8_t fnumLow, std::uint8_t fnumHigh);
KeyCode sn76489KeyCode(std::uint16_t period);
