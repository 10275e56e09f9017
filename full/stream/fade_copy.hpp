// The end of a song that plays its loop a set number of times: after the end marker of the
// last pass, the loop's first steps once more, every carrier's total level (TL) raised step by
// step until the chip is silent, then the command that ends the song.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// 00 F8: the song is over, even where a loop position was seen. The player reaches it only
// through the fade, which follows the end marker of the last pass.
inline constexpr std::uint8_t FULL_FADE_END = 0xF8;
// TL counts 0.75 dB a unit: 127 units from full level take every carrier to silence.
inline constexpr int FADE_UNITS = 127;
// The ADPCM has no volume: each drum the fade plays is a copy of its sample with the fade's
// level applied (FadeDrums). None starts once the fade is 48 dB down, where the ADPCM stops.
inline constexpr int FADE_DRUMS_OFF = 64;

// The attenuation in TL units `step` steps into a fade of `fadeSteps` steps (at least
// FADE_UNITS): 0 at its start, FADE_UNITS from its end on, never rising more than one unit a
// step. The level follows the square of a straight fall of the amplitude, as music players fade.
int fadeUnitsAt(std::int64_t step, std::int64_t fadeSteps);

// A drum the fade plays: the bank's sample `source`, from `skip` samples (of 1/44100 s) into
// it, started at the fade's step `start` and heard up to step `end`, where the next drum
// command or the fade's end cuts it.
struct FadeDrumHit {
    std::uint32_t source = 0;
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::int64_t skip = 0;
};
// The fade's drums: its i-th hit starts sample firstNumber + i, a copy of the hit's source
// that the bank holds with the fade's level applied. The hit still playing at the end of the
// last pass (carried.source, from carried.skip on, on the sides `carriedSides`) goes on as the
// first copy.
struct FadeDrums {
    std::uint32_t firstNumber = 0;  // the bank's samples before the copies
    std::optional<FadeDrumHit> carried;
    std::uint8_t carriedSides = 3;  // bit 1 left, bit 0 right
    std::vector<FadeDrumHit> hits;
};

// The pairs that follow the end marker of the last pass. `loopHead` holds the stream's pairs
// after the loop position: the whole loop, without its end marker, when `whole`; else at least
// its first `fadeSteps` steps. `image` is every OPM register as the stream left it at the end
// of the loop (NEVER_SENT where it never wrote one). The loop plays again from its start (from
// its start once more, if whole and shorter than the fade) for `fadeSteps` steps, each
// carrier's TL raised by fadeUnitsAt (the noise's on its own law, to the same dB); at the end
// every carrier stands at TL 127 and 00 F8 follows. Each drum start goes to the next copy
// `drums` numbers (none once a number would pass 0xFFFF); without `drums` the fade stops the
// ADPCM and plays no drum.
std::vector<std::uint8_t> fadedLoopCopy(std::span<const std::uint8_t> loopHead, bool whole,
                                        const std::array<std::uint16_t, 256>& image,
                                        std::int64_t fadeSteps, FadeDrums* drums = nullptr);
