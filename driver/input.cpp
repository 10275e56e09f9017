#include "driver/input.hpp"

#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"

std::uint16_t readInputWord(RunState& state) {
    std::uint8_t b[2] = {};
    fileRead(state.inputChannel, 0, b, 2);
    state.inputPos = advanceOffset(state.inputPos, 2);
    return std::uint16_t(b[0] | b[1] << 8);
}

std::uint32_t readInputLong(RunState& state) {
    std::uint8_t b[4] = {};
    fileRead(state.inputChannel, 0, b, 4);
    state.inputPos = advanceOffset(state.inputPos, 4);
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
           std::uint32_t(b[3]) << 24;
}

void skipInput(RunState& state, std::int32_t count) {
    if (count < 1) return;
    fileSkip(state.inputChannel, count);
    state.inputPos = advanceOffset(state.inputPos, count);
}
