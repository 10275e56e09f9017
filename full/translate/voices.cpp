// Which OPM channel plays what: the FM channels by default, the PSG voices on channels 6
// and 7 and on FM channels the song leaves silent, the noise on channel 7's operator C2 beside
// a tone on its other three.
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "full/translate/full_run.hpp"
#include "full/translate/noise_lfo.hpp"

namespace {

constexpr int NOISE = 3;  // PsgSource::attenuation index of the noise
constexpr std::uint8_t SILENT = 15;

bool whiteNoiseSounds(const FullRun& run) {
    return run.psg.attenuation[NOISE] < SILENT && isWhiteNoise(run.psg.noiseControl);
}

std::uint8_t voiceAttenuation(const FullRun& run, int voice) {
    return run.psg.attenuation[voice];
}

// An FM channel whose sound has faded below -48 dB, keyed or not: a PSG voice may keep it
// until the song keys it on again.
bool fmChannelSilent(const FullRun& run, int channel) {
    return run.sample >= run.fm.silentFromSample[channel];
}

// A voice that enters a lent channel within a note adds a start the source does not have; over
// gaps of 50 ms between the FM part's notes, midnight's onset correlation against its source
// fell from 0.90 to 0.83. The voice leaves two steps (7.1 ms) before the song keys the channel:
// muted at the fastest release, the envelope reaches its floor in 6.1 ms, and the FM note then
// rises from silence as in the source, not from the voice's level.
constexpr std::int64_t STEP_SAMPLES = 787 / 5;

// The first of `times` at or after `sample`; the largest int64 for none.
std::int64_t firstFrom(const std::vector<std::int64_t>& times, std::int64_t sample) {
    const auto next = std::lower_bound(times.begin(), times.end(), sample);
    return next == times.end() ? std::numeric_limits<std::int64_t>::max() : *next;
}

// The song's next key-on of FM channel `channel` at or after `sample`.
std::int64_t nextKeyOnFrom(const FullRun& run, int channel, std::int64_t sample) {
    if (!run.keyOns) return std::numeric_limits<std::int64_t>::max();
    return firstFrom(run.keyOns->samples[std::size_t(channel)], sample);
}

// Whether the song leaves FM channel `channel` unkeyed for `lend` samples from `sample`.
bool lendsFrom(const FullRun& run, int channel, std::int64_t sample, std::int64_t lend) {
    return nextKeyOnFrom(run, channel, sample) - sample >= lend;
}

bool startsNote(const FullRun& run, int voice) {
    return run.psg.noteStartSample[voice] == run.sample;
}

// When the note voice `voice` plays at `sample` ends (it stops, or a new note starts).
std::int64_t noteEndAfter(const FullRun& run, int voice, std::int64_t sample) {
    if (!run.psgNotes) return std::numeric_limits<std::int64_t>::max();
    return firstFrom(run.psgNotes->samples[std::size_t(voice)], sample + 1);
}

// How long the song must leave an FM channel unkeyed for voice `voice` to take it now: the
// hand-back's two steps beyond the note's end (at least a step) or half a second at the start
// of a note; beyond half a second within one.
std::int64_t lendNeeded(const FullRun& run, int voice) {
    if (!startsNote(run, voice)) return HAND_BACK_AHEAD + LEND_WITHIN_NOTE;
    const std::int64_t note = noteEndAfter(run, voice, run.sample) - run.sample;
    return HAND_BACK_AHEAD + std::max(STEP_SAMPLES, std::min(LEND_WITHIN_NOTE, note));
}

// The channels (bit c for channel c) that may carry a PSG voice now: that a voice may keep,
// and, for voice `taker` (-1 for none), that it may take. Channel 7 may while the noise plays
// on its C2.
std::uint8_t channelsFreeForPsg(const FullRun& run, int taker) {
    auto free = std::uint8_t(1 << 6 | 1 << NOISE_CHANNEL);
    if (run.fm.dacOn) free |= 1 << 5;  // the DAC silences YM2612 channel 6
    const std::int64_t lend = taker >= 0 ? lendNeeded(run, taker) : HAND_BACK_AHEAD + 1;
    for (int c = 0; c < FULL_FM_CHANNELS; ++c)
        if ((run.facts.keyedFmChannels & (1 << c)) == 0 ||
            (fmChannelSilent(run, c) && lendsFrom(run, c, run.sample, lend)))
            free |= std::uint8_t(1 << c);
    return free;
}

// The FM channels the song plays that are free only while they stay silent.
std::uint8_t channelsSilentForNow(const FullRun& run) {
    return std::uint8_t(run.facts.keyedFmChannels & (run.fm.dacOn ? 0x1F : 0x3F));
}

// What each channel plays when no PSG voice holds it.
std::array<Owner, 8> restingOwners(const FullRun& run) {
    std::array<Owner, 8> owners{};  // Owner::none
    for (int c = 0; c < FULL_FM_CHANNELS; ++c)
        if (run.facts.keyedFmChannels & (1 << c)) owners[std::size_t(c)] = Owner::fm;
    if (run.fm.dacOn) owners[5] = Owner::none;
    if (whiteNoiseSounds(run)) owners[NOISE_CHANNEL] = Owner::whiteNoise;
    return owners;
}

// The channel a voice prefers: tone 0 on 6, tone 1 on 7, as the classic plays them.
int homeChannel(int voice) {
    return voice == 0 ? 6 : voice == 1 ? 7 : -1;
}

// The channels the PSG voices hold.
std::uint8_t channelsTaken(const FullRun& run) {
    std::uint8_t taken = 0;
    for (int v = 0; v < PSG_VOICES; ++v)
        if (run.voiceChannel[std::size_t(v)] >= 0)
            taken |= std::uint8_t(1 << run.voiceChannel[std::size_t(v)]);
    return taken;
}

// The first channel of `channels` in the order 6, 7, 0, 1, 2, 3, 4, 5; -1 for none.
int firstInPsgOrder(std::uint8_t channels) {
    if (channels == 0) return -1;
    return (std::countr_zero(std::rotl(channels, 2)) + 6) & 7;
}

// Of the FM channels in `channels`, the one silent longest; -1 for none.
int silentLongest(const FullRun& run, std::uint8_t channels) {
    int best = -1;
    for (int c = 0; c < FULL_FM_CHANNELS; ++c)
        if ((channels & (1 << c)) &&
            (best < 0 || run.fm.silentFromSample[c] < run.fm.silentFromSample[best]))
            best = c;
    return best;
}

// A channel free for the voice: its home first, then 6 and 7, then the FM channels the song
// leaves to the PSG, then the one of those it only leaves silent for now that fell silent
// first (the least likely to be keyed again soon).
int freeChannelFor(const FullRun& run, int voice, std::uint8_t freeForPsg) {
    const auto available = std::uint8_t(freeForPsg & ~channelsTaken(run));
    const int home = homeChannel(voice);
    if (home >= 0 && (available & (1 << home))) return home;
    const std::uint8_t silentForNow = channelsSilentForNow(run);
    if (const int c = firstInPsgOrder(std::uint8_t(available & ~silentForNow)); c >= 0) return c;
    return silentLongest(run, std::uint8_t(available & silentForNow));
}

}  // namespace

