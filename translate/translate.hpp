// Folding source-chip writes into the wanted OPM image. Every write ends with a flush.
#pragma once

#include <cstdint>

struct RunState;

// A YM2612 write; channelOffset is 0 for port 0 and 3 for port 1.
void translateYm2612Write(RunState& state, std::uint8_t channelOffset, std::uint8_t reg,
                          std::uint8_t data);
// One byte written to the SN76489.
void translatePsgWrite(RunState& state, std::uint8_t b);

// Key code and fraction of FM channel c from its F-number latches.
void convertFmPitch(RunState& state, int c);
// Key code and fraction of the PSG-voice channel of tone channel p; a period of 0 changes
// nothing.
void convertPsgPitch(RunState& state, int p);
