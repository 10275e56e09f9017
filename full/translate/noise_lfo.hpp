// The SN76489 noise on the OPM's noise generator, and the YM2612 LFO on the OPM's LFO.
#pragma once

#include <array>
#include <cstdint>

// --- Noise

// The SN76489 noise register (bits 2-0): bit 2 set is white noise, clear periodic; bits 1-0
// pick the shift rate clock/512, /1024, /2048, or (3) the frequency of tone channel 2, whose
// counter then clocks the shift register.
constexpr bool isWhiteNoise(std::uint8_t noiseControl) {
    return (noiseControl & 0x04) != 0;
}

// Shift rate of the noise register in Hz; tone2Period is used for rate 3 (0 counts as 1024).
double sn76489NoiseShiftHz(std::uint8_t noiseControl, std::uint16_t tone2Period);

// OPM register 0x0F's NFRQ (0-31) for a shift rate: the OPM's noise makes one new bit every
// 32 x (32 - NFRQ) clocks, 125000 / (32 - NFRQ) Hz at 4 MHz; rates below 3906 Hz (NFRQ 0) are
// out of its reach and get NFRQ 0.
std::uint8_t opmNoiseFrequency(double shiftHz);

// Periodic noise is one set bit going round the 16-bit shift register: a pulse at a
// sixteenth of the shift rate, which an FM voice can play.
constexpr double periodicNoisePitchHz(double shiftHz) {
    return shiftHz / 16.0;
}

// --- LFO

// The settings shared by every channel: waveform triangle, and the two depths against which
// the per-channel sensitivities below are chosen.
inline constexpr std::uint8_t OPM_LFO_TRIANGLE = 2;
inline constexpr std::uint8_t OPM_AM_DEPTH = 32;   // AMD: AMS 1 and 2 then equal YM2612's 2, 3
inline constexpr std::uint8_t OPM_PM_DEPTH = 102;  // PMD: PMS 1-5 then give 5 to 80 cents

// YM2612 LFO frequency of each rate setting (0x22 bits 2-0): its counter steps every
// 108, 77, 71, 67, 62, 44, 8, 5 samples of clock/144, 128 steps a period.
double ym2612LfoHz(int rate);
// OPM LFO frequency of LFRQ at 4 MHz: clock x (16 + LFRQ bits 3-0) x 2^(LFRQ bits 7-4) / 2^36.
double opmLfoHz(std::uint8_t lfrq);

// By YM2612 setting, the nearest OPM setting (nearest in cents or decibels).
extern const std::array<std::uint8_t, 8> LFRQ_BY_YM2612_RATE;  // rate 7 (83 Hz) is beyond 59 Hz
extern const std::array<std::uint8_t, 8> OPM_PMS_BY_YM2612_PMS;
extern const std::array<std::uint8_t, 4> OPM_AMS_BY_YM2612_AMS;  // AMS 1 (1.4 dB): none
