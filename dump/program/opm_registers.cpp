#include "dump/program/opm_registers.hpp"

#include "dump/program/drum_bank.hpp"
#include "dump/text_format.hpp"
#include "player/player_writes.hpp"
#include "stream/register_stream.hpp"
#include "translate/opm_image.hpp"

namespace {

const GroupNames GROUP_NAMES[PAIR_GROUPS] = {
    {"wait", "wait"},
    {"loop", "loop marker"},
    {"end", "end marker"},
    {"fadeEnd", "fade end (00 F8)"},
    {"reserved", "reserved (00 F9-FD)"},
    {"adpcmStop", "ADPCM stop (00 F0)"},
    {"adpcmStart", "ADPCM start (00 F1-F3)"},
    {"adpcmSides", "ADPCM sides (00 F4-F7)"},
    {"sampleNumber", "ADPCM sample number"},
    {"test", "TEST (01)"},
    {"key", "key on/off (08)"},
    {"noise", "NE/NFRQ noise (0F)"},
    {"timer", "timers (10-14)"},
    {"lfoFrequency", "LFRQ (18)"},
    {"lfoDepth", "PMD/AMD (19)"},
    {"waveform", "CT/W (1B)"},
    {"connect", "RL/FB/CON (20-27)"},
    {"keyCode", "KC (28-2F)"},
    {"keyFraction", "KF (30-37)"},
    {"modSens", "PMS/AMS (38-3F)"},
    {"dt1Mul", "DT1/MUL (40-5F)"},
    {"totalLevel", "TL (60-7F)"},
    {"ksAr", "KS/AR (80-9F)"},
    {"amsD1r", "AMS-EN/D1R (A0-BF)"},
    {"dt2D2r", "DT2/D2R (C0-DF)"},
    {"d1lRr", "D1L/RR (E0-FF)"},
    {"missing", "no such register"},
};

// Short names of the per-channel and per-slot groups, as they head a pair's description.
const char* registerName(PairGroup group) {
    switch (group) {
        case PairGroup::connect:
            return "RL/FB/CON";
        case PairGroup::keyCode:
            return "KC";
        case PairGroup::keyFraction:
            return "KF";
        case PairGroup::modSens:
            return "PMS/AMS";
        case PairGroup::dt1Mul:
            return "DT1/MUL";
        case PairGroup::totalLevel:
            return "TL";
        case PairGroup::ksAr:
            return "KS/AR";
        case PairGroup::amsD1r:
            return "AMS-EN/D1R";
        case PairGroup::dt2D2r:
            return "DT2/D2R";
        case PairGroup::d1lRr:
            return "D1L/RR";
        default:
            return "";
    }
}

const char* chipRegisterName(std::uint8_t reg) {
    switch (reg) {
        case 0x01:
            return "TEST (LFO reset)";
        case NOISE_REGISTER:
            return "NE/NFRQ (noise)";
        case 0x10:
            return "CLKA1 (timer A high)";
        case 0x11:
            return "CLKA2 (timer A low)";
        case 0x12:
            return "CLKB (timer B)";
        case 0x14:
            return "CSM/timer control";
        case LFO_FREQ_REGISTER:
            return "LFRQ (LFO frequency)";
        case 0x19:
            return "PMD/AMD (LFO depth)";
        case 0x1B:
            return "CT/W (LFO waveform)";
        default:
            return "no such register";
    }
}

// The full player writes the chip-wide registers as given (0x1B: bits 1-0 only), so their
// values are part of what a full program does.
std::string fullChipRegisterText(std::uint8_t reg, std::uint8_t value) {
    static const char* const WAVEFORMS[4] = {"saw", "square", "triangle", "noise"};
    switch (reg) {
        case 0x01: {
            std::string text = value & 0x02 ? "LFO reset" : "LFO reset released";
            if (value & ~0x02) text += format(", test bits 0x%02X", unsigned(value & ~0x02));
            return text;
        }
        case NOISE_REGISTER:
            return format("NE/NFRQ noise %s, NFRQ %u", value & 0x80 ? "on" : "off",
                          unsigned(value & 0x1F));
        case LFO_FREQ_REGISTER:
            return format("LFRQ %u", unsigned(value));
        case 0x19:
            return format("%s %u", value & 0x80 ? "PMD" : "AMD", unsigned(value & 0x7F));
        case 0x1B:
            return std::string("W ") + WAVEFORMS[value & 0x03] +
                   (value & 0xFC ? ", bits 7-2 ignored" : "");
        default:
            return chipRegisterName(reg);
    }
}

}  // namespace

const char* playerName(PlayerKind player) {
    return player == PlayerKind::full ? "full" : "classic";
}

const char* stepName(PlayerKind player) {
    return player == PlayerKind::full ? "step" : "tick";
}

double stepToSeconds(PlayerKind player, std::uint64_t step) {
    const unsigned perTick = player == PlayerKind::full ? FULL_STEPS_PER_TICK : 1;
    return double(step) * SAMPLES_PER_TICK / perTick / VGM_SAMPLE_RATE;
}

