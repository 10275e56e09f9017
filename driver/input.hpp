// Sequential reads of the VGM input that keep inputPos in step. Bytes past the end read as 0.
#pragma once

#include <cstdint>

#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"

std::uint16_t readInputWord(RunState& state);
std::uint32_t readInputLong(RunState& state);
// Passes over count bytes (none when count < 1); inputPos counts all of them, but the file
// is only read up to its end.
void skipInput(RunState& state, std::int32_t count);

// inputPos is a 32-bit offset that wraps like the machine word it is.
constexpr std::int32_t advanceOffset(std::int32_t offset, std::int64_t by) {
    return std::int32_t(std::uint32_t(offset) + std::uint32_t(by));
}

inline std::uint8_t readInputByte(RunState& state) {
    state.inputPos = advanceOffset(state.inputPos, 1);
    return fileReadByte(state.inputChannel);
}
