#include "stream/channel_pairs.hpp"

#include "driver/run_state.hpp"
#include "stream/register_stream.hpp"

void sendChannel(RunState& state, int c) {
    const std::uint8_t* wanted = bytesOf(state.shadow.wanted);
    std::uint8_t* sent = bytesOf(state.shadow.sent);
    for (int field = 0; field < CHANNEL_FIELDS; ++field) {
        const FieldPlace place = FIELD_PLACES[std::size_t(fieldIndex(c, field))];
        writePair(state, place.reg, wanted[place.offset]);
        sent[place.offset] = wanted[place.offset];
    }
}
