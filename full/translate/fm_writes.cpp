// YM2612 writes in opmcast-full: the operator and channel registers as the classic copies
// them, the pitch to the nearest 1/64 semitone, the LFO with its depths, key on/off, and the
// DAC's enable, which frees channel 6 (OPM channel 5) for a PSG voice.
#include <algorithm>
#include <bit>

#include "full/translate/full_run.hpp"
#include "full/translate/noise_lfo.hpp"
#include "full/translate/true_pitch.hpp"

namespace {

constexpr std::uint8_t LFO_RESET = 0x02;  // OPM 0x01 bit 1 holds the LFO at its start

// MAME plays the OPM's FM 3.5 dB louder than the YM2612's beside the same noise and tones, and
// the OPM's noise cannot be made louder: every carrier is set 5 TL steps (3.75 dB) down, which
// keeps the balance of FM, PSG and noise and the song's overall level.
constexpr int CARRIER_TL_OFFSET = 5;
constexpr int TL_ROW = 1;

// The OPM register of an FM channel's register, written only while the channel plays FM and
// is not held silent.
void setFm(FullRun& run, int channel, std::uint8_t reg, std::uint8_t value) {
    run.fm.image[reg] = value;
    if (run.owner[std::size_t(channel)] == Owner::fm && !(run.fmMuted & (1 << channel)))
        setRegister(run.stream, reg, value);
}

// The TL of an operator as the OPM plays it: carriers moved down by CARRIER_TL_OFFSET.
// A change of the registers that shape a sounding FM channel's envelope moves the time it
// falls silent. A channel held silent or lent to a PSG voice plays nothing until its key-on.
// It is worked out when next asked for (refreshFades): a song may write a level many times
// between two decisions.
void refreshSilentFrom(FullRun& run, int channel) {
    if (run.owner[std::size_t(channel)] == Owner::fm && !(run.fmMuted & (1 << channel)) &&
        (run.fm.keyedYet & (1 << channel)))
        run.fm.fadeStale |= std::uint8_t(1 << channel);
}

void setTotalLevel(FullRun& run, int channel, int op) {
    const int algorithm = run.fm.image[0x20 + channel] & 0x07;
    int tl = run.fm.totalLevel[channel][op] & 0x7F;
    if (CARRIERS_BY_ALGORITHM[algorithm] & (1 << op)) tl = std::min(tl + CARRIER_TL_OFFSET, 0x7F);
    setFm(run, channel, std::uint8_t(0x60 + channel + 8 * op), std::uint8_t(tl));
    refreshSilentFrom(run, channel);
}

void writeLfoDepths(FullRun& run) {
    const bool on = run.fm.lfoOn;
    writeRegisterNow(run.stream, currentStep(run), 0x19, on ? OPM_AM_DEPTH : 0);
    writeRegisterNow(run.stream, currentStep(run), 0x19,
                     std::uint8_t(0x80 | (on ? OPM_PM_DEPTH : 0)));
}

void noteLfoUse(FullRun& run) {
    if (!run.fm.lfoOn || run.played.lfo) return;
    for (int c = 0; c < FULL_FM_CHANNELS; ++c)
        if ((run.fm.outputs[c] & 0x37) && (run.played.fmChannels & (1 << c))) run.played.lfo = true;
}

void lfoControl(FullRun& run, std::uint8_t data) {
    const bool on = (data & 0x08) != 0;
    const auto rate = std::uint8_t(data & 0x07);
    setRegister(run.stream, 0x18, LFRQ_BY_YM2612_RATE[rate]);
    if (on && rate == 7) run.leftOut.lfoRateBeyondReach = true;
    if (on == run.fm.lfoOn) return;
    run.fm.lfoOn = on;
    if (on) {  // the YM2612's LFO starts from the beginning of its cycle when enabled
        writeRegisterNow(run.stream, currentStep(run), 0x01, LFO_RESET);
        writeRegisterNow(run.stream, currentStep(run), 0x01, 0x00);
    }
    writeLfoDepths(run);
    noteLfoUse(run);
}

// 0x28: bits 7-4 the operators (S1-S4), bits 2-0 the channel (4-6 on the second half). The
// OPM wants the operators M1, C1, M2, C2 in bits 3-6.
void keyOnOff(FullRun& run, std::uint8_t data) {
    if ((data & 0x03) == 0x03) return;  // channel fields 3 and 7 name no channel
    const int channel = ((data & 0x04) ? 3 : 0) + (data & 0x03);
    const auto mask = std::uint8_t((data >> 1) & 0x78);
    if (mask && !run.fm.keyMask[channel]) {
        run.fm.keyOnSample[channel] = run.sample;
        run.fm.keyedYet |= std::uint8_t(1 << channel);
    }
    if (!mask && run.fm.keyMask[channel]) run.fm.keyOffSample[channel] = run.sample;
    run.fm.keyMask[channel] = mask;
    run.fm.fadeStale |= std::uint8_t(1 << channel);
    if (mask) {
        run.played.fmChannels |= std::uint8_t(1 << channel);
        noteLfoUse(run);
    }
    if (run.owner[std::size_t(channel)] == Owner::fm) {
        if (mask && (run.fmMuted & (1 << channel))) restoreFmRegisters(run, channel);
        writeRegisterNow(run.stream, currentStep(run), 0x08, std::uint8_t(mask | channel));
    } else if (mask) {
        allocateVoices(run);  // a PSG voice that borrowed the channel gives it back
    }
}

void dacEnable(FullRun& run, std::uint8_t data) {
    const bool on = (data & 0x80) != 0;
    if (on == run.fm.dacOn) return;
    run.fm.dacOn = on;
    allocateVoices(run);
}

void pitch(FullRun& run, int channel) {
    const KeyCode code = ym2612KeyCode(run.fm.fnumLow[channel], run.fm.fnumHigh[channel]);
    setFm(run, channel, std::uint8_t(0x28 + channel), code.keyCode);
    setFm(run, channel, std::uint8_t(0x30 + channel), code.keyFraction);
}

// YM2612 0xB4 has left in bit 7 and right in bit 6, the OPM's 0x20 + c right in bit 7 and
// left in bit 6; the sensitivities go to 0x38 + c by the LFO tables.
void outputs(FullRun& run, int channel, std::uint8_t data) {
    run.fm.outputs[channel] = data;
    const auto connect = std::uint8_t(0x20 + channel);
    setFm(
        run, channel, connect,
        std::uint8_t((run.fm.image[connect] & 0x3F) | ((data & 0x80) >> 1) | ((data & 0x40) << 1)));
    setFm(run, channel, std::uint8_t(0x38 + channel),
          std::uint8_t(OPM_PMS_BY_YM2612_PMS[data & 0x07] << 4 |
                       OPM_AMS_BY_YM2612_AMS[(data >> 4) & 0x03]));
    noteLfoUse(run);
}

void channelRegister(FullRun& run, int channel, std::uint8_t reg, std::uint8_t data) {
    const int row = (reg >> 4) - 3;  // 0x30-0x8F: DT/MUL, TL, KS/AR, AM/D1R, D2R, D1L/RR
    if (row == TL_ROW) {
        const int op = (reg >> 2) & 0x03;
        run.fm.totalLevel[channel][op] = data;
        setTotalLevel(run, channel, op);
        return;
    }
    if (row >= 0 && row < 6) {
        const int slot = channel + 8 * ((reg >> 2) & 0x03);
        // Bits 7-5 of D2R are unused on the YM2612; on the OPM bits 7-6 are DT2.
        setFm(run, channel, std::uint8_t(0x40 + 0x20 * row + slot),
              std::uint8_t(data & (row == 4 ? 0x1F : 0xFF)));
        if (row >= 2) refreshSilentFrom(run, channel);
        return;
    }
    switch (reg & 0xFC) {
        case 0x90:  // SSG-EG: no OPM counterpart
            if (data & 0x08) run.leftOut.ssgEg = true;
            return;
        case 0xA0:  // F-number low byte: applies the high byte written before it
            run.fm.fnumLow[channel] = data;
            run.fm.fnumHigh[channel] = run.fm.fnumHighLatch;
            pitch(run, channel);
            return;
        case 0xA4:
            run.fm.fnumHighLatch = data;
            return;
        case 0xB0:  // feedback and algorithm: which operators are carriers
            setFm(run, channel, std::uint8_t(0x20 + channel),
                  std::uint8_t((run.fm.image[0x20 + channel] & 0xC0) | (data & 0x3F)));
            for (int op = 0; op < 4; ++op) setTotalLevel(run, channel, op);
            return;
        case 0xB4:
            outputs(run, channel, data);
            return;
        default:
            return;  // 0xA8-0xAF: channel 3's separate operator frequencies
    }
}

}  // namespace

