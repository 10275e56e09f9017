// The end of a song that plays its loop a set number of times: after the end marker of the
// last pass, the loop's first steps once more, every carrier's total level (TL) raised step by
// step until the chip is silent, then the command that ends the song.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

// 00 F8: the song is over, even where a loop position was seen. The player reaches it only
// through the fade, which follows the end marker of the last pass.
inline constexpr std::uint8_t FULL_FADE_END = 0xF8;
// TL counts 0.75 dB a unit: 127 units from full level take every carrier to silence.
inline constexpr int FADE_UNITS = 127;
// The ADPCM has no volume: the drums stop once the fade is 12 dB down.
inline constexpr int FADE_DRUMS_OFF = 16;

// The attenuation in TL units `step` steps into a fade of `fadeSteps` steps (at least
// FADE_UNITS): 0 at its start, FADE_UNITS from its end on, never rising more than one unit a
// step. The level follows the square of a straight fall of the amplitude, as music players fade.
int fadeUnitsAt(std::int64_t step, std::int64_t fadeSteps);

// The pairs that follow the end marker of the last pass. `loopHead` holds the stream's pairs
// after the loop position: the whole loop, without its end marker, when `whole`; else at least
// its first `fadeSteps` steps. `image` is every OPM register as the stream left it at the end
// of the loop (NEVER_SENT where it never wrote one). The loop plays again from its start (from
// its start once more, if whole and shorter than the fade) for `fadeSteps` steps, each
// carrier's TL raised by fadeUnitsAt; the ADPCM is stopped at FADE_DRUMS_OFF and no drum starts
// after it; at the end every carrier stands at TL 127 and 00 F8 follows.
std::vector<std::uint8_t> fadedLoopCopy(std::span<const std::uint8_t> loopHead, bool whole,
                                        const std::array<std::uint16_t, 256>& image,
                                        std::int64_t fadeSteps);