std::uint64_t stepToSamples(PlayerKind player, std::uint64_t step) {
    const std::uint64_t samples = step * std::uint64_t(SAMPLES_PER_TICK);
    if (player == PlayerKind::classic) return samples;
    // A whole number of fifths of a sample, never a half: adding 2 fifths rounds to nearest.
    return (samples + FULL_STEPS_PER_TICK / 2) / FULL_STEPS_PER_TICK;
}

PairGroup pairGroup(PlayerKind player, std::uint8_t first, std::uint8_t second) {
    if (first == STREAM_COMMAND) {
        if (second == LOOP_MARKER) return PairGroup::loopMarker;
        if (second == END_MARKER) return PairGroup::endMarker;
        if (player == PlayerKind::full && second > FULL_LONGEST_WAIT) {
            if (second == ADPCM_STOP) return PairGroup::adpcmStop;
            if (second <= ADPCM_START_BOTH) return PairGroup::adpcmStart;
            if (second <= ADPCM_SIDES_BOTH) return PairGroup::adpcmSides;
            return second == FADE_END ? PairGroup::fadeEnd : PairGroup::reserved;
        }
        return PairGroup::wait;
    }
    // Channel registers: eight each from 0x20; operator registers: 32 slots each from 0x40.
    if (first >= opParamRegister(0, 0))
        return PairGroup(int(PairGroup::dt1Mul) + (first - 0x40) / 32);
    if (first >= CONNECT_REGISTER) return PairGroup(int(PairGroup::connect) + (first - 0x20) / 8);
    switch (first) {
        case 0x01:
            return PairGroup::test;
        case KEY_ON_REGISTER:
            return PairGroup::keyOnOff;
        case NOISE_REGISTER:
            return PairGroup::noise;
        case 0x10:
        case 0x11:
        case 0x12:
        case 0x14:
            return PairGroup::timer;
        case LFO_FREQ_REGISTER:
            return PairGroup::lfoFrequency;
        case 0x19:
            return PairGroup::lfoDepth;
        case 0x1B:
            return PairGroup::waveform;
        default:
            return PairGroup::missing;
    }
}

const GroupNames& groupNames(PairGroup group) {
    return GROUP_NAMES[int(group)];
}

int pairChannel(std::uint8_t first, std::uint8_t second) {
    if (first == KEY_ON_REGISTER) return second & 0x07;
    if (first >= CONNECT_REGISTER) return first & 0x07;
    return -1;
}

int pairOperator(std::uint8_t first) {
    return first >= opParamRegister(0, 0) ? (first & 0x1F) / 8 : -1;
}

std::string keyOperators(std::uint8_t value) {
    static constexpr int BIT_OF_OPERATOR[4] = {3, 5, 4, 6};
    std::string digits;
    for (int bit : BIT_OF_OPERATOR) digits += (value >> bit) & 1 ? '1' : '0';
    return digits;
}

bool keysOn(std::uint8_t value) {
    return (value & 0x78) != 0;
}

unsigned waitSteps(PlayerKind player, std::uint8_t first, std::uint8_t second) {
    const std::uint8_t longest = player == PlayerKind::full ? FULL_LONGEST_WAIT : LONGEST_WAIT;
    return first == STREAM_COMMAND && second <= longest ? second + 1u : 0u;
}

std::string describePair(PlayerKind player, std::uint8_t first, std::uint8_t second) {
    const PairGroup group = pairGroup(player, first, second);
    switch (group) {
        case PairGroup::wait: {
            const unsigned steps = waitSteps(player, first, second);
            return "wait " + std::to_string(steps) + " " + stepName(player) +
                   (steps == 1 ? "" : "s");
        }
        case PairGroup::loopMarker:
            return "loop marker";
        case PairGroup::endMarker:
            return "end marker";
        case PairGroup::fadeEnd:
            return "end of the fade: the player ends the song here";
        case PairGroup::reserved:
            return "reserved: the player ends the song here";
        case PairGroup::adpcmStop:
            return "ADPCM stop, both sides muted";
        case PairGroup::adpcmStart:
            return std::string("ADPCM start, ") + drumSides(second) +
                   ((second & 0x03) == 0x03 ? " sides" : " only");
        case PairGroup::adpcmSides:
            return std::string("ADPCM sides ") + adpcmSidesName(second);
        case PairGroup::keyOnOff: {
            const std::string channel = "ch" + std::to_string(second & 0x07);
            if (!keysOn(second)) return "key off " + channel;
            return "key on " + channel + " ops " + keyOperators(second);
        }
        default:
            break;
    }
    const int channel = pairChannel(first, second);
    if (channel < 0)
        return player == PlayerKind::full ? fullChipRegisterText(first, second)
                                          : chipRegisterName(first);
    std::string text = std::string(registerName(group)) + " ch" + std::to_string(channel);
    const int op = pairOperator(first);
    if (op >= 0) text += " op" + std::to_string(op);
    return text;
}
