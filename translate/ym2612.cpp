// YM2612 writes: the two chips share the four-operator layout, so most registers are copied
// bit for bit into the OPM image; pitch is converted and key-on goes to the stream directly.
#include <array>
#include <cstddef>

#include "driver/run_state.hpp"
#include "stream/register_stream.hpp"
#include "translate/pitch.hpp"
#include "translate/translate.hpp"

namespace {

constexpr std::uint8_t LFO_REGISTER = 0x22;
constexpr std::uint8_t KEY_ON_OFF_REGISTER = 0x28;

// What a write to one YM2612 register does on the OPM.
enum class YmAction : std::uint8_t {
    dropped,       // no OPM counterpart, or a channel beyond FM_CHANNELS
    lfoRate,       // 0x22
    keyOnOff,      // 0x28
    fnumLow,       // 0xA0 + n: F-number bits 7-0
    fnumHigh,      // 0xA4 + n: block and F-number bits 10-8
    feedback,      // 0xB0 + n: feedback and algorithm
    outputs,       // 0xB4 + n: outputs and modulation sensitivities
    operatorCopy,  // 0x30-0x8F: an operator parameter, copied into its row
};

struct YmTarget {
    YmAction action;
    std::uint8_t channel;  // the OPM channel of a channel register
    std::uint8_t offset;   // operatorCopy: the byte of the image it lands in
    std::uint8_t mask;     // operatorCopy: the bits that come across
};

// Port 0 registers whose low two bits are 3 reach channel 3, the first of port 1; on port 1
// they would be channel 6 and are dropped like every channel from FM_CHANNELS on.
constexpr YmTarget ymTarget(int channelOffset, int reg) {
    if (reg == LFO_REGISTER) return {YmAction::lfoRate, 0, 0, 0};
    if (reg == KEY_ON_OFF_REGISTER) return {YmAction::keyOnOff, 0, 0, 0};
    const int channel = (reg & 0x03) + channelOffset;
    if (channel >= FM_CHANNELS) return {YmAction::dropped, 0, 0, 0};
    const auto c = std::uint8_t(channel);
    switch (reg & 0xFC) {
        case 0xA0:
            return {YmAction::fnumLow, c, 0, 0};
        case 0xA4:
            return {YmAction::fnumHigh, c, 0, 0};
        case 0xB0:
            return {YmAction::feedback, c, 0, 0};
        case 0xB4:
            return {YmAction::outputs, c, 0, 0};
        default:
            break;
    }
    // DT/MUL, TL, RS/AR, AM/D1R, D2R and SL/RR rows at 0x30-0x8F; SSG-EG (0x90-0x9F), the
    // channel-3 special frequencies (0xA8-0xAF) and the rest have no OPM counterpart.
    const int row = (reg >> 4) - 3;
    if (row < 0 || row >= OP_PARAM_ROWS) return {YmAction::dropped, 0, 0, 0};
    const int slot = slotOf(channel, (reg >> 2) & 0x03);
    // The YM2612 ignores bits 7-5 of D2R; on the OPM bits 7-6 of that row are DT2, a coarse
    // detune of 600 to 950 cents, so they must not come across.
    const auto mask = std::uint8_t(row == D2R_ROW ? 0x1F : 0xFF);
    return {YmAction::operatorCopy, c,
            std::uint8_t(offsetof(OpmImage, opParam) + OPM_SLOTS * row + slot), mask};
}

// By port (0 or 1) and register number, worked out once.
constexpr std::array<std::array<YmTarget, 256>, 2> YM_TARGETS = [] {
    std::array<std::array<YmTarget, 256>, 2> targets{};
    for (int port = 0; port < 2; ++port)
        for (int reg = 0; reg < 256; ++reg)
            targets[std::size_t(port)][std::size_t(reg)] = ymTarget(3 * port, reg);
    return targets;
}();

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

}  // namespace

void convertFmPitch(RunState& state, int c) {
    SourceLatches& latches = state.latches;
    // Games write both registers, and the same values again and again; only the key code and
    // fraction of the channel depend on them, so a pitch already converted changes nothing.
    const auto pitch = std::uint16_t((latches.fnumHigh[c] & 0x3F) << 8 | latches.fnumLow[c]);
    if (pitch == latches.convertedPitch[c]) return;
    latches.convertedPitch[c] = pitch;
    const KeyCode code = fmKeyCode(latches.fnumLow[c], latches.fnumHigh[c]);
    OpmShadow& shadow = state.shadow;
    setWanted(state, shadow.wanted.keyCode[c], code.keyCode);
    setWanted(state, shadow.wanted.keyFraction[c], code.keyFraction);
}

void translateYm2612Write(RunState& state, std::uint8_t channelOffset, std::uint8_t reg,
                          std::uint8_t data) {
    if (FM_CHANNELS == 0) return;
    const YmTarget target = YM_TARGETS[channelOffset == 0 ? 0 : 1][reg];
    const int c = target.channel;
    OpmImage& wanted = state.shadow.wanted;
    switch (target.action) {
        case YmAction::dropped:
            break;
        case YmAction::lfoRate:  // the enable bit (3) is ignored
            setWanted(state, wanted.lfoFreq, data & 0x07);
            break;
        case YmAction::keyOnOff:
            keyOnOff(state, data);
            break;
        case YmAction::fnumLow:
            state.latches.fnumLow[c] = data;
            convertFmPitch(state, c);
            break;
        case YmAction::fnumHigh:
            state.latches.fnumHigh[c] = data;
            convertFmPitch(state, c);
            break;
        case YmAction::feedback:
            setWanted(state, wanted.connect[c],
                      std::uint8_t((wanted.connect[c] & 0xC0) + (data & 0x3F)));
            break;
        case YmAction::outputs:
            setWanted(state, wanted.connect[c],
                      std::uint8_t((wanted.connect[c] & 0x3F) + opmOutputBits(data)));
            setWanted(state, wanted.modSens[c],
                      std::uint8_t(((data & 0x30) >> 4) + ((data & 0x07) << 4)));
            break;
        case YmAction::operatorCopy:
            setWanted(state, bytesOf(wanted)[target.offset], data & target.mask);
            break;
    }
    flushChanges(state);
}
