// The state of one opmcast-full conversion: the song facts of the first pass, the source
// chips as the log has set them, which OPM channel plays what, and the stream.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "full/stream/full_stream.hpp"
#include "full/translate/dac_capture.hpp"

inline constexpr int FULL_FM_CHANNELS = 6;
inline constexpr int PSG_TONES = 3;
inline constexpr int NOISE_CHANNEL = 7;  // the OPM's noise replaces its operator C2

// The operators (bit n for register offset 8n: M1, M2, C1, C2) that reach the output under each
// algorithm.
inline constexpr std::uint8_t CARRIERS_BY_ALGORITHM[8] = {0x8, 0x8, 0x8, 0x8, 0xC, 0xE, 0xE, 0xF};

// What an OPM channel plays.
enum class Owner : std::uint8_t {
    none,      // silent, free for a PSG voice
    fm,        // the YM2612 channel of the same number
    psgTone0,  // SN76489 tone channels 0, 1, 2
    psgTone1,
    psgTone2,
    periodicNoise,  // the SN76489's periodic noise, as a pitched voice
    whiteNoise,     // channel 7 only: the noise generator
};

// The voices that take a channel when they sound, in Owner order from psgTone0.
inline constexpr int PSG_VOICES = 4;  // three tones and the periodic noise
constexpr Owner ownerOfVoice(int voice) {
    return Owner(int(Owner::psgTone0) + voice);
}

// Found by the first pass over the log.
struct SongFacts {
    std::uint8_t keyedFmChannels = 0;    // bit c: YM2612 channel c is keyed on somewhere
    bool sourceChipWritten = false;      // any YM2612 or SN76489 write
    bool psgWritten = false;             // any SN76489 write: voices to place
    std::uint8_t otherChipCommand = 0;   // the first command byte for another chip, 0 if none
    std::int64_t otherChipCommands = 0;  // commands for other chips, passed over
    std::int64_t unknownCommands = 0;    // bytes the VGM format does not define
    std::int64_t samples = 0;            // the log's length: its waits added up
    bool psgHeard = false;               // an SN76489 volume other than off is written
};

// How long a silent FM channel is lent to a PSG voice. A voice takes one at the start of one of
// its notes when the song leaves the channel unkeyed to the note's end, or for half a second
// where the note is longer; within a note, only for half a second. It gives the channel back
// two steps before the song keys it again. The translation must know the song's next key-ons
// and notes that far ahead.
inline constexpr std::int64_t LEND_WITHIN_NOTE = 44100 / 2;
inline constexpr std::int64_t HAND_BACK_AHEAD = 2 * 787 / 5;
inline constexpr std::int64_t LOOK_AHEAD_SAMPLES = LEND_WITHIN_NOTE + HAND_BACK_AHEAD + 1;
// The events kept ahead, by channel or voice: a log that holds more within that time (no song
// does) has the rest taken as absent.
inline constexpr std::size_t EVENTS_KEPT = std::size_t(1) << 16;

// The FM key-ons to come (from every operator off), by channel, in the log's time.
struct FmKeyOns {
    std::array<std::vector<std::int64_t>, FULL_FM_CHANNELS> samples;
    std::uint8_t keyed = 0;  // bit c: keyed on where the look-ahead has read to
};

