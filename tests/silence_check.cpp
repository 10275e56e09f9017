#include "tests/silence_check.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <limits>

#include "driver/vgm_commands.hpp"
#include "full/driver/convert_log.hpp"

namespace {

constexpr float ANYTHING = std::numeric_limits<float>::infinity();

const char* ownerName(Owner owner) {
    constexpr const char* NAMES[] = {
        "none", "fm", "PSG tone 0", "PSG tone 1", "PSG tone 2", "periodic noise", "white noise"};
    return NAMES[int(owner)];
}

// What a channel's sine carriers may play under an owner at a step.
float allowedDb(Owner owner, int channel, std::size_t step, const OpmLevels& fmAlone) {
    switch (owner) {
        case Owner::none:
        case Owner::whiteNoise:
            return -ANYTHING;
        case Owner::fm: {
            const std::vector<float>& alone = fmAlone.channel[std::size_t(channel)];
            return (step < alone.size() ? alone[step] : OPM_SILENT_DB) + FM_MARGIN_DB;
        }
        default:
            return ANYTHING;
    }
}

// The owner of one channel at each step, with the previous one during its release.
struct OwnerAt {
    Owner owner = Owner::none, previous = Owner::none;
    bool noise = false, previousNoise = false;
    std::int64_t since = -RELEASE_GRACE_STEPS;
};

// A run of steps heard beyond what is allowed, reported when it lasts too long.
struct Run {
    SilenceFault fault;
    bool open = false;
};

void extendRun(Run& run, bool beyond, std::int64_t step, Owner owner, float level, float allowed) {
    if (!beyond) return;
    if (!run.open) {
        run.fault.owner = owner;
        run.fault.firstStep = step;
        run.fault.steps = 0;
        run.fault.loudestDb = -ANYTHING;
        run.open = true;
    }
    ++run.fault.steps;
    if (level > run.fault.loudestDb) {
        run.fault.loudestDb = level;
        run.fault.allowedDb = allowed;
    }
}

void closeRun(Run& run, std::vector<SilenceFault>& faults) {
    if (run.open && run.fault.steps > STEPS_TOLERATED) faults.push_back(run.fault);
    run.open = false;
}

// The owners as the program plays them: after the end, the loop once more, with each channel's
// owner as it stood at the loop marker and the changes after it, the end's owners releasing.
std::vector<OwnerChange> ownersWithLoop(const std::vector<OwnerChange>& owners,
                                        const OpmLevels& levels) {
    std::vector<OwnerChange> all = owners;
    if (levels.loopStep < 0) return all;
    const auto end = std::int64_t(levels.endStep);
    for (int c = 0; c < 8; ++c) {
        OwnerChange atLoop{end, std::uint8_t(c), Owner::none, false};
        for (const OwnerChange& change : owners)
            if (change.channel == c && change.step <= levels.loopStep)
                atLoop = {end, change.channel, change.owner, change.noise};
        all.push_back(atLoop);
    }
    for (const OwnerChange& change : owners)
        if (change.step > levels.loopStep)
            all.push_back(
                {change.step - levels.loopStep + end, change.channel, change.owner, change.noise});
    return all;
}

// What the log plays, by step (the step nearest each write, as the conversion places it): which
// PSG voices sound, where their notes start (a voice begins to sound, its pitch moves by a
// semitone or more, the noise is written) and end, and the FM channels' key-ons.
struct SourceTimeline {
    std::vector<std::uint8_t> sounding;    // bit v: voice v (tones 0-2, periodic noise)
    std::vector<std::uint8_t> noteStarts;  // bit v
    std::array<std::vector<std::int64_t>, 4> noteEvents;  // starts and stops, by voice
    std::array<std::vector<std::int64_t>, 6> keyOns;      // from every operator off
};

SourceTimeline sourceTimeline(const Bytes& vgm, std::size_t steps) {
    SourceTimeline source;
    source.sounding.assign(steps, 0);
    source.noteStarts.assign(steps, 0);
    auto at = [&](std::size_t i) -> std::uint32_t { return i < vgm.size() ? vgm[i] : 0; };
    std::uint8_t attenuation[4] = {15, 15, 15, 15}, latch = 0, noiseControl = 0, keyed = 0;
    std::uint16_t period[3] = {};
    std::size_t filled = 0;
    std::int64_t sample = 0;
    auto stepOf = [](std::int64_t samples) { return (samples * 5 + 787 / 2) / 787; };
    auto fillTo = [&](std::int64_t step) {
        std::uint8_t sounding = 0;
        for (int v = 0; v < 3; ++v)
            if (attenuation[v] < 15) sounding |= std::uint8_t(1 << v);
        if (attenuation[3] < 15 && !(noiseControl & 0x04)) sounding |= 0x08;
        for (; filled < std::min(steps, std::size_t(step)); ++filled)
            source.sounding[filled] = sounding;
    };
    auto event = [&](int voice, bool starts) {
        const std::int64_t step = stepOf(sample);
        source.noteEvents[std::size_t(voice)].push_back(step);
        if (starts && std::size_t(step) < steps) source.noteStarts[std::size_t(step)] |= 1 << voice;
    };
    const std::uint32_t dataOffset = at(0x34) | at(0x35) << 8 | at(0x36) << 16 | at(0x37) << 24;
    std::size_t pos = 0x34 + (dataOffset ? dataOffset : 12);
    while (pos < vgm.size() && vgm[pos] != VGM_END_OF_DATA) {
        const std::uint8_t command = vgm[pos];
        if (command == VGM_PSG_WRITE) {
            fillTo(stepOf(sample));
            const auto data = std::uint8_t(at(pos + 1));
            if (data & 0x80) latch = data;
            const int voice = (latch >> 5) & 3;
            if (latch & 0x10) {
                const bool sounded = attenuation[voice] < 15;
                attenuation[voice] = data & 0x0F;
                if (sounded != (attenuation[voice] < 15)) event(voice, !sounded);
            } else if (voice == 3) {
                noiseControl = data & 0x07;
                event(3, true);
            } else {
                const std::uint16_t before = period[voice];
                period[voice] = std::uint16_t(data & 0x80 ? (before & 0x3F0) | (data & 0x0F)
                                                          : ((data & 0x3F) << 4) | (before & 0x0F));
                const int high = std::max(period[voice], before),
                          low = std::min(period[voice], before);
                if (high != low && 16 * high >= 17 * low) event(voice, true);
            }
        }
        if ((command == VGM_YM2612_PORT0 || command == VGM_YM2612_PORT1) && at(pos + 1) == 0x28 &&
            (at(pos + 2) & 3) != 3) {
            const std::uint32_t data = at(pos + 2);
            const int channel = (data & 4 ? 3 : 0) + int(data & 3);
            const auto bit = std::uint8_t(1 << channel);
            if ((data & 0xF0) && !(keyed & bit))
                source.keyOns[std::size_t(channel)].push_back(stepOf(sample));
            keyed = std::uint8_t(data & 0xF0 ? keyed | bit : keyed & ~bit);
        }
        if (command == VGM_WAIT) sample += at(pos + 1) | at(pos + 2) << 8;
        if (command == VGM_WAIT_NTSC_FRAME) sample += NTSC_FRAME_SAMPLES;
        if (command == VGM_WAIT_PAL_FRAME) sample += PAL_FRAME_SAMPLES;
        if (command >= 0x70 && command <= 0x8F) sample += (command & 0x0F) + (command < 0x80);
        pos += 1 + std::size_t(vgmOperandLength(command));
        if (command == VGM_DATA_BLOCK)
            pos += at(pos - 4) | at(pos - 3) << 8 | at(pos - 2) << 16 | at(pos - 1) << 24;
    }
    fillTo(std::int64_t(steps));
    return source;
}

// The first of `times` at or after `step` (after, with `after`); the largest int64 for none.
std::int64_t firstFrom(const std::vector<std::int64_t>& times, std::int64_t step, bool after) {
    const auto it = after ? std::upper_bound(times.begin(), times.end(), step)
                          : std::lower_bound(times.begin(), times.end(), step);
    return it == times.end() ? std::numeric_limits<std::int64_t>::max() : *it;
}

}  // namespace

