#include "stream/channel_pairs.hpp"

#include "driver/run_state.hpp"
#include "stream/register_stream.hpp"

namespace {

void sendField(RunState& state, std::uint8_t reg, std::uint8_t wanted, std::uint8_t& sent,
               ChannelPairs which) {
    if (which == ChannelPairs::changedOnly && wanted == sent) return;
    writePair(state, reg, wanted);
    sent = wanted;
}

}  // namespace

void sendChannel(RunState& state, int c, ChannelPairs which) {
    const OpmImage& w = state.shadow.wanted;
    OpmImage& s = state.shadow.sent;
    const auto reg = [c](std::uint8_t base) { return std::uint8_t(base + c); };
    sendField(state, reg(CONNECT_REGISTER), w.connect[c], s.connect[c], which);
    sendField(state, reg(KEY_CODE_REGISTER), w.keyCode[c], s.keyCode[c], which);
    sendField(state, reg(KEY_FRACTION_REGISTER), w.keyFraction[c], s.keyFraction[c], which);
    sendField(state, reg(MOD_SENS_REGISTER), w.modSens[c], s.modSens[c], which);
    for (int op = 0; op < 4; ++op) {
        const int slot = slotOf(c, op);
        for (int row = 0; row < OP_PARAM_ROWS; ++row)
            sendField(state, opParamRegister(row, slot), w.opParam[row][slot], s.opParam[row][slot],
                      which);
    }
}
