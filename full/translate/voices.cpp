// Which OPM channel plays what: the FM channels by default, the PSG voices on channels 6
// and 7 and on FM channels the song leaves free, the noise on channel 7's noise generator.
#include <bit>
#include <cmath>
#include <cstring>

#include "full/translate/full_run.hpp"
#include "full/translate/noise_lfo.hpp"
#include "full/translate/true_pitch.hpp"

namespace {

constexpr int NOISE = 3;  // PsgSource::attenuation index of the noise
constexpr std::uint8_t SILENT = 15;
constexpr std::uint8_t TL_OFF = 0x7F;

// The PSG voice: four sine carriers at 1, 3, 5 and 7 times the pitch at 1/3, 1/5 and 1/7 of
// the fundamental's amplitude (9.5, 14 and 16.9 dB below it: 13, 19 and 22 TL steps), the first
// partials of the tone chip's square wave. Operator 3 carries the fundamental; the level
// follows the tone chip's attenuation at 2 dB (8/3 TL steps) a step.
constexpr std::uint8_t MULTIPLE_BY_OPERATOR[4] = {7, 5, 3, 1};
constexpr std::uint8_t TL_BELOW_FUNDAMENTAL[4] = {22, 19, 13, 0};
// Measured against the FM voices, whose carriers play 5 TL steps down (fidelity/levels): a
// tone at attenuation 0 sounds 5.55 dB below a YM2612 carrier at TL 0 on the Mega Drive. The
// measurement's voice had partials 3, 6 and 9 dB down; these weaker ones carry 2 dB less
// power, made up by 3 TL steps on every operator.
constexpr int PSG_FUNDAMENTAL_TL = 13;
// Half a semitone above the OPM's highest note at 4 MHz (C8 with fraction 63, 4.95 kHz).
const double HIGHEST_PSG_HZ = opmPitchHz({0x7E, 0xFC}) * std::exp2(1.0 / 24);

// The noise's level is linear in its TL, as (1023 - 8 TL) / 1023: the TL for each attenuation
// step of 2 dB, from the same measurement.
constexpr std::uint8_t NOISE_TL[15] = {3,   29,  49,  66,  78,  89,  97, 103,
                                       108, 112, 115, 118, 120, 122, 123};

bool whiteNoiseSounds(const FullRun& run) {
    return run.psg.attenuation[NOISE] < SILENT && isWhiteNoise(run.psg.noiseControl);
}

std::uint8_t voiceAttenuation(const FullRun& run, int voice) {
    return run.psg.attenuation[voice == NOISE ? NOISE : voice];
}

double noiseShiftHz(const FullRun& run) {
    return sn76489NoiseShiftHz(run.psg.noiseControl, run.psg.period[2]);
}

// Whether channel c may carry a PSG voice now.
// An FM channel keyed off this long has faded out: a PSG voice may borrow it until the song
// keys it on again.
constexpr std::int64_t SILENT_AFTER_KEY_OFF = 44100 / 2;

bool fmChannelSilent(const FullRun& run, int channel) {
    return run.fm.keyMask[channel] == 0 &&
           run.sample - run.fm.keyOffSample[channel] >= SILENT_AFTER_KEY_OFF;
}

// The channels (bit c for channel c) that may carry a PSG voice now.
std::uint8_t channelsFreeForPsg(const FullRun& run) {
    auto free = std::uint8_t(1 << 6);
    if (!whiteNoiseSounds(run)) free |= 1 << NOISE_CHANNEL;
    if (run.fm.dacOn) free |= 1 << 5;  // the DAC silences YM2612 channel 6
    for (int c = 0; c < FULL_FM_CHANNELS; ++c)
        if ((run.facts.keyedFmChannels & (1 << c)) == 0 || fmChannelSilent(run, c))
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

// A channel free for the voice: its home first, then 6 and 7, then the FM channels the song
// leaves to the PSG, then those it only leaves silent for now.
int freeChannelFor(const FullRun& run, int voice, std::uint8_t freeForPsg) {
    const auto available = std::uint8_t(freeForPsg & ~channelsTaken(run));
    const int home = homeChannel(voice);
    if (home >= 0 && (available & (1 << home))) return home;
    const std::uint8_t silentForNow = channelsSilentForNow(run);
    if (const int c = firstInPsgOrder(std::uint8_t(available & ~silentForNow)); c >= 0) return c;
    return firstInPsgOrder(std::uint8_t(available & silentForNow));
}

void setChannelOperators(FullRun& run, int channel, const std::uint8_t (&rows)[6][4]) {
    for (int row = 0; row < 6; ++row)
        for (int op = 0; op < 4; ++op)
            setRegister(run.stream, std::uint8_t(0x40 + 0x20 * row + channel + 8 * op),
                        rows[row][op]);
}

// The TL of each operator of a PSG voice by the tone chip's attenuation; 15 is silent.
constexpr std::array<std::array<std::uint8_t, 4>, 16> PSG_TL = [] {
    std::array<std::array<std::uint8_t, 4>, 16> tls{};
    for (int attenuation = 0; attenuation < 16; ++attenuation)
        for (int op = 0; op < 4; ++op) {
            const int tl =
                PSG_FUNDAMENTAL_TL + (8 * attenuation + 1) / 3 + TL_BELOW_FUNDAMENTAL[op];
            tls[std::size_t(attenuation)][std::size_t(op)] =
                attenuation >= SILENT ? TL_OFF : std::uint8_t(tl > TL_OFF ? TL_OFF : tl);
        }
    return tls;
}();

void setVoicePitchAndLevel(FullRun& run, int voice, int channel) {
    const std::uint16_t period = voice == NOISE ? 0 : run.psg.period[voice];
    const double hz = voice == NOISE ? periodicNoisePitchHz(noiseShiftHz(run))
                                     : sn76489ToneHz(period == 0 ? 1024 : period);
    const KeyCode code = voice == NOISE ? opmKeyCodeNearest(hz) : sn76489KeyCode(period);
    setRegister(run.stream, std::uint8_t(0x28 + channel), code.keyCode);
    setRegister(run.stream, std::uint8_t(0x30 + channel), code.keyFraction);
    // A tone above the OPM's highest note (the tone chip's shortest periods, often used for
    // effects that the ear cannot hear as a pitch) is not played at a wrong one.
    const bool outOfReach = hz > HIGHEST_PSG_HZ;
    const std::array<std::uint8_t, 4>& tls =
        PSG_TL[outOfReach ? SILENT : voiceAttenuation(run, voice)];
    for (int op = 0; op < 4; ++op)
        setRegister(run.stream, std::uint8_t(0x60 + channel + 8 * op), tls[std::size_t(op)]);
}

void setNoise(FullRun& run) {
    const std::uint8_t attenuation = run.psg.attenuation[NOISE];
    setRegister(run.stream, 0x0F, std::uint8_t(0x80 | opmNoiseFrequency(noiseShiftHz(run))));
    setRegister(run.stream, 0x60 + NOISE_CHANNEL + 24,
                attenuation >= SILENT ? TL_OFF : NOISE_TL[attenuation]);
}

}  // namespace

bool voiceSounds(const FullRun& run, int voice) {
    if (voice == NOISE)
        return run.psg.attenuation[NOISE] < SILENT && !isWhiteNoise(run.psg.noiseControl);
    return run.psg.attenuation[voice] < SILENT;
}

void applyOwner(FullRun& run, int channel) {
    const std::int64_t step = currentStep(run);
    const Owner owner = run.owner[std::size_t(channel)];
    if (run.ownerLog)
        run.ownerLog->push_back(
            {step, std::uint8_t(channel), owner, owner == Owner::whiteNoise});
    writeRegisterNow(run.stream, step, 0x08, std::uint8_t(channel));  // all operators off
    if (channel == NOISE_CHANNEL && owner != Owner::whiteNoise) setRegister(run.stream, 0x0F, 0x00);
    const auto c = std::uint8_t(channel);
    switch (owner) {
        case Owner::fm:
            for (std::uint8_t reg : {std::uint8_t(0x20 + c), std::uint8_t(0x28 + c),
                                     std::uint8_t(0x30 + c), std::uint8_t(0x38 + c)})
                setRegister(run.stream, reg, run.fm.image[reg]);
            for (int row = 0; row < 6; ++row)
                for (int op = 0; op < 4; ++op) {
                    const auto reg = std::uint8_t(0x40 + 0x20 * row + channel + 8 * op);
                    setRegister(run.stream, reg, run.fm.image[reg]);
                }
            if (run.fm.keyMask[channel])
                writeRegisterNow(run.stream, step, 0x08, std::uint8_t(run.fm.keyMask[channel] | c));
            return;
        case Owner::none:
            for (int op = 0; op < 4; ++op)
                setRegister(run.stream, std::uint8_t(0x60 + c + 8 * op), TL_OFF);
            return;
        case Owner::whiteNoise: {
            // Only operator C2 sounds; the noise generator replaces its sine.
            const std::uint8_t rows[6][4] = {{1, 1, 1, 1},
                                             {TL_OFF, TL_OFF, TL_OFF, TL_OFF},
                                             {0x1F, 0x1F, 0x1F, 0x1F},
                                             {0, 0, 0, 0},
                                             {0, 0, 0, 0},
                                             {0x0F, 0x0F, 0x0F, 0x0F}};
            setRegister(run.stream, std::uint8_t(0x20 + c), 0xC7);
            setRegister(run.stream, std::uint8_t(0x38 + c), 0x00);
            setChannelOperators(run, channel, rows);
            setNoise(run);
            writeRegisterNow(run.stream, step, 0x08, std::uint8_t(0x40 | c));
            return;
        }
        default: {  // a PSG voice
            const int voice = int(owner) - int(Owner::psgTone0);
            std::uint8_t rows[6][4] = {};
            for (int op = 0; op < 4; ++op) {
                rows[0][op] = MULTIPLE_BY_OPERATOR[op];
                rows[2][op] = 0x1F;  // fastest attack, no decay
                rows[5][op] = 0x0F;  // fastest release
            }
            setRegister(run.stream, std::uint8_t(0x20 + c), 0xC7);  // both sides, four carriers
            setRegister(run.stream, std::uint8_t(0x38 + c), 0x00);
            setChannelOperators(run, channel, rows);
            setVoicePitchAndLevel(run, voice, channel);
            writeRegisterNow(run.stream, step, 0x08, std::uint8_t(0x78 | c));
            return;
        }
    }
}

void updateVoice(FullRun& run, int voice) {
    if (voice == NOISE && run.owner[NOISE_CHANNEL] == Owner::whiteNoise) setNoise(run);
    const int channel = run.voiceChannel[std::size_t(voice)];
    if (channel >= 0) setVoicePitchAndLevel(run, voice, channel);
}

void allocateVoices(FullRun& run) {
    const std::uint8_t freeForPsg = channelsFreeForPsg(run);
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
        int channel = freeChannelFor(run, voice, freeForPsg);
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
    const bool ownersChanged = std::memcmp(&owner, &run.owner, sizeof owner) != 0;
    for (int c = 0; c < 8 && ownersChanged; ++c) {
        if (owner[std::size_t(c)] == run.owner[std::size_t(c)]) continue;
        run.owner[std::size_t(c)] = owner[std::size_t(c)];
        applyOwner(run, c);
    }
    run.voicesWaiting = 0;
    for (int v = 0; v < PSG_VOICES; ++v)
        if ((sounding & (1 << v)) && run.voiceChannel[std::size_t(v)] < 0)
            run.voicesWaiting |= std::uint8_t(1 << v);
    for (int v = 0; v < PSG_TONES; ++v)
        if (run.voiceChannel[std::size_t(v)] >= 0) run.played.psgVoices |= std::uint8_t(1 << v);
    if (run.owner[NOISE_CHANNEL] == Owner::whiteNoise || run.voiceChannel[NOISE] >= 0)
        run.played.noise = true;
}

void allocateVoicesAfterWait(FullRun& run) {
    for (int v = 0; v < PSG_VOICES; ++v) {
        if (!voiceSounds(run, v) || run.voiceChannel[std::size_t(v)] >= 0) continue;
        for (int c = 0; c < FULL_FM_CHANNELS; ++c)
            if (run.owner[std::size_t(c)] == Owner::fm && fmChannelSilent(run, c)) {
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
    run.owner = restingOwners(run);
    for (int c = 0; c < 8; ++c) applyOwner(run, c);
}
