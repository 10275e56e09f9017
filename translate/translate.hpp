// Folding source-chip writes into the wanted OPM image. Every routine ends with a flush.
#pragma once

#include <cstdint>

struct RunState;

// A YM2612 write; channelOffset is 0 for port 0 and 3 for port 1.
void translateYm2612Write(RunState& state, std::uint8_t channelOffset, std::uint8_t reg,
                          std::uint8_t data);
// One byte written to the SN76489.
void translatePsgWrite(RunState& state, std::uint8_t b);
