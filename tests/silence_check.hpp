// What each OPM channel of an opmcast-full program may play, step by step, by the owners its
// conversion recorded, set against what the envelope model hears: a channel that sounds
// where its owner plays nothing, or louder than the FM part alone plays it.
#pragma once

#include <string>
#include <vector>

#include "dump/program/opm_levels.hpp"
#include "full/translate/full_run.hpp"
#include "tests/test_support.hpp"

// Below this a channel is not heard over the music.
inline constexpr float HEARD_DB = -48.0f;
// A channel heard beyond its owner's part for longer than this (50 ms) is a fault.
inline constexpr int STEPS_TOLERATED = 14;
// After a change of owner the previous owner's release may run on this long.
inline constexpr int RELEASE_GRACE_STEPS = 4;
// An FM channel may sound this much louder than the FM part alone plays it.
inline constexpr float FM_MARGIN_DB = 6.0f;

struct SilenceFault {
    int channel = 0;
    bool noise = false;  // channel 7's operator C2 playing the noise
    std::int64_t firstStep = 0;
    std::int64_t steps = 0;
    Owner owner = Owner::none;
    float loudestDb = 0;       // in the run of steps
    float allowedDb = 0;       // at the loudest step
    bool inLoopAgain = false;  // after the end, as the program plays its loop once more
};

// The log with every SN76489 write (0x50 dd) turned into a Game Gear stereo write (0x4F
// dd), which the converter passes over; data blocks are stepped over whole.
Bytes withoutPsg(const Bytes& vgm);

struct ProgramLevels {
    std::string error;  // empty on success
    OpmLevels levels;
    std::vector<OwnerChange> owners;
};
// Converts the log at `input` into `program` and runs the envelope model over its stream.
ProgramLevels convertAndMeasure(const std::string& input, const std::string& program);

// The runs of more than STEPS_TOLERATED steps in which a channel of `played` is heard beyond
// what its owner allows: nothing for none, the channel of `fmAlone` plus FM_MARGIN_DB for fm,
// anything for a PSG voice; channel 7's noise only while the owners give it the noise.
std::vector<SilenceFault> findSilenceFaults(const ProgramLevels& played, const OpmLevels& fmAlone);

// The steps, up to the end, in which a PSG voice of `log` sounds without a channel while one
// stands free for it: channel 6 or 7 unowned (7 may carry the noise), an FM channel no part
// owns, or one the FM part (`fmAlone`) leaves below HEARD_DB and unkeyed for as long as a voice
// needs to take it (to its note's end, or half a second, and the two steps of the hand-back).
std::int64_t needlessGiveUpSteps(const ProgramLevels& played, const OpmLevels& fmAlone,
                                 const Bytes& log);

// "channel 1 at 1.31 s for 6.69 s: owner fm, -3.8 dB where -90.0 dB is allowed"
std::string describeFault(const SilenceFault& fault);

// The whole check of the log at `input`, converted with and without its SN76489 part in
// `dir`: a line for each fault, one if PSG voices go without a channel for more than
// STEPS_TOLERATED steps in all while one stands free, or the error that stopped it.
std::vector<std::string> checkSilence(const std::string& input, const ScratchDir& dir);
