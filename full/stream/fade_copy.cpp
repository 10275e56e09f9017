#include "full/stream/fade_copy.hpp"

#include <algorithm>
#include <cmath>

#include "full/stream/full_stream.hpp"

namespace {

// The operators (bit n for the TL at 0x60 + 8n + channel: M1, M2, C1, C2) heard under each
// connection. A channel whose connection was never written may play any of them.
constexpr std::uint8_t HEARD_BY_CONNECTION[8] = {0x8, 0x8, 0x8, 0x8, 0xC, 0xE, 0xE, 0xF};
constexpr std::uint8_t HEARD_UNKNOWN = 0xF;
// With register 0x0F's bit 7 set, channel 7's C2 plays the noise, whose amplitude is linear
// in the attenuation, (1023 - 8 TL) / 1023, where a sine's falls 0.75 dB a TL unit.
constexpr int NOISE_CHANNEL = 7, NOISE_OPERATOR = 3;

// A fade shorter than one step a unit cannot keep to a unit a step: it is stretched to
// FADE_UNITS steps (0.45 s).
std::int64_t playableFadeSteps(std::int64_t fadeSteps) {
    return fadeSteps <= 0 ? 0 : std::max<std::int64_t>(fadeSteps, FADE_UNITS);
}

// unitStep[k]: the first step at which the fade is k units down. Worked backwards from the end
// so that the last unit falls exactly on the fade's end and no step adds more than one unit.
using FadeSchedule = std::array<std::int64_t, FADE_UNITS + 1>;
FadeSchedule fadeSchedule(std::int64_t fadeSteps) {
    FadeSchedule unitStep{};
    unitStep[FADE_UNITS] = fadeSteps;
    for (int k = FADE_UNITS - 1; k >= 1; --k) {
        // The amplitude falls as (1 - t/T)^2: 20 log10 of it is 40 log10(1 - t/T) dB.
        const double fallen = 1.0 - std::pow(10.0, -0.75 * k / 40.0);
        const auto onCurve = std::int64_t(std::ceil(double(fadeSteps) * fallen));
        unitStep[std::size_t(k)] = std::min(onCurve, unitStep[std::size_t(k) + 1] - 1);
    }
    return unitStep;
}

int unitsFrom(const FadeSchedule& unitStep, std::int64_t step) {
    if (step >= unitStep[FADE_UNITS]) return FADE_UNITS;
    return int(std::upper_bound(unitStep.begin() + 1, unitStep.end(), step) - unitStep.begin()) - 1;
}

enum class Kind { write, wait, drum, ignored, end };
struct Command {
    Kind kind = Kind::end;
    int length = 0;  // bytes
    int steps = 0;   // of a wait
};

// The command at `at`: an odd byte at the end, an end marker, 00 F8-FD or a sample start cut
// short all end the pairs.
Command commandAt(std::span<const std::uint8_t> pairs, std::size_t at) {
    if (at + 2 > pairs.size()) return {};
    const std::uint8_t reg = pairs[at], value = pairs[at + 1];
    if (reg != 0) return {Kind::write, 2, 0};
    if (value <= FULL_LONGEST_WAIT) return {Kind::wait, 2, value + 1};
    if (value == FULL_ADPCM_STOP || (value >= FULL_ADPCM_SIDES && value <= FULL_ADPCM_SIDES + 3))
        return {Kind::drum, 2, 0};
    if (value <= FULL_ADPCM_START + 3)
        return at + 4 <= pairs.size() ? Command{Kind::drum, 4, 0} : Command{};
    if (value == FULL_LOOP_MARKER) return {Kind::ignored, 2, 0};
    return {};
}

struct FadeCopy {
    std::vector<std::uint8_t> out;
    std::array<std::uint16_t, 256> image;  // every register as the song has set it
    std::array<std::uint16_t, 256> sent;   // the TLs as the copy left them (7 bits)
    std::int64_t pendingWait = 0;          // steps not yet written
    int units = 0;
};

void writeWaits(FadeCopy& copy) {
    while (copy.pendingWait > 0) {
        const auto steps = std::min<std::int64_t>(copy.pendingWait, FULL_LONGEST_WAIT + 1);
        copy.out.insert(copy.out.end(), {0x00, std::uint8_t(steps - 1)});
        copy.pendingWait -= steps;
    }
}

void writePair(FadeCopy& copy, std::uint8_t reg, std::uint8_t value) {
    writeWaits(copy);
    copy.out.insert(copy.out.end(), {reg, value});
}

std::uint8_t heardOperators(const FadeCopy& copy, int channel) {
    const std::uint16_t connection = copy.image[std::size_t(0x20 + channel)];
    return connection == NEVER_SENT ? HEARD_UNKNOWN : HEARD_BY_CONNECTION[connection & 7];
}

bool playsNoise(const FadeCopy& copy, int channel, int op) {
    const std::uint16_t noise = copy.image[0x0F];
    return channel == NOISE_CHANNEL && op == NOISE_OPERATOR && noise != NEVER_SENT &&
           (noise & 0x80);
}

// The noise's TL `units` of 0.75 dB below what `level` plays, on its linear law.
int fadedNoiseLevel(int level, int units) {
    if (units >= FADE_UNITS) return FADE_UNITS;
    const double gain = std::pow(10.0, -0.75 * units / 20);
    const double attenuation = 1023 - gain * (1023 - 8 * level);
    return std::min(FADE_UNITS, std::max(level, int(std::ceil(attenuation / 8 - 1e-9))));
}

// The slot's TL as the fade needs it now, written where it differs from what the chip holds.
void refreshLevel(FadeCopy& copy, int channel, int op) {
    const auto reg = std::size_t(0x60 + 8 * op + channel);
    if (copy.image[reg] == NEVER_SENT) return;
    int level = copy.image[reg] & 0x7F;
    const bool heard = heardOperators(copy, channel) & (1 << op);
    if (heard && playsNoise(copy, channel, op))
        level = fadedNoiseLevel(level, copy.units);
    else if (heard)
        level = std::min(FADE_UNITS, level + copy.units);
    if (copy.sent[reg] == level) return;
    copy.sent[reg] = std::uint16_t(level);
    writePair(copy, std::uint8_t(reg), std::uint8_t(level));
}

void refreshCarriers(FadeCopy& copy) {
    for (int channel = 0; channel < 8; ++channel)
        for (int op = 0; op < 4; ++op)
            if (heardOperators(copy, channel) & (1 << op)) refreshLevel(copy, channel, op);
}

void replayWrite(FadeCopy& copy, std::uint8_t reg, std::uint8_t value) {
    copy.image[reg] = value;
    if (reg >= 0x60 && reg <= 0x7F) {
        refreshLevel(copy, reg & 7, (reg - 0x60) >> 3);
    } else {
        writePair(copy, reg, value);
        if (reg >= 0x20 && reg <= 0x27)
            for (int op = 0; op < 4; ++op) refreshLevel(copy, reg & 7, op);
        if (reg == 0x0F) refreshLevel(copy, NOISE_CHANNEL, NOISE_OPERATOR);
    }
}

}  // namespace

