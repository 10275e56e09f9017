// YM2612 writes: the two chips share the four-operator layout, so most registers are copied
// bit for bit into the OPM image; pitch is converted and key-on goes to the stream directly.
#include "driver/run_state.hpp"
#include "stream/register_stream.hpp"
#include "translate/pitch.hpp"
#include "translate/translate.hpp"

namespace {

constexpr std::uint8_t LFO_REGISTER = 0x22;
constexpr std::uint8_t KEY_ON_OFF_REGISTER = 0x28;

// Key on/off: bits 7-4 are the operator mask, bits 2-0 the channel (4-6 for port 1). The
// OPM wants the mask in bits 6-3 and the channel in bits 2-0.
void keyOnOff(RunState& state, std::uint8_t data) {
    const auto channel = std::uint8_t(((data & 0x04) ? 3 : 0) + (data & 0x03));
    if (channel >= FM_CHANNELS) return;
    writePairAfterFlush(state, KEY_ON_REGISTER, std::uint8_t(((data >> 1) & 0x78) + channel));
}

// YM2612 0xB4 has left in bit 7 and right in bit 6; OPM 0x20 + c has right (R) in bit 7 and
// left (L) in bit 6. AMS in bits 5-4 and FMS in bits 2-0 swap places on the OPM as well.
std::uint8_t opmOutputBits(std::uint8_t data) {
    return std::uint8_t(((data & 0x80) >> 1) | ((data & 0x40) << 1));
}

void channelRegister(RunState& state, int c, int op, std::uint8_t reg, std::uint8_t data) {
    OpmImage& wanted = state.shadow.wanted;
    SourceLatches& latches = state.latches;
    switch (reg & 0xFC) {
        case 0xA0:
            latches.fnumLow[c] = data;
            convertFmPitch(state, c);
            return;
        case 0xA4:
            latches.fnumHigh[c] = data;
            convertFmPitch(state, c);
            return;
        case 0xB0:  // feedback and algorithm
            setWanted(state, fieldIndex(c, CONNECT_FIELD), std::uint8_t(CONNECT_REGISTER + c),
                      wanted.connect[c], std::uint8_t((wanted.connect[c] & 0xC0) + (data & 0x3F)));
            return;
        case 0xB4:  // outputs and modulation sensitivities
            setWanted(state, fieldIndex(c, CONNECT_FIELD), std::uint8_t(CONNECT_REGISTER + c),
                      wanted.connect[c],
                      std::uint8_t((wanted.connect[c] & 0x3F) + opmOutputBits(data)));
            setWanted(state, fieldIndex(c, MOD_SENS_FIELD), std::uint8_t(MOD_SENS_REGISTER + c),
                      wanted.modSens[c], std::uint8_t(((data & 0x30) >> 4) + ((data & 0x07) << 4)));
            return;
        default:
            break;
    }
    // DT/MUL, TL, RS/AR, AM/D1R, D2R and SL/RR rows at 0x30-0x8F; SSG-EG (0x90-0x9F), the
    // channel-3 special frequencies (0xA8-0xAF) and the rest have no OPM counterpart.
    const int row = (reg >> 4) - 3;
    if (row < 0 || row >= OP_PARAM_ROWS) return;
    // The YM2612 ignores bits 7-5 of D2R; on the OPM bits 7-6 of that row are DT2, a coarse
    // detune of 600 to 950 cents, so they must not come across.
    const std::uint8_t slot = slotOf(c, op);
    setWanted(state, fieldIndex(c, operatorField(op, row)), opParamRegister(row, slot),
              wanted.opParam[row][slot], row == D2R_ROW ? data & 0x1F : data);
}

}  // namespace

void convertFmPitch(RunState& state, int c) {
    const KeyCode code = fmKeyCode(state.latches.fnumLow[c], state.latches.fnumHigh[c]);
    OpmShadow& shadow = state.shadow;
    setWanted(state, fieldIndex(c, KEY_CODE_FIELD), std::uint8_t(KEY_CODE_REGISTER + c),
              shadow.wanted.keyCode[c], code.keyCode);
    setWanted(state, fieldIndex(c, KEY_FRACTION_FIELD), std::uint8_t(KEY_FRACTION_REGISTER + c),
              shadow.wanted.keyFraction[c], code.keyFraction);
}

void translateYm2612Write(RunState& state, std::uint8_t channelOffset, std::uint8_t reg,
                          std::uint8_t data) {
    if (FM_CHANNELS == 0) return;
    if (reg == LFO_REGISTER) {
        // The enable bit (3) is ignored.
        setWanted(state, LFO_FIELD, LFO_FREQ_REGISTER, state.shadow.wanted.lfoFreq, data & 0x07);
    } else if (reg == KEY_ON_OFF_REGISTER) {
        keyOnOff(state, data);
    } else {
        const int channel = (reg & 0x03) + channelOffset;
        if (channel < FM_CHANNELS) channelRegister(state, channel, (reg >> 2) & 0x03, reg, data);
    }
    flushChanges(state);
}