std::int64_t needlessGiveUpSteps(const ProgramLevels& played, const OpmLevels& fmAlone,
                                 const Bytes& log) {
    constexpr std::int64_t HALF_SECOND = 140, HAND_BACK = 2;  // steps
    const SourceTimeline source = sourceTimeline(log, played.levels.endStep);
    std::array<Owner, 8> owner{};
    auto change = played.owners.begin();
    std::int64_t needless = 0;
    for (std::size_t s = 0; s < played.levels.endStep; ++s) {
        const auto step = std::int64_t(s);
        for (; change != played.owners.end() && change->step <= step; ++change)
            owner[change->channel] = change->owner;
        std::uint8_t placed = 0;
        for (Owner o : owner)
            if (o >= Owner::psgTone0 && o <= Owner::periodicNoise)
                placed |= std::uint8_t(1 << (int(o) - int(Owner::psgTone0)));
        bool free = false;
        for (int v = 0; v < 4 && !free; ++v) {
            if (!(source.sounding[s] & ~placed & (1 << v))) continue;
            // The song must leave an FM channel unkeyed to the note's end (at least a step) or
            // for half a second when the note starts now, half a second within it.
            std::int64_t need = HALF_SECOND;
            if (source.noteStarts[s] & (1 << v))
                need = std::max<std::int64_t>(
                    1, std::min(HALF_SECOND,
                                firstFrom(source.noteEvents[std::size_t(v)], step, true) - step));
            need += HAND_BACK;
            for (int c = 0; c < 8 && !free; ++c) {
                const Owner o = owner[std::size_t(c)];
                if (o == Owner::none || (c == NOISE_CHANNEL && o == Owner::whiteNoise)) free = true;
                if (o == Owner::fm && fmAlone.channel[std::size_t(c)][s] <= HEARD_DB &&
                    firstFrom(source.keyOns[std::size_t(c)], step, false) - step >= need)
                    free = true;
            }
        }
        if (free) ++needless;
    }
    return needless;
}

