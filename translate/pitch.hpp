// Source-chip pitch to OPM key code and key fraction.
//
// Both front ends give twice the tone frequency of the chips' published formulas (the YM2612
// F-number is shifted by block, not block - 1; the SN76489 clock is divided by 16 x period, not
// 32 x period). The two scales agree, and pitchToKeyCode is tuned to that doubled frequency.
#pragma once

#include <cstdint>

// OPM pitch: KC holds the octave in bits 6-4 and the note code in bits 3-0, KF holds 64 steps
// per semitone in bits 7-2.
struct KeyCode {
    std::uint8_t keyCode;
    std::uint8_t keyFraction;
};

// The values of one conversion, as stored between its steps.
struct PitchSteps {
    double noteValue;        // 12 * log2(frequency / 8363) + 92, before the clamp (-inf for 0 Hz)
    double reduced;          // note value after the clamp and the octave reduction, in (-1, 11]
    int octave;              // octave count after the cap, 0 to 7
    std::uint8_t floorByte;  // low byte of floor(reduced): 0 to 11, or 255 for (-1, 0)
    double fraction;         // reduced - floorByte
    KeyCode code;
};

// Frequency (0 or more Hz, on the doubled scale) to KC and KF. The steps between stored doubles
// are carried at 64-bit-significand extended precision.
PitchSteps pitchSteps(double frequency);
KeyCode pitchToKeyCode(double frequency);

// The same routine with every step in plain double arithmetic. Over the whole input domain it
// gives the same KC and KF as pitchSteps; kept to check that claim.
PitchSteps pitchStepsPlainDouble(double frequency);

// Frequency of a YM2612 F-number/block latch pair. Bits 7-6 of fnumHigh play no part.
double fmFrequency(std::uint8_t fnumLow, std::uint8_t fnumHigh);

// Frequency of an SN76489 tone period; period must not be 0.
double psgFrequency(std::uint16_t period);

// pitchToKeyCode of fmFrequency and of psgFrequency, each worked out once per F-number and block
// or per tone period and then remembered: the logarithm is the costliest step of a write.
KeyCode fmKeyCode(std::uint8_t fnumLow, std::uint8_t fnumHigh);
KeyCode psgKeyCode(std::uint16_t period);
