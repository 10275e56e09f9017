#include "dump/program/opm_levels.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "dump/text_format.hpp"

namespace {

// Attenuation in units of 0.09375 dB, 10 bits; TL counts 0.75 dB, 8 units.
constexpr int SILENT = 1023;
constexpr float DB_PER_UNIT = 0.09375f;
constexpr int UNITS_PER_TL = 8;

// The envelope generator moves once every 3 samples of 64 clocks: at 4 MHz, 20833 times a
// second. A step of the full player is 787/5 VGM samples of 1/44100 s.
constexpr std::uint64_t OPM_CLOCK_HZ = 4000000;
constexpr std::uint64_t CLOCKS_PER_ENVELOPE_TICK = 64 * 3;

std::uint64_t tickOfStep(std::uint64_t step) {
    return step * 787 * OPM_CLOCK_HZ / (5 * 44100 * CLOCKS_PER_ENVELOPE_TICK);
}

enum class Phase : std::uint8_t { attack, decay, sustain, release };

struct Operator {
    int attenuation = SILENT;
    Phase phase = Phase::release;
    bool keyed = false;
};

struct Chip {
    std::uint8_t reg[256] = {};
    Operator op[32];  // by slot: channel + 8 * operator (M1, M2, C1, C2)
};

// Rates 4-47 move on every 2^(11 - rate/4)-th tick by one of these eight patterns in turn,
// picked by rate % 4; rates 48-59 on every tick by the last rows times 1, 2 or 4; 60-63 by 8.
constexpr std::uint8_t SLOW_PATTERN[4][8] = {{0, 1, 0, 1, 0, 1, 0, 1},
                                             {0, 1, 0, 1, 1, 1, 0, 1},
                                             {0, 1, 1, 1, 0, 1, 1, 1},
                                             {0, 1, 1, 1, 1, 1, 1, 1}};
constexpr std::uint8_t FAST_PATTERN[4][8] = {{1, 1, 1, 1, 1, 1, 1, 1},
                                             {1, 1, 1, 2, 1, 1, 1, 2},
                                             {1, 2, 1, 2, 1, 2, 1, 2},
                                             {1, 2, 2, 2, 1, 2, 2, 2}};

// Ticks between the moves of a rate of 4-47 (1 from 48 on).
std::uint64_t movePeriod(int rate) {
    return rate >= 48 ? 1 : std::uint64_t(1) << (11 - rate / 4);
}

int increment(int rate, std::uint64_t tick) {
    if (rate >= 60) return 8;
    if (rate >= 48) return FAST_PATTERN[rate & 3][tick & 7] << (rate / 4 - 12);
    return SLOW_PATTERN[rate & 3][(tick >> (11 - rate / 4)) & 7];
}

// Key scaling: the channel's key code (octave and top two note bits, 0-31) shifted right by
// 3 - KS is added to twice the rate.
int keyScale(const Chip& chip, int slot) {
    const int keyCode = (chip.reg[0x28 + (slot & 7)] >> 2) & 0x1F;
    return keyCode >> (3 - (chip.reg[0x80 + slot] >> 6));
}

int scaledRate(const Chip& chip, int slot, int rate) {
    return rate == 0 ? 0 : std::min(63, 2 * rate + keyScale(chip, slot));
}

int phaseRate(const Chip& chip, int slot, Phase phase) {
    switch (phase) {
        case Phase::attack:
            return scaledRate(chip, slot, chip.reg[0x80 + slot] & 0x1F);
        case Phase::decay:
            return scaledRate(chip, slot, chip.reg[0xA0 + slot] & 0x1F);
        case Phase::sustain:
            return scaledRate(chip, slot, chip.reg[0xC0 + slot] & 0x1F);
        case Phase::release:
            break;
    }
    return std::min(63, 4 * (chip.reg[0xE0 + slot] & 0x0F) + 2 + keyScale(chip, slot));
}

// D1L in steps of 3 dB (32 units); 15 stands for 93 dB.
int decayLevel(const Chip& chip, int slot) {
    const int d1l = chip.reg[0xE0 + slot] >> 4;
    return (d1l == 15 ? 31 : d1l) * 32;
}

// Attack at rate 62 and above reaches full level at once.
void keyOn(Chip& chip, int slot) {
    Operator& op = chip.op[slot];
    op.keyed = true;
    op.phase = Phase::attack;
    if (phaseRate(chip, slot, Phase::attack) >= 62) {
        op.attenuation = 0;
        op.phase = Phase::decay;
    }
}

// Runs one operator over ticks [from, to), move by move; the least attenuation reached.
int runOperator(const Chip& chip, int slot, Operator& op, std::uint64_t from, std::uint64_t to) {
    int least = op.attenuation;
    std::uint64_t tick = from;
    while (tick < to) {
        const bool resting = op.phase != Phase::attack && op.attenuation >= SILENT;
        const int rate = phaseRate(chip, slot, op.phase);
        if (resting || rate < 4) break;
        const std::uint64_t period = movePeriod(rate);
        const Phase phase = op.phase;
        for (tick = (tick + period - 1) / period * period; tick < to && op.phase == phase;
             tick += period) {
            const int step = increment(rate, tick);
            if (phase == Phase::attack) {
                // Each move takes (attenuation + 1) * step / 16 off: an exponential rise.
                op.attenuation += (~op.attenuation * step) >> 4;
                if (op.attenuation <= 0) {
                    op.attenuation = 0;
                    op.phase = Phase::decay;
                }
            } else {
                op.attenuation = std::min(SILENT, op.attenuation + step);
                if (phase == Phase::decay && op.attenuation >= decayLevel(chip, slot))
                    op.phase = Phase::sustain;
                if (op.attenuation >= SILENT) break;
            }
            least = std::min(least, op.attenuation);
        }
    }
    return least;
}

// The carriers of each algorithm, bit o for operator o (M1, M2, C1, C2).
constexpr std::uint8_t CARRIERS[8] = {0x8, 0x8, 0x8, 0x8, 0xC, 0xE, 0xE, 0xF};

float toDb(int units) {
    return units >= SILENT ? OPM_SILENT_DB : float(-units) * DB_PER_UNIT;
}

// The noise's amplitude is linear in the attenuation, 1023 - units, without the logarithmic
// table of the sine: TL 127 plays it at -43 dB.
float noiseDb(int units) {
    return units >= SILENT ? OPM_SILENT_DB : 20 * std::log10(float(SILENT - units) / SILENT);
}

void runStep(Chip& chip, std::uint64_t step, OpmLevels& levels) {
    int least[32];
    for (int slot = 0; slot < 32; ++slot)
        least[slot] =
            runOperator(chip, slot, chip.op[slot], tickOfStep(step), tickOfStep(step + 1));
    const bool noiseOn = chip.reg[0x0F] & 0x80;
    int noise = SILENT;
    for (int c = 0; c < 8; ++c) {
        const std::uint8_t connect = chip.reg[0x20 + c];
        int loudest = SILENT;
        for (int o = 0; o < 4; ++o) {
            if (!(CARRIERS[connect & 7] & (1 << o))) continue;
            const int slot = c + 8 * o;
            const int units = least[slot] + UNITS_PER_TL * (chip.reg[0x60 + slot] & 0x7F);
            if (c == 7 && o == 3 && noiseOn)
                noise = units;
            else
                loudest = std::min(loudest, units);
        }
        const bool heard = connect & 0xC0;  // either side on
        levels.channel[std::size_t(c)].push_back(heard ? toDb(loudest) : OPM_SILENT_DB);
        if (c == 7) levels.noise.push_back(heard ? noiseDb(noise) : OPM_SILENT_DB);
    }
}

// 0x08: bits 2-0 the channel, bits 3-6 operators M1, C1, M2, C2; a key turns on or off on
// its edge only.
void writeKeys(Chip& chip, std::uint8_t value) {
    constexpr int OPERATOR_OF_BIT[4] = {0, 2, 1, 3};
    for (int bit = 0; bit < 4; ++bit) {
        const int slot = (value & 7) + 8 * OPERATOR_OF_BIT[bit];
        Operator& op = chip.op[slot];
        const bool on = value & (0x08 << bit);
        if (on && !op.keyed) keyOn(chip, slot);
        if (!on && op.keyed) {
            op.keyed = false;
            op.phase = Phase::release;
        }
    }
}

// Plays the pairs from `from` through the end marker; the index of the loop marker, or none
// when there is none or the song ends before the end marker (00 F8-00 FD).
std::optional<std::size_t> playPairs(const ExecutableStream& stream, std::size_t from, Chip& chip,
                                     OpmLevels& levels) {
    std::optional<std::size_t> loop;
    for (std::size_t i = from; i < passPairs(stream); ++i) {
        const StreamPair& pair = stream.pairs[i];
        const PairGroup group = streamPairGroup(stream.player, pair);
        if (group == PairGroup::fadeEnd || group == PairGroup::reserved) {
            levels.loopStep = -1;
            return std::nullopt;
        }
        if (group == PairGroup::wait) {
            for (unsigned n = streamPairSteps(stream.player, pair); n > 0; --n)
                runStep(chip, levels.noise.size(), levels);
        } else if (group == PairGroup::loopMarker) {
            loop = i;
            levels.loopStep = std::int64_t(levels.noise.size());
        } else if (group == PairGroup::keyOnOff) {
            writeKeys(chip, pair.second);
        } else if (pair.first != 0 && group != PairGroup::sampleNumber) {
            chip.reg[pair.first] = pair.second;
        }
    }
    return loop;
}

}  // namespace