Bytes withoutPsg(const Bytes& vgm) {
    Bytes out = vgm;
    auto at = [&](std::size_t i) -> std::uint32_t { return i < vgm.size() ? vgm[i] : 0; };
    const std::uint32_t dataOffset = at(0x34) | at(0x35) << 8 | at(0x36) << 16 | at(0x37) << 24;
    std::size_t pos = 0x34 + (dataOffset ? dataOffset : 12);
    while (pos < vgm.size() && vgm[pos] != VGM_END_OF_DATA) {
        const std::uint8_t command = vgm[pos];
        if (command == VGM_PSG_WRITE) out[pos] = 0x4F;
        pos += 1 + std::size_t(vgmOperandLength(command));
        if (command == VGM_DATA_BLOCK)
            pos += at(pos - 4) | at(pos - 3) << 8 | at(pos - 2) << 16 | at(pos - 1) << 24;
    }
    return out;
}

ProgramLevels convertAndMeasure(const std::string& input, const std::string& program) {
    ProgramLevels measured;
    ConvertRequest request{.input = input, .output = program, .ownerLog = &measured.owners};
    const ConvertResult result = convertLog(request);
    if (!result.error.empty()) {
        measured.error = input + ": " + result.error;
        return measured;
    }
    ExecutableStream stream;
    if (auto problem = readExecutable(readFile(program), stream)) {
        measured.error = program + ": " + describeProblem(*problem);
        return measured;
    }
    measured.levels = opmLevels(stream);
    return measured;
}

