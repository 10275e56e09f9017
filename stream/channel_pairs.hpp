// The register pairs of the image's fields, in the order the stream always uses (see
// CHANNEL_FIELDS): per channel its connect, key code, key fraction and modulation
// sensitivity, then per operator its six parameter rows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "translate/opm_image.hpp"

struct RunState;

// Where a field lives: its OPM register and its byte in the image.
struct FieldPlace {
    std::uint8_t reg;
    std::uint8_t offset;
};

// The place of every field, by field index.
extern const std::array<FieldPlace, IMAGE_FIELDS> FIELD_PLACES;

// Writes every register of the channel and records the values as sent.
void sendChannel(RunState& state, int channel);
