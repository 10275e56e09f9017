// The drums of an opmcast-full program: the bank of MSM6258 ADPCM samples after the stream,
// found through the long word at file offset 66, and the stream's ADPCM commands.
#pragma once

#include <optional>
#include <vector>

#include "dump/problem.hpp"

// The stream's ADPCM commands: 00 F0 stops the ADPCM and mutes both sides; 00 F1-00 F3 start
// a sample whose number (big-endian) is the next pair, playing on the sides of the code's bits
// 1-0 (bit 1 left, bit 0 right); 00 F4-00 F7 move the sample playing to the sides of the
// code's bits 1-0 (00 F4: neither, muted) and do nothing while none plays.
inline constexpr std::uint8_t ADPCM_STOP = 0xF0;
inline constexpr std::uint8_t ADPCM_START_RIGHT = 0xF1;
inline constexpr std::uint8_t ADPCM_START_BOTH = 0xF3;
inline constexpr std::uint8_t ADPCM_SIDES_MUTED = 0xF4;
inline constexpr std::uint8_t ADPCM_SIDES_BOTH = 0xF7;
// 00 F8 ends the fade that a full program plays after its last pass, and with it the song.
inline constexpr std::uint8_t FADE_END = 0xF8;

// One entry of the bank's table.
struct DrumSample {
    std::uint64_t at = 0;          // file offset of its bytes
    std::uint32_t bytes = 0;       // with the closing $80; 0: left out, plays nothing
    std::uint8_t dividerBits = 0;  // PPI port C bits 3-2: $08 (512), $04 (768), $00 (1024)
};

struct DrumBank {
    std::uint64_t at = 0;      // file offset of the table
    std::uint64_t size = 0;    // from the table to the player tail
    std::uint64_t dataAt = 0;  // file offset of the first byte after the table
    std::vector<DrumSample> samples;
    Bytes data;  // the bank's bytes from dataAt on, which the samples lie in
};

// The bank of a full program, or none when the long word at offset 66 is 0 (or the player's
// own). Checks that the bank lies inside the text section and ends at `end` (the display
// block, or else the player tail), that the
// table's first offset counts whole entries of 8 bytes within the bank, and that every sample
// lies within the bank after the table with a divider the chip has.
std::optional<Problem> readDrumBank(const Bytes& file, std::uint64_t end,
                                    std::optional<DrumBank>& bank);

// The MSM6258's clock divider for port C's bits: 512, 768 or 1024.
unsigned drumDivider(std::uint8_t dividerBits);
// Samples a second at the X68000's 8 MHz ADPCM clock: 15625, 10416.7 or 7812.5.
double drumRate(std::uint8_t dividerBits);
// The same rounded to whole hertz: 15625, 10417 or 7813.
unsigned drumRateHz(std::uint8_t dividerBits);
// How long the chip plays a sample: two 4-bit codes a byte.
double drumSeconds(const DrumSample& sample);

// The sample an ADPCM start plays, or nothing (no bank, beyond the table, left out).
const DrumSample* startedSample(const DrumBank& bank, std::uint16_t number);
const DrumSample* startedSample(const std::optional<DrumBank>& bank, std::uint16_t number);
// "ADPCM sample 2, both sides: 15625 Hz, 1201 bytes, 0.154 s", or why it plays nothing.
std::string drumStartText(const std::optional<DrumBank>& bank, std::uint8_t code,
                          std::uint16_t number);
// "both", "left" or "right" for a start code's bits 1-0.
const char* drumSides(std::uint8_t code);
// "both", "left", "right" or "muted" for a side change's bits 1-0.
const char* adpcmSidesName(std::uint8_t code);
