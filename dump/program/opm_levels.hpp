// How loud each YM2151 (OPM) channel of a program of opmcast-full sounds, step by step: the
// envelope generator of every operator run at the X68000's 4 MHz from the stream's writes,
// and each channel's level as that of its loudest carrier.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "dump/program/executable_stream.hpp"

// Envelope at its end (attenuation 1023) or TL 127 and beyond: nothing is heard.
inline constexpr float OPM_SILENT_DB = -96.0f;

struct OpmLevels {
    // By channel, the loudest moment of each step in dB of full scale: envelope attenuation
    // plus TL of the loudest carrier; OPM_SILENT_DB when the channel is off on both sides.
    std::array<std::vector<float>, 8> channel;
    // Channel 7's operator C2 while the noise generator replaces its sine (register 0x0F bit
    // 7), whose amplitude is linear in the attenuation; channel[7] leaves that operator out.
    std::vector<float> noise;
    // Steps from the start to the end marker. A program that loops goes on from its loop
    // marker at loopStep, played once more; -1 without a loop.
    std::size_t endStep = 0;
    std::int64_t loopStep = -1;
};

// The levels of every step from the start of the stream to its end marker, and of its loop
// once more; the ADPCM and the LFO's amplitude modulation are left out.
OpmLevels opmLevels(const ExecutableStream& stream);

// The spans of steps [first, last] in which `levels` stays above `floorDb`.
struct LoudSpan {
    std::size_t first;
    std::size_t last;
    float loudestDb;
};
std::vector<LoudSpan> loudSpans(const std::vector<float>& levels, float floorDb);

// For opmdump --levels: a line for each span in which a channel, or channel 7's noise, sounds
// above -48 dB, with its times in seconds and its loudest level.
std::string levelSpansText(const OpmLevels& levels);