std::vector<SilenceFault> findSilenceFaults(const ProgramLevels& played, const OpmLevels& fmAlone) {
    std::vector<SilenceFault> faults;
    const auto steps = std::int64_t(played.levels.noise.size());
    const std::vector<OwnerChange> owners = ownersWithLoop(played.owners, played.levels);
    for (int c = 0; c < 8; ++c) {
        const std::vector<float>& level = played.levels.channel[std::size_t(c)];
        OwnerAt owner;
        auto change = owners.begin();
        Run tone{{.channel = c}}, noise{{.channel = c, .noise = true}};
        for (std::int64_t s = 0; s < steps; ++s) {
            for (; change != owners.end() && change->step <= s; ++change) {
                if (change->channel != c) continue;
                // Of several changes in one step, the owner before the step releases.
                const bool sameStep = change->step == owner.since;
                owner = {change->owner, sameStep ? owner.previous : owner.owner, change->noise,
                         sameStep ? owner.previousNoise : owner.noise, change->step};
            }
            const auto step = std::size_t(s);
            const bool releasing = s < owner.since + RELEASE_GRACE_STEPS;
            float allowed = allowedDb(owner.owner, c, step, fmAlone);
            if (releasing) allowed = std::max(allowed, allowedDb(owner.previous, c, step, fmAlone));
            const bool toneBeyond = level[step] > HEARD_DB && level[step] > allowed;
            extendRun(tone, toneBeyond, s, owner.owner, level[step], allowed);
            if (!toneBeyond) closeRun(tone, faults);
            const float noiseLevel = c == NOISE_CHANNEL ? played.levels.noise[step] : -ANYTHING;
            const bool noiseAllowed = owner.noise || (releasing && owner.previousNoise);
            const bool noiseBeyond = noiseLevel > HEARD_DB && !noiseAllowed;
            extendRun(noise, noiseBeyond, s, owner.owner, noiseLevel, -ANYTHING);
            if (!noiseBeyond) closeRun(noise, faults);
        }
        closeRun(tone, faults);
        closeRun(noise, faults);
    }
    for (SilenceFault& fault : faults)
        fault.inLoopAgain = fault.firstStep >= std::int64_t(played.levels.endStep);
    return faults;
}

std::string describeFault(const SilenceFault& fault) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "channel %d%s at %.2f s%s for %.2f s: owner %s, %.1f dB where ", fault.channel,
                  fault.noise ? " noise" : "",
                  stepToSeconds(PlayerKind::full, std::uint64_t(fault.firstStep)),
                  fault.inLoopAgain ? " (the loop played again)" : "",
                  stepToSeconds(PlayerKind::full, std::uint64_t(fault.steps)),
                  ownerName(fault.owner), double(fault.loudestDb));
    std::string line = text;
    if (fault.allowedDb == -ANYTHING) return line + "nothing is allowed";
    std::snprintf(text, sizeof text, "%.1f dB is allowed", double(fault.allowedDb));
    return line + text;
}

std::vector<std::string> checkSilence(const std::string& input, const ScratchDir& dir) {
    const ProgramLevels played = convertAndMeasure(input, dir.file("played.x"));
    if (!played.error.empty()) return {played.error};
    writeFile(dir.file("fm-alone.vgm"), withoutPsg(readFile(input)));
    const ProgramLevels fmAlone = convertAndMeasure(dir.file("fm-alone.vgm"), dir.file("fm.x"));
    if (!fmAlone.error.empty()) return {fmAlone.error};
    std::vector<std::string> lines;
    for (const SilenceFault& fault : findSilenceFaults(played, fmAlone.levels))
        lines.push_back(describeFault(fault));
    const std::int64_t needless = needlessGiveUpSteps(played, fmAlone.levels, readFile(input));
    if (needless > STEPS_TOLERATED) {
        char text[120];
        std::snprintf(text, sizeof text,
                      "PSG voices left without a channel for %.2f s while one stood free",
                      stepToSeconds(PlayerKind::full, std::uint64_t(needless)));
        lines.push_back(text);
    }
    return lines;
}
