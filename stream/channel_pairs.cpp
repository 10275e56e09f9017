#include "stream/channel_pairs.hpp"

#include "driver/run_state.hpp"
#include "stream/register_stream.hpp"

namespace {

constexpr std::array<FieldPlace, IMAGE_FIELDS> fieldPlaces() {
    std::array<FieldPlace, IMAGE_FIELDS> places{};
    for (int c = 0; c < OPM_CHANNELS; ++c) {
        FieldPlace* channel = &places[std::size_t(c * CHANNEL_FIELDS)];
        const auto at = [c](std::size_t field) { return std::uint8_t(field + std::size_t(c)); };
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
}

}  // namespace

constexpr std::array<FieldPlace, IMAGE_FIELDS> FIELD_PLACES = fieldPlaces();

void sendChannel(RunState& state, int c) {
    const std::uint8_t* wanted = bytesOf(state.shadow.wanted);
    std::uint8_t* sent = bytesOf(state.shadow.sent);
    for (int field = 0; field < CHANNEL_FIELDS; ++field) {
        const FieldPlace place = FIELD_PLACES[std::size_t(c * CHANNEL_FIELDS + field)];
        writePair(state, place.reg, wanted[place.offset]);
        sent[place.offset] = wanted[place.offset];
    }
}
