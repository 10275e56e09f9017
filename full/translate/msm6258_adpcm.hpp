// The X68000's ADPCM: the MSM6258's 4-bit adaptive differential code, its decoder exactly as
// the chip steps it, and a closed-loop encoder that uses that decoder.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

// The decoder's state: a 12-bit signal and an index into the 49 step sizes. A sample starts
// from signal 0 and step index 0 (the player stops the chip before each sample).
struct AdpcmState {
    int signal = 0;
    int stepIndex = 0;
};

inline constexpr int ADPCM_SIGNAL_MIN = -2048;
inline constexpr int ADPCM_SIGNAL_MAX = 2047;

// One nibble (bit 3 the sign, bits 2-0 the magnitude) into the state; returns the new signal.
int adpcmDecodeNibble(AdpcmState& state, std::uint8_t nibble);

// Signals in -2048..2047 as nibbles, two a byte, the first in the low nibble; an odd count is
// padded with a nibble that changes the signal least. Each nibble is the one whose decoded
// signal lies nearest the wanted one, from the state the decoder will be in.
std::vector<std::uint8_t> adpcmEncode(std::span<const std::int16_t> signals);

// The signals the chip plays for bytes, from the start state.
std::vector<std::int16_t> adpcmDecode(std::span<const std::uint8_t> bytes);
