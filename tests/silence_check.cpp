#include "tests/silence_check.hpp"

#include <algorithm>
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

}  // namespace

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
    return lines;
}
