#include "driver/run_state.hpp"
#include "stream/register_stream.hpp"
#include "translate/translate.hpp"

void translatePsgWrite(RunState& state, std::uint8_t) {
    flushChanges(state);
}