// The YM2612 as the log has set it, in OPM terms for channels 0-5.
struct FmSource {
    std::uint8_t image[256] = {};                      // by OPM register: what FM channels 0-5 want
    std::uint8_t keyMask[FULL_FM_CHANNELS] = {};       // operators keyed on, OPM bits 6-3
    std::int64_t keyOnSample[FULL_FM_CHANNELS] = {};   // the last key-on from all keys off
    std::int64_t keyOffSample[FULL_FM_CHANNELS] = {};  // the last key-off of every operator
    std::uint8_t keyedYet = 0;                         // bit c: keyed on so far
    // When the channel falls below -48 dB (fmSilentFromSample): from then on a PSG voice may
    // borrow it until the song makes it sound again. 0 before its first key-on.
    std::int64_t silentFromSample[FULL_FM_CHANNELS] = {};
    std::uint8_t fadeStale = 0;  // bit c: silentFromSample[c] to be worked out again (refreshFades)
    std::uint8_t fnumLow[FULL_FM_CHANNELS] = {};
    std::uint8_t fnumHigh[FULL_FM_CHANNELS] = {};
    std::uint8_t fnumHighLatch = 0;  // 0xA4 waits here for the 0xA0 write that applies it
    std::uint8_t totalLevel[FULL_FM_CHANNELS][4] = {};  // TL as the log wrote it, by operator
    std::uint8_t outputs[FULL_FM_CHANNELS] = {};        // 0xB4 + n as written
    bool lfoOn = false;
    bool dacOn = false;
};

// The SN76489 as the log has set it.
struct PsgSource {
    std::uint8_t latch = 0;
    std::uint16_t period[PSG_TONES] = {};
    std::uint8_t attenuation[4] = {15, 15, 15, 15};  // tones 0-2, noise; 15 is off
    std::uint8_t noiseControl = 0;
    // When each voice (tones 0-2, the noise) last started a note: began to sound, or changed
    // its pitch; -1 before.
    std::int64_t noteStartSample[4] = {-1, -1, -1, -1};
};

// What one SN76489 write changed for the voice it addresses (tones 0-2, the noise).
struct PsgChange {
    int voice = 0;
    bool levelChanged = false;
    bool soundingChanged = false;  // began or ceased to sound
    bool noteStarts = false;       // began to sound, a pitch a semitone away, the noise restarted
    bool pitchChanged = false;
    bool whiteChanged = false;  // the noise between white and periodic
};
PsgChange applyPsgWrite(PsgSource& psg, std::uint8_t data);

// When each PSG voice's notes to come start or stop, in the log's time.
struct PsgNoteEvents {
    std::array<std::vector<std::int64_t>, PSG_VOICES> samples;
    PsgSource chip;  // where the look-ahead has read to
};

// Time a voice could not be played for lack of a channel, and what else was left out.
struct LeftOut {
    std::int64_t voiceSamples[PSG_VOICES] = {};
    bool channel3Mode = false;
    bool ssgEg = false;
    bool lfoRateBeyondReach = false;
};

// What the song used, for the summary.
struct Played {
    std::uint8_t fmChannels = 0;  // bit c: keyed on
    std::uint8_t psgVoices = 0;   // bit v: tone v sounded
    bool noise = false;
    bool lfo = false;
    std::int64_t drumStarts = 0;  // ADPCM samples started
};

// From `step` on, OPM channel `channel` plays `owner`'s part; on channel 7, `noise` says whether
// its operator C2 plays the white noise as well (alone when `owner` is none). Kept for checks of
// what may sound when.
struct OwnerChange {
    std::int64_t step = 0;
    std::uint8_t channel = 0;
    Owner owner = Owner::none;
    bool noise = false;
};

