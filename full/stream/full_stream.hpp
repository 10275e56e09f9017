// The register stream of opmcast-full: the OPM register image the song should reach, written
// as byte pairs when registers change, with waits between the ticks.
//
//   r v    r = 01-FF   write v into OPM register r
//   00 n   n = 00-EF   wait n + 1 ticks (one tick = 787/44100 s)
//   00 FE              loop position
//   00 FF              end
#pragma once

#include <cstdint>
#include <vector>

inline constexpr std::uint8_t FULL_LONGEST_WAIT = 0xEF;  // 240 ticks
inline constexpr std::uint8_t FULL_LOOP_MARKER = 0xFE;
inline constexpr std::uint8_t FULL_END_MARKER = 0xFF;

struct FullStream {
    std::vector<std::uint8_t> pairs;
    std::int64_t ticksWritten = 0;  // ticks the waits so far add up to
    std::uint8_t wanted[256] = {};  // by OPM register
    std::uint8_t sent[256] = {};
    bool everSent[256] = {};
    std::uint8_t dirty[256] = {};  // registers whose wanted value may differ from sent
    bool isDirty[256] = {};
    int dirtyCount = 0;
};

// What register reg should hold from now on.
void setRegister(FullStream& stream, std::uint8_t reg, std::uint8_t value);
// Writes the wait up to tick, then every register whose wanted value differs from what was
// last written, in the order they were changed.
void flushRegisters(FullStream& stream, std::int64_t tick);
// A write that must reach the chip as it stands, in its place (key on/off, the LFO depths,
// the LFO reset), after the changes before it.
void writeRegisterNow(FullStream& stream, std::int64_t tick, std::uint8_t reg, std::uint8_t value);
void writeLoopMarker(FullStream& stream, std::int64_t tick);
// The changes, the wait up to endTick, and the end marker.
void finishFullStream(FullStream& stream, std::int64_t endTick);