OpmLevels opmLevels(const ExecutableStream& stream) {
    Chip chip;
    OpmLevels levels;
    const std::optional<std::size_t> loop = playPairs(stream, 0, chip, levels);
    levels.endStep = levels.noise.size();
    // The player goes on from the loop marker with the chip as the end left it.
    if (loop) {
        const std::int64_t loopStep = levels.loopStep;
        playPairs(stream, *loop + 1, chip, levels);
        levels.loopStep = loopStep;
    }
    return levels;
}

std::vector<LoudSpan> loudSpans(const std::vector<float>& levels, float floorDb) {
    std::vector<LoudSpan> spans;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        if (levels[i] <= floorDb) continue;
        if (spans.empty() || spans.back().last + 1 != i)
            spans.push_back({i, i, levels[i]});
        else
            spans.back().last = i;
        spans.back().loudestDb = std::max(spans.back().loudestDb, levels[i]);
    }
    return spans;
}

std::string levelSpansText(const OpmLevels& levels) {
    std::string text = "channel   from (s)     to (s)  loudest (dB)\n";
    for (int c = 0; c <= 8; ++c) {
        const bool noise = c == 8;
        const std::string name = noise ? "noise" : "ch" + std::to_string(c);
        for (const LoudSpan& span :
             loudSpans(noise ? levels.noise : levels.channel[std::size_t(c)], -48.0f))
            text += format("%-7s %10.3f %10.3f %13.1f\n", name.c_str(),
                           stepToSeconds(PlayerKind::full, span.first),
                           stepToSeconds(PlayerKind::full, span.last + 1), double(span.loudestDb));
    }
    if (levels.loopStep >= 0)
        text += format("the loop from %.3f s is played once more from %.3f s\n",
                       stepToSeconds(PlayerKind::full, std::uint64_t(levels.loopStep)),
                       stepToSeconds(PlayerKind::full, levels.endStep));
    return text;
}
