#pragma once

struct RunState;

// Reads the VGM header fields after the identification, sets loopPoint and leaves the input
// at the first command.
void readVgmHeader(RunState& state);

// Walks the VGM commands up to the end-of-data command or the end of the file.
void runCommandLoop(RunState& state);
