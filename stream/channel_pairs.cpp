#include "stream/channel_pairs.hpp"

#include <cstddef>
#include <cstring>

#include "driver/run_state.hpp"
#include "stream/register_stream.hpp"

namespace {

void sendField(RunState& state, std::uint8_t reg, std::uint8_t wanted, std::uint8_t& sent,
               ChannelPairs which) {
    if (which == ChannelPairs::changedOnly && wanted == sent) return;
    writePair(state, reg, wanted);
    sent = wanted;
}

// After the LFO rate the image is 28 rows of eight bytes, byte c of every row belonging to
// channel c: connect, key code, key fraction, modulation sensitivity, then the operator
// parameter rows, where row 4 + 4 x r + o is parameter row r of operator o (slot = channel +
// 8 x operator).
constexpr int CHANNEL_ROWS = 4 + OP_PARAM_ROWS * 4;
static_assert(offsetof(OpmImage, connect) == 1 && sizeof(OpmImage) == 1 + CHANNEL_ROWS * 8);

std::uint64_t rowDifference(const OpmImage& a, const OpmImage& b, int row) {
    const std::size_t at = offsetof(OpmImage, connect) + 8 * std::size_t(row);
    std::uint64_t x, y;
    std::memcpy(&x, reinterpret_cast<const unsigned char*>(&a) + at, 8);
    std::memcpy(&y, reinterpret_cast<const unsigned char*>(&b) + at, 8);
    return x ^ y;
}

}  // namespace

ImageDifferences findDifferences(const OpmImage& a, const OpmImage& b) {
    std::uint64_t any = 0;
    for (int row = 0; row < 4; ++row) any |= rowDifference(a, b, row);
    std::uint64_t byOperator[4] = {};
    for (int row = 4; row < CHANNEL_ROWS; row += 4)
        for (int op = 0; op < 4; ++op) byOperator[op] |= rowDifference(a, b, row + op);
    any |= byOperator[0] | byOperator[1] | byOperator[2] | byOperator[3];
    ImageDifferences d;
    if (any == 0) return d;
    unsigned char byChannel[8];
    unsigned char operatorBytes[4][8];
    std::memcpy(byChannel, &any, 8);
    std::memcpy(operatorBytes, byOperator, sizeof operatorBytes);
    for (int c = 0; c < OPM_CHANNELS; ++c) {
        if (!byChannel[c]) continue;
        d.channels |= 1u << c;
        for (int op = 0; op < 4; ++op)
            if (operatorBytes[op][c]) d.operators[c] = std::uint8_t(d.operators[c] | 1u << op);
    }
    return d;
}

void sendChannel(RunState& state, int c, ChannelPairs which, unsigned operators) {
    const OpmImage& w = state.shadow.wanted;
    OpmImage& s = state.shadow.sent;
    const auto reg = [c](std::uint8_t base) { return std::uint8_t(base + c); };
    sendField(state, reg(CONNECT_REGISTER), w.connect[c], s.connect[c], which);
    sendField(state, reg(KEY_CODE_REGISTER), w.keyCode[c], s.keyCode[c], which);
    sendField(state, reg(KEY_FRACTION_REGISTER), w.keyFraction[c], s.keyFraction[c], which);
    sendField(state, reg(MOD_SENS_REGISTER), w.modSens[c], s.modSens[c], which);
    for (int op = 0; op < 4; ++op) {
        if (!(operators & (1u << op))) continue;
        const int slot = slotOf(c, op);
        for (int row = 0; row < OP_PARAM_ROWS; ++row)
            sendField(state, opParamRegister(row, slot), w.opParam[row][slot], s.opParam[row][slot],
                      which);
    }
}
