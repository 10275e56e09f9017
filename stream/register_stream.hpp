// The RegisterStream: byte pairs (register, value) for the OPM, where first byte 0 is a
// command: 00 n waits n + 1 ticks (n <= 0xFD), 00 FE marks the loop point, 00 FF ends.
#pragma once

#include <cstdint>

#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"

inline constexpr std::uint8_t STREAM_COMMAND = 0x00;
inline constexpr std::uint8_t LONGEST_WAIT = 0xFD;  // 254 ticks
inline constexpr std::uint8_t LOOP_MARKER = 0xFE;
inline constexpr std::uint8_t END_MARKER = 0xFF;
inline constexpr std::uint8_t KEY_ON_REGISTER = 0x08;
inline constexpr std::uint8_t NOISE_REGISTER = 0x0F;
inline constexpr std::uint8_t LFO_FREQ_REGISTER = 0x18;
inline constexpr std::uint8_t CONNECT_REGISTER = 0x20;
inline constexpr std::uint8_t KEY_CODE_REGISTER = 0x28;
inline constexpr std::uint8_t KEY_FRACTION_REGISTER = 0x30;
inline constexpr std::uint8_t MOD_SENS_REGISTER = 0x38;

inline void writePair(RunState& state, std::uint8_t first, std::uint8_t second) {
    fileWritePair(state.outputChannel, first, second);
}

// Writes the pending wait and every register whose wanted value differs from the sent one,
// in channel order; writes nothing unless something differs or forceFlush is set. Only the
// registers marked as changed (markChanged) are looked at: after a flush wanted and sent
// agree everywhere else.
void flushChanges(RunState& state);

// Sets forceFlush, flushes, then writes a pair that is not part of the register image, so
// that it follows every tick and change counted so far.
void writePairAfterFlush(RunState& state, std::uint8_t first, std::uint8_t second);

// The fixed opening of every stream: a one-tick wait, noise off, the LFO rate, the full
// voices of the PSG-voice channels and their key-on.
void writeStreamPrologue(RunState& state);
void writePsgVoices(RunState& state);
