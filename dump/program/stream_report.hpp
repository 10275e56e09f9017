// What opmdump prints about an executable: the header facts and the RegisterStream as a
// timeline, or only a summary; each as text for people or as JSON lines for scripts. A full
// program's text begins with a "player" line, and its JSON says "player":"full"; a classic
// program's text has no such line, its JSON says "player":"classic". Times are counted in the
// player's steps, named "tick" for the classic player and "step" (a fifth of a tick) for the
// full player, and given in seconds beside them.
#pragma once

#include <array>

#include "dump/json_line.hpp"
#include "dump/program/executable_stream.hpp"
#include "dump/program/opm_registers.hpp"

// The counts of pairs, groups and keys cover the stream as written, the fade included; the time
// and the loop cover one pass of what the player plays, the fade apart.
struct StreamStats {
    std::uint64_t pairs = 0;
    std::array<std::uint64_t, PAIR_GROUPS> byGroup{};
    std::array<std::uint64_t, 8> keyOns{};   // key on/off pairs with an operator on
    std::array<std::uint64_t, 8> keyOffs{};  // and with all four off
    std::uint64_t steps = 0;     // sum of the waits up to where the player stops: the playing time
    bool loops = false;          // the player reaches the loop marker and goes on there at the end
    std::uint64_t loopStep = 0;  // sum of the waits before the loop marker
    // A full program's first 00 F8-00 FD before its end marker, where the player ends the
    // song: the waits after it, the loop and the fade are never played.
    bool stopsAtReserved = false;
    std::uint64_t reservedOffset = 0;
    std::uint8_t reservedCommand = 0;
    // A full program's fade, played once after its last pass: its waits and its bytes.
    std::uint64_t fadeSteps = 0;
    std::uint64_t fadeBytes = 0;
    // A full program's ADPCM starts, as written, and those that play nothing (no bank, a
    // number beyond its table, a sample left out).
    std::uint64_t drumStarts = 0;
    std::uint64_t silentStarts = 0;
    // Its side changes (00 F4-00 F7), as written.
    std::uint64_t sideChanges = 0;
};

StreamStats streamStats(const ExecutableStream& stream);
// The steps the player plays the song for: with passes, up to the loop, the passes through the
// looped part and the fade; else once through (a song that loops until a key counted once).
std::uint64_t playedSteps(const ExecutableStream& stream, const StreamStats& stats);

// The display block's text as a terminal shows it: Shift-JIS converted to UTF-8, lines ended
// by LF alone, other control bytes as {0xNN}, and in the time line {time} and {pass} where
// the player fills in.
std::string displayText(const std::string& bytes);

// The sample number of the ADPCM start at pairs[index] (the pair after it, big-endian).
std::uint16_t sampleNumberAfter(const ExecutableStream& stream, std::size_t index);

std::string dumpText(const ExecutableStream& stream);
std::string dumpJson(const ExecutableStream& stream);
std::string summaryText(const ExecutableStream& stream);
std::string summaryJson(const ExecutableStream& stream);
// The timeline of dumpText without the header facts: the column heading and a line a pair.
std::string timelineText(const ExecutableStream& stream);
// The pair lines of dumpJson, each with "track" when `track` is not 0.
std::string pairsJson(const ExecutableStream& stream, std::uint64_t track);
// The fields of summaryJson after its "type".
void summaryFields(JsonLine& line, const ExecutableStream& stream);
