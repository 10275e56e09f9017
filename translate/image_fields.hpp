// Where each register of the OPM image lives, in the order a flush writes them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "translate/opm_image.hpp"

// OPM registers of the image's channel fields, for channel 0; channel c adds c.
inline constexpr std::uint8_t LFO_FREQ_REGISTER = 0x18;
inline constexpr std::uint8_t CONNECT_REGISTER = 0x20;
inline constexpr std::uint8_t KEY_CODE_REGISTER = 0x28;
inline constexpr std::uint8_t KEY_FRACTION_REGISTER = 0x30;
inline constexpr std::uint8_t MOD_SENS_REGISTER = 0x38;

// Where a field lives: its OPM register and its byte in the image.
struct FieldPlace {
    std::uint8_t reg;
    std::uint8_t offset;
};

inline constexpr std::array<FieldPlace, IMAGE_FIELDS> FIELD_PLACES = [] {
    std::array<FieldPlace, IMAGE_FIELDS> places{};
    places[LFO_FIELD] = {LFO_FREQ_REGISTER, std::uint8_t(offsetof(OpmImage, lfoFreq))};
    for (int c = 0; c < OPM_CHANNELS; ++c) {
        FieldPlace* channel = &places[std::size_t(fieldIndex(c, 0))];
        const auto at = [c](std::size_t base) { return std::uint8_t(base + std::size_t(c)); };
        channel[CONNECT_FIELD] = {at(CONNECT_REGISTER), at(offsetof(OpmImage, connect))};
        channel[KEY_CODE_FIELD] = {at(KEY_CODE_REGISTER), at(offsetof(OpmImage, keyCode))};
        channel[KEY_FRACTION_FIELD] = {at(KEY_FRACTION_REGISTER),
                                       at(offsetof(OpmImage, keyFraction))};
        channel[MOD_SENS_FIELD] = {at(MOD_SENS_REGISTER), at(offsetof(OpmImage, modSens))};
        for (int op = 0; op < 4; ++op)
            for (int row = 0; row < OP_PARAM_ROWS; ++row) {
                const int slot = slotOf(c, op);
                channel[operatorField(op, row)] = {
                    opParamRegister(row, slot),
                    std::uint8_t(offsetof(OpmImage, opParam) + OPM_SLOTS * row + slot)};
            }
    }
    return places;
}();

// Each byte of the image as a field: its index in field order and its register.
struct ImageField {
    std::uint8_t field;
    std::uint8_t reg;
};
inline constexpr std::array<ImageField, sizeof(OpmImage)> FIELD_OF_IMAGE_BYTE = [] {
    std::array<ImageField, sizeof(OpmImage)> fields{};
    for (int field = 0; field < IMAGE_FIELDS; ++field) {
        const FieldPlace place = FIELD_PLACES[std::size_t(field)];
        fields[place.offset] = {std::uint8_t(field), place.reg};
    }
    return fields;
}();

// The image byte each register of the image comes from, by register number.
inline constexpr std::array<std::uint8_t, 256> IMAGE_OFFSET_OF_REGISTER = [] {
    std::array<std::uint8_t, 256> offsets{};
    for (const FieldPlace& place : FIELD_PLACES) offsets[place.reg] = place.offset;
    return offsets;
}();