// Where fadeSteps is below FADE_UNITS the fade takes FADE_UNITS steps (playableFadeSteps).
int fadeUnitsAt(std::int64_t step, std::int64_t fadeSteps) {
    fadeSteps = playableFadeSteps(fadeSteps);
    if (step >= fadeSteps) return FADE_UNITS;
    if (step <= 0) return 0;
    return unitsFrom(fadeSchedule(fadeSteps), step);
}

// A fade of 1 to FADE_UNITS - 1 steps takes FADE_UNITS steps (playableFadeSteps).
std::vector<std::uint8_t> fadedLoopCopy(std::span<const std::uint8_t> loopHead, bool whole,
                                        const std::array<std::uint16_t, 256>& image,
                                        std::int64_t fadeSteps, FadeDrums* drums) {
    fadeSteps = playableFadeSteps(fadeSteps);
    FadeCopy copy;
    copy.image = image;
    for (std::size_t reg = 0; reg < 256; ++reg)
        copy.sent[reg] = image[reg] == NEVER_SENT ? NEVER_SENT : image[reg] & 0x7F;
    if (fadeSteps == 0) return {0x00, FULL_FADE_END};

    // The commands the loop plays: up to its end, its steps, whether it plays drums.
    std::size_t headEnd = 0;
    std::int64_t headSteps = 0;
    bool hasDrums = false;
    for (Command command; (command = commandAt(loopHead, headEnd)).kind != Kind::end;
         headEnd += std::size_t(command.length)) {
        headSteps += command.steps;
        hasDrums |= command.kind == Kind::drum;
    }
    const std::span<const std::uint8_t> head = loopHead.first(headEnd);
    const bool wraps = whole && headSteps > 0;
    hasDrums |= drums && drums->carried;

    const FadeSchedule unitStep = fadeSchedule(fadeSteps);
    std::int64_t step = 0;
    // The hit playing ends where a drum command comes.
    const auto cutDrum = [&] {
        if (drums && !drums->hits.empty())
            drums->hits.back().end = std::min(drums->hits.back().end, step);
    };
    const auto waitSteps = [&](std::int64_t steps) {
        while (steps > 0 && step < fadeSteps) {
            const std::int64_t nextUnit = unitStep[std::size_t(copy.units) + 1];
            const std::int64_t advance = std::min(steps, nextUnit - step);
            step += advance;
            steps -= advance;
            copy.pendingWait += advance;
            if (step < nextUnit) continue;
            copy.units = unitsFrom(unitStep, step);
            refreshCarriers(copy);
            if (hasDrums && copy.units == FADE_DRUMS_OFF) {
                writePair(copy, 0x00, FULL_ADPCM_STOP);
                cutDrum();
            }
        }
    };

    // A start plays the hit's copy; a stop or a change of sides passes as it is.
    const auto playDrum = [&](std::span<const std::uint8_t> command) {
        const std::uint64_t number = std::uint64_t(drums->firstNumber) + drums->hits.size();
        if (command.size() == 4 && number > 0xFFFF) return;
        writeWaits(copy);
        if (command.size() == 2 && command[1] == FULL_ADPCM_STOP) cutDrum();
        if (command.size() == 2) {
            copy.out.insert(copy.out.end(), command.begin(), command.end());
            return;
        }
        cutDrum();
        drums->hits.push_back({std::uint32_t(command[2] << 8 | command[3]), step, fadeSteps, 0});
        copy.out.insert(copy.out.end(),
                        {command[0], command[1], std::uint8_t(number >> 8), std::uint8_t(number)});
    };
    if (!drums && hasDrums) {
        writePair(copy, 0x00, FULL_ADPCM_STOP);
    } else if (drums && drums->carried && drums->firstNumber <= 0xFFFF) {
        // Muted where the pan hears it on neither side: a start on both, then no side.
        const std::uint8_t sides = drums->carriedSides & 3;
        const auto number = std::uint16_t(drums->firstNumber);
        writePair(copy, 0x00, std::uint8_t(FULL_ADPCM_START | (sides == 0 ? 3 : sides)));
        copy.out.insert(copy.out.end(), {std::uint8_t(number >> 8), std::uint8_t(number)});
        if (sides == 0) writePair(copy, 0x00, FULL_ADPCM_SIDES);
        FadeDrumHit carried = *drums->carried;
        carried.start = 0;
        carried.end = fadeSteps;
        drums->hits.push_back(carried);
    }

    copy.out.reserve(head.size() + 64 * FADE_UNITS);
    std::size_t at = 0;
    while (step < fadeSteps) {
        if (at >= head.size()) {
            if (!wraps) break;
            at = 0;
        }
        const Command command = commandAt(head, at);
        if (command.kind == Kind::write) {
            replayWrite(copy, head[at], head[at + 1]);
        } else if (command.kind == Kind::wait) {
            waitSteps(command.steps);
        } else if (command.kind == Kind::drum && copy.units < FADE_DRUMS_OFF && drums) {
            playDrum(head.subspan(at, std::size_t(command.length)));
        }
        at += std::size_t(command.length);
    }
    waitSteps(fadeSteps - step);
    copy.units = FADE_UNITS;
    refreshCarriers(copy);
    writePair(copy, 0x00, FULL_FADE_END);
    return copy.out;
}
