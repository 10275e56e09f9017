// Names of the RegisterStream pairs: the stream commands and the YM2151 (OPM) registers by
// their datasheet names, with channel and operator.
#pragma once

#include <cstdint>
#include <string>

// The player a program carries, which decides how its stream reads. opmcast's vgmstub.bin:
// waits 00 00-00 FD in ticks, the chip-wide registers named only. opmcast-full's fullplayer.s:
// waits 00 00-00 EF in steps, 00 F0-00 F7 the ADPCM's commands, 00 F8 the end of the fade
// and 00 F9-00 FD reserved (the player ends the song at either), the values of the noise, LFO
// and test registers spelled out.
enum class PlayerKind : std::uint8_t { classic, full };
// "classic" or "full".
const char* playerName(PlayerKind player);

// The unit of a player's waits, its step: for the classic player a tick, 787 VGM samples
// (787/44100 s); for the full player one overflow of its timer, a fifth of a tick (787/5 VGM
// samples, 3.569 ms, on average).
inline constexpr unsigned FULL_STEPS_PER_TICK = 5;
// "tick" or "step", as the outputs name a player's unit of wait.
const char* stepName(PlayerKind player);
// The time from the start of the stream to a step, in seconds.
double stepToSeconds(PlayerKind player, std::uint64_t step);
// The VGM sample (44100 a second) nearest to a step, counted from the start of the stream:
// step · 787 for the classic player, round(step · 787 / 5) for the full player, so that a
// long stream does not drift.
std::uint64_t stepToSamples(PlayerKind player, std::uint64_t step);

// What a pair of the stream is. Every register the OPM has belongs to one group.
enum class PairGroup : std::uint8_t {
    wait,
    loopMarker,
    endMarker,
    fadeEnd,       // 00 F8 of a full program: the song ends here
    reserved,      // 00 F9-00 FD of a full program: the song ends here too
    adpcmStop,     // 00 F0 of a full program
    adpcmStart,    // 00 F1-00 F3 of a full program
    adpcmSides,    // 00 F4-00 F7 of a full program
    sampleNumber,  // the pair after an ADPCM start (streamPairGroup)
    test,          // 0x01
    keyOnOff,      // 0x08
    noise,         // 0x0F
    timer,         // 0x10-0x12, 0x14
    lfoFrequency,  // 0x18
    lfoDepth,      // 0x19
    waveform,      // 0x1B
    connect,       // 0x20 + channel
    keyCode,       // 0x28 + channel
    keyFraction,   // 0x30 + channel
    modSens,       // 0x38 + channel
    dt1Mul,        // 0x40 + slot
    totalLevel,    // 0x60 + slot
    ksAr,          // 0x80 + slot
    amsD1r,        // 0xA0 + slot
    dt2D2r,        // 0xC0 + slot
    d1lRr,         // 0xE0 + slot
    missing,       // a register number the OPM does not have
};
inline constexpr int PAIR_GROUPS = int(PairGroup::missing) + 1;

struct GroupNames {
    const char* id;     // identifier for the machine-readable output
    const char* label;  // OPM datasheet name and register range
};

PairGroup pairGroup(PlayerKind player, std::uint8_t first, std::uint8_t second);
const GroupNames& groupNames(PairGroup group);

// Channel 0-7 of a channel or operator register, or of a key on/off value; -1 otherwise.
int pairChannel(std::uint8_t first, std::uint8_t second);
// Operator 0-3 (the slot's register offset / 8) of an operator register; -1 otherwise.
int pairOperator(std::uint8_t first);

// The key on/off operator mask as four digits, operator 0 first: "1010" keys on operators 0
// and 2. The OPM holds the mask as bits 3 (M1, op 0), 5 (M2, op 1), 4 (C1, op 2), 6 (C2, op 3).
std::string keyOperators(std::uint8_t value);
bool keysOn(std::uint8_t value);

// "wait 3 ticks", "loop marker", "TL ch2 op1", "KC ch5", "key on ch0 ops 1111"; for a full
// program "wait 3 steps", and also "NE/NFRQ noise on, NFRQ 14", "AMD 32", "PMD 102",
// "W triangle", "LFO reset".
std::string describePair(PlayerKind player, std::uint8_t first, std::uint8_t second);
// Steps (ticks for the classic player) a wait pair stands for; 0 for every other pair.
unsigned waitSteps(PlayerKind player, std::uint8_t first, std::uint8_t second);
