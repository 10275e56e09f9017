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
// channel c: connect, key code, key fraction, modulation sensitivity, then each operator
// parameter row for operators 0 to 3 (slot = channel + 8 x operator).
constexpr int CHANNEL_ROWS = 4 + OP_PARAM_ROWS * 4;
static_assert(offsetof(OpmImage, connect) == 1 && sizeof(OpmImage) == 1 + CHANNEL_ROWS * 8);

}  // namespace

unsigned changedChannels(const OpmImage& a, const OpmImage& b) {
    const auto* rowsA = reinterpret_cast<const unsigned char*>(&a) + offsetof(OpmImage, connect);
    const auto* rowsB = reinterpret_cast<const unsigned char*>(&b) + offsetof(OpmImage, connect);
    std::uint64_t difference = 0;
    for (int row = 0; row < CHANNEL_ROWS; ++row) {
        std::uint64_t x, y;
        std::memcpy(&x, rowsA + 8 * row, 8);
        std::memcpy(&y, rowsB + 8 * row, 8);
        difference |= x ^ y;
    }
    unsigned char byChannel[8];
    std::memcpy(byChannel, &difference, 8);
    unsigned channels = 0;
    for (int c = 0; c < OPM_CHANNELS; ++c)
        if (byChannel[c]) channels |= 1u << c;
    return channels;
}

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
