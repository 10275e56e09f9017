// Where the voices of a song sit between left and right, compared between two renderings.
#pragma once

#include <vector>

#include "compare.hpp"

// Fills the panning figures of `fidelity`. The left/right balance (L - R) / (L + R) is taken per
// octave band over blocks of 0.1 s, so that voices in different registers are placed separately
// even when the whole mix is balanced. `both` marks the frames where both renderings sound.
void measureStereo(const StereoAudio& sourceAudio, const StereoAudio& convertedAudio,
                   const FrameFeatures& source, const FrameFeatures& converted,
                   const std::vector<bool>& sourceSounding, const std::vector<bool>& both,
                   Fidelity& fidelity);
