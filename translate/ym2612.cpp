#include "driver/run_state.hpp"
#include "stream/register_stream.hpp"
#include "translate/translate.hpp"

void translateYm2612Write(RunState& state, std::uint8_t, std::uint8_t, std::uint8_t) {
    flushChanges(state);
}