bool voiceSounds(const FullRun& run, int voice) {
    if (voice == NOISE)
        return run.psg.attenuation[NOISE] < SILENT && !isWhiteNoise(run.psg.noiseControl);
    return run.psg.attenuation[voice] < SILENT;
}

void allocateVoices(FullRun& run) {
    refreshFades(run);
    const std::uint8_t freeForPsg = channelsFreeForPsg(run, -1);
    std::uint8_t sounding = 0;  // bit v: voice v sounds
    for (int v = 0; v < PSG_VOICES; ++v)
        if (voiceSounds(run, v)) sounding |= std::uint8_t(1 << v);
    // Voices that fell silent or lost their channel let go of it.
    for (int v = 0; v < PSG_VOICES; ++v) {
        int& channel = run.voiceChannel[std::size_t(v)];
        if (channel >= 0 && (!(sounding & (1 << v)) || !(freeForPsg & (1 << channel))))
            channel = -1;
    }
    // Sounding voices without a channel, loudest first, take a free one, or the channel of a
    // quieter voice, which gives way.
    for (int pass = 0; pass < PSG_VOICES; ++pass) {
        int voice = -1;
        for (int v = 0; v < PSG_VOICES; ++v)
            if ((sounding & (1 << v)) && run.voiceChannel[std::size_t(v)] < 0 &&
                (voice < 0 || voiceAttenuation(run, v) < voiceAttenuation(run, voice)))
                voice = v;
        if (voice < 0) break;
        int channel = freeChannelFor(run, voice, channelsFreeForPsg(run, voice));
        if (channel < 0) {
            int quietest = -1;
            for (int v = 0; v < PSG_VOICES; ++v)
                if (run.voiceChannel[std::size_t(v)] >= 0 &&
                    (quietest < 0 || voiceAttenuation(run, v) > voiceAttenuation(run, quietest)))
                    quietest = v;
            if (quietest < 0 || voiceAttenuation(run, quietest) <= voiceAttenuation(run, voice))
                break;
            channel = run.voiceChannel[std::size_t(quietest)];
            run.voiceChannel[std::size_t(quietest)] = -1;
        }
        run.voiceChannel[std::size_t(voice)] = channel;
    }
    // Every channel whose owner changed is set up anew.
    std::array<Owner, 8> owner = restingOwners(run);
    for (int v = 0; v < PSG_VOICES; ++v)
        if (const int c = run.voiceChannel[std::size_t(v)]; c >= 0)
            owner[std::size_t(c)] = ownerOfVoice(v);
    const bool noise = whiteNoiseSounds(run);
    if (std::memcmp(&owner, &run.owner, sizeof owner) != 0 || noise != run.channel7Noise) {
        const bool previousNoise = run.channel7Noise;
        run.channel7Noise = noise;
        for (int c = 0; c < 8; ++c) {
            const Owner previous = run.owner[std::size_t(c)];
            if (owner[std::size_t(c)] == previous && (c != NOISE_CHANNEL || noise == previousNoise))
                continue;
            run.owner[std::size_t(c)] = owner[std::size_t(c)];
            applyOwner(run, c, previous, c == NOISE_CHANNEL && previousNoise);
        }
    }
    run.voicesWaiting = 0;
    for (int v = 0; v < PSG_VOICES; ++v)
        if ((sounding & (1 << v)) && run.voiceChannel[std::size_t(v)] < 0)
            run.voicesWaiting |= std::uint8_t(1 << v);
    joinWaitingTones(run);
    for (int v = 0; v < PSG_TONES; ++v)
        if (run.voiceChannel[std::size_t(v)] >= 0 || run.joinedTo[std::size_t(v)] >= 0)
            run.played.psgVoices |= std::uint8_t(1 << v);
    if (run.channel7Noise || run.voiceChannel[NOISE] >= 0) run.played.noise = true;
}