void refreshFades(FullRun& run) {
    for (int c = 0; run.fm.fadeStale && c < FULL_FM_CHANNELS; ++c)
        if (run.fm.fadeStale & (1 << c)) {
            run.fm.silentFromSample[c] = fmSilentFromSample(run, c);
            run.fm.fadeStale &= std::uint8_t(~(1 << c));
        }
}

void resetFmImage(FullRun& run) {
    for (int c = 0; c < FULL_FM_CHANNELS; ++c) {
        run.fm.image[0x20 + c] = 0xC0;  // both outputs, as the YM2612 starts
        for (int op = 0; op < 4; ++op) setTotalLevel(run, c, op);
    }
}

void translateFullYm2612(FullRun& run, std::uint8_t port, std::uint8_t reg, std::uint8_t data) {
    run.facts.sourceChipWritten = true;
    if (reg < 0x30) {
        if (port != 0) return;
        switch (reg) {
            case 0x22:
                lfoControl(run, data);
                return;
            case 0x27:  // channel 3 special mode: separate frequencies per operator
                if (data & 0x40) run.leftOut.channel3Mode = true;
                return;
            case 0x28:
                keyOnOff(run, data);
                return;
            case 0x2A:  // the DAC: the first pass gathered its hits
                return;
            case 0x2B:
                dacEnable(run, data);
                return;
            default:
                return;
        }
    }
    if ((reg & 0x03) == 0x03) return;
    channelRegister(run, (reg & 0x03) + 3 * port, reg, data);
}
