#include "channels/file_channels.hpp"
#include "driver/command_loop.hpp"
#include "driver/input.hpp"
#include "driver/run_state.hpp"

namespace {

constexpr std::int32_t LOOP_OFFSET_FIELD = 0x1C;  // relative to itself
constexpr std::int32_t DATA_OFFSET_FIELD = 0x34;  // relative to itself
constexpr std::int32_t HEADER_END = 0x38;
constexpr std::int32_t OLD_DATA_OFFSET = 12;  // versions before 1.50: data at 0x40

}  // namespace

void readVgmHeader(RunState& state) {
    // The 32-bit fields at 0x04 to 0x34; only the loop offset and the data offset matter.
    std::uint32_t fields[13];
    for (std::uint32_t& field : fields) field = readInputLong(state);
    const auto loopOffset = std::int32_t(fields[(LOOP_OFFSET_FIELD - 4) / 4]);
    std::int32_t dataOffset = std::int32_t(fields[(DATA_OFFSET_FIELD - 4) / 4]);

    state.inputPos = HEADER_END;
    if (dataOffset == 0) dataOffset = OLD_DATA_OFFSET;
    // The data starts at 0x34 + data offset; offsets below 5 leave the input at 0x38.
    if (dataOffset >= 5) skipInput(state, dataOffset - 4);

    state.loopPoint = loopOffset > 0 ? advanceOffset(LOOP_OFFSET_FIELD, loopOffset) : 0;
}