std::int64_t nextVoiceEvent(FullRun& run) {
    const bool lent = (channelsTaken(run) & ((1 << FULL_FM_CHANNELS) - 1)) != 0;
    if (!lent && !run.voicesWaiting) return std::numeric_limits<std::int64_t>::max();
    refreshFades(run);
    std::int64_t next = std::numeric_limits<std::int64_t>::max();
    for (int c = 0; c < FULL_FM_CHANNELS; ++c) {
        if (!(run.facts.keyedFmChannels & (1 << c))) continue;
        const Owner owner = run.owner[std::size_t(c)];
        const std::int64_t silent = run.fm.silentFromSample[c];
        if (owner == Owner::fm && run.voicesWaiting && silent > run.sample &&
            lendsFrom(run, c, silent, HAND_BACK_AHEAD + LEND_WITHIN_NOTE))
            next = std::min(next, silent);
        if (owner >= Owner::psgTone0 && owner <= Owner::periodicNoise) {
            const std::int64_t keyOn = nextKeyOnFrom(run, c, run.sample);
            if (keyOn != std::numeric_limits<std::int64_t>::max())
                next = std::min(next, std::max(run.sample + 1, keyOn - HAND_BACK_AHEAD));
        }
    }
    return next;
}

namespace {

void dropBefore(std::vector<std::int64_t>& times, std::int64_t sample) {
    if (!times.empty() && times.front() < sample)
        times.erase(times.begin(), std::lower_bound(times.begin(), times.end(), sample));
}

}  // namespace

void dropPastEvents(FullRun& run) {
    if (run.keyOns)
        for (std::vector<std::int64_t>& keyOns : run.keyOns->samples)
            dropBefore(keyOns, run.sample);
    if (run.psgNotes)
        for (std::vector<std::int64_t>& events : run.psgNotes->samples)
            dropBefore(events, run.sample);
}

void allocateVoicesAfterWait(FullRun& run) {
    refreshFades(run);
    for (int v = 0; v < PSG_VOICES; ++v) {
        if (!voiceSounds(run, v) || run.voiceChannel[std::size_t(v)] >= 0) continue;
        for (int c = 0; c < FULL_FM_CHANNELS; ++c)
            if (run.owner[std::size_t(c)] == Owner::fm && fmChannelSilent(run, c) &&
                lendsFrom(run, c, run.sample, HAND_BACK_AHEAD + LEND_WITHIN_NOTE)) {
                allocateVoices(run);
                return;
            }
    }
}

void startFullRun(FullRun& run) {
    run.voiceChannel.fill(-1);
    FullStream& s = run.stream;
    // The whole image as a YM2612 starts (every register 0, both outputs on), with the LFO
    // waveform triangle, the noise off, and every channel keyed off.
    setRegister(s, 0x0F, 0x00);
    setRegister(s, 0x18, 0x00);
    setRegister(s, 0x1B, OPM_LFO_TRIANGLE);
    resetFmImage(run);
    for (int reg = 0x20; reg < 0x100; ++reg) setRegister(s, std::uint8_t(reg), run.fm.image[reg]);
    // Every channel keyed off, whatever an earlier program left playing, then set up.
    run.owner = restingOwners(run);
    for (int c = 0; c < 8; ++c) applyOwner(run, c, Owner::fm, false);
}
