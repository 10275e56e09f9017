// Pitch-class profiles (chroma) from the spectral peaks of a frame.
#pragma once

#include <array>
#include <vector>

// Pitch classes come from peaks between A2 (110 Hz) and 5 kHz. Below A2 the bins of a 46 ms frame
// are more than three semitones wide, too coarse to tell pitch classes apart; the harmonics of
// bass notes above it still carry their pitch class.
inline constexpr double PITCH_LOW_HZ = 110;
inline constexpr double PITCH_HIGH_HZ = 5000;

// Adds the magnitude of every local maximum of the power spectrum (bins 0..size/2, binHz apart)
// to the pitch class of its frequency, C = 0. The frequency of a peak is refined by a parabola
// through the log powers around it; a peak between two semitones is shared between them in
// proportion to its closeness, so slightly detuned notes change the profile only slightly.
// Only tonal components make peaks that stand out, so noise and drums weigh little.
void addSpectralPeaks(const std::vector<double>& power, double binHz, double topHz,
                      std::array<double, 12>& profile);
