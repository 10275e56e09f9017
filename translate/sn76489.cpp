// SN76489 writes: tone channels 0 and 1 play on the PSG-voice channels, pitch through the
// key code, loudness through the TL of all four operators.
#include <array>
#include <cstddef>

#include "driver/run_state.hpp"
#include "stream/register_stream.hpp"
#include "translate/pitch.hpp"
#include "translate/translate.hpp"

namespace {

constexpr std::uint8_t LATCH_BIT = 0x80;
constexpr std::uint8_t ATTENUATION_BIT = 0x10;
constexpr std::uint8_t SILENT_ATTENUATION = 15;

// Each attenuation step (2 dB) is 4 TL steps (0.75 dB each); operator op is 4 x op TL steps
// louder than operator 0, so the fundamental (operator 3, multiplier 1) is the loudest partial.
// Attenuation 15 is silence.
constexpr std::array<std::array<std::uint8_t, 4>, 16> TL_BY_ATTENUATION = [] {
    std::array<std::array<std::uint8_t, 4>, 16> levels{};
    for (int attenuation = 0; attenuation < 16; ++attenuation)
        for (int op = 0; op < 4; ++op)
            levels[std::size_t(attenuation)][std::size_t(op)] =
                attenuation == SILENT_ATTENUATION ? 0x7F
                                                  : std::uint8_t(39 + 4 * attenuation - 4 * op);
    return levels;
}();

void setAttenuation(RunState& state, int channel, std::uint8_t attenuation) {
    const std::array<std::uint8_t, 4>& levels = TL_BY_ATTENUATION[attenuation];
    for (int op = 0; op < 4; ++op)
        setWanted(state, state.shadow.wanted.opParam[TL_ROW][slotOf(channel, op)],
                  levels[std::size_t(op)]);
}

}  // namespace

void convertPsgPitch(RunState& state, int p) {
    const std::uint16_t period = state.latches.psgPeriod[p];
    if (period == 0) return;
    const KeyCode code = psgKeyCode(period);
    const int channel = p + FIRST_PSG_VOICE;
    OpmShadow& shadow = state.shadow;
    setWanted(state, shadow.wanted.keyCode[channel], code.keyCode);
    setWanted(state, shadow.wanted.keyFraction[channel], code.keyFraction);
}

// A latch byte (bit 7 set) selects channel and register and carries the low 4 bits; a data
// byte carries the high 6 bits of a tone period, or a new attenuation.
void translatePsgWrite(RunState& state, std::uint8_t b) {
    if (PSG_CHANNELS == 0) return;
    SourceLatches& latches = state.latches;
    if (b & LATCH_BIT) latches.psgLatch = b;
    const int psgChannel = (latches.psgLatch >> 5) & 0x03;
    std::uint16_t& period = latches.psgPeriod[psgChannel];
    if (!(latches.psgLatch & ATTENUATION_BIT)) {
        if (b & LATCH_BIT) {
            period = std::uint16_t((period & 0x3F0) + (b & 0x0F));
        } else {
            period = std::uint16_t(((b & 0x3F) << 4) + (period & 0x0F));
            if (psgChannel < PSG_CHANNELS) convertPsgPitch(state, psgChannel);
        }
    } else if (psgChannel < PSG_CHANNELS) {
        setAttenuation(state, psgChannel + FIRST_PSG_VOICE, b & 0x0F);
    }
    flushChanges(state);
}