struct FullRun {
    SongFacts facts;
    FmSource fm;
    PsgSource psg;
    std::array<Owner, 8> owner{};
    bool channel7Noise = false;  // channel 7's C2 plays the white noise (beside a tone, or alone)
    // Bit c: FM channel c, handed back by a PSG voice or not yet keyed, is held silent (TL 127,
    // fastest release) until the song keys it on; its registers are written then.
    std::uint8_t fmMuted = 0;
    std::array<int, PSG_VOICES> voiceChannel{};  // the channel of each voice, -1 for none
    std::uint8_t voicesWaiting = 0;              // bit v: voice v sounds but has no channel
    // For a tone waiting for a channel: the tone in unison with it whose channel plays both
    // (joinWaitingTones), -1 for none.
    std::array<int, PSG_TONES> joinedTo{-1, -1, -1};
    std::int64_t sample = 0;       // the log's time, in samples of 1/44100 s
    std::int64_t loopSample = -1;  // the time of the loop point, -1 without
    FullStream stream;
    std::span<const DacHit> hits;       // the DAC's hits, by their start, from the first pass
    FmKeyOns* keyOns = nullptr;         // from the look-ahead; those past are dropped
    PsgNoteEvents* psgNotes = nullptr;  // likewise
    std::size_t nextHit = 0;
    // Channel 6's pan as it changes, from the first pass; the hit playing follows it.
    std::span<const DacPanChange> panChanges;
    std::span<const DacSample> dacSamples;  // the hits' samples, for how long each plays
    std::vector<DacSample> fadeDrums;       // the fade's copies, numbered after dacSamples
    std::size_t nextPanChange = 0;
    std::int64_t hitEndSample = 0;  // the hit playing ends here (or at the next start)
    std::uint8_t hitSides = 0;      // and plays on these sides: bit 1 left, bit 0 right
    LeftOut leftOut;
    Played played;
    std::vector<OwnerChange>* ownerLog = nullptr;  // when set, every change of owner
};

// The step nearest to the log's time (787/5 samples a step): a write lands within 1.8 ms of
// its time.
inline constexpr std::int64_t STEPS_PER_TICK = 5;
inline std::int64_t currentStep(const FullRun& run) {
    return (run.sample * STEPS_PER_TICK + 787 / 2) / 787;
}

// Start-up: every channel silent, its owner by the song facts, the whole image written.
void startFullRun(FullRun& run);
// The YM2612's registers as it starts: all 0, both outputs on.
void resetFmImage(FullRun& run);
void translateFullYm2612(FullRun& run, std::uint8_t port, std::uint8_t reg, std::uint8_t data);
void translateFullSn76489(FullRun& run, std::uint8_t data);
// Whether a PSG voice (a tone, or the periodic noise) sounds now.
bool voiceSounds(const FullRun& run, int voice);
// Gives each sounding PSG voice a channel, after anything that changes which voices sound or
// which channels are free.
void allocateVoices(FullRun& run);
// After the log's time moved on: gives a waiting voice an FM channel that has fallen silent.
void allocateVoicesAfterWait(FullRun& run);
// The next time the voices' channels change within a wait: an FM channel falls silent for long
// enough to lend to a waiting voice, or one lent comes back ahead of the song's key-on; the
// largest int64 for none.
std::int64_t nextVoiceEvent(FullRun& run);
// After the log's time moved on: the FM key-ons and PSG note events now past are dropped.
void dropPastEvents(FullRun& run);
// Sets an OPM channel up for what its owner plays now, after it played `previous` (and, on
// channel 7, the noise or not: `previousNoise`).
void applyOwner(FullRun& run, int channel, Owner previous, bool previousNoise);
// A muted FM channel gets the FM part's registers back, for its key-on.
void restoreFmRegisters(FullRun& run, int channel);
// When FM channel `channel` falls below -48 dB of full scale, as its carriers' envelopes run
// under its registers now from its last key-on or key-off: the log's time in samples, the
// largest int64 for never.
std::int64_t fmSilentFromSample(const FullRun& run, int channel);
// Works out silentFromSample again for the channels whose key or envelope registers changed
// since.
void refreshFades(FullRun& run);
// Registers of one PSG voice on its channel after its pitch or level changed.
void updateVoice(FullRun& run, int voice);
// A tone waiting for a channel joins a tone in unison with it that has one: the channel plays
// both at their summed power. After a waiting tone's or a playing tone's pitch or level
// changed, or channels changed hands.
void joinWaitingTones(FullRun& run);
// The voices waiting for a channel that no other channel plays: left out.
std::uint8_t voicesLeftOut(const FullRun& run);
// How many TL steps louder the channel of tone `tone` plays for the tones joined to it.
int unisonBoostTl(const FullRun& run, int tone);
