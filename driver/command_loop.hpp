#pragma once

struct RunState;

// Reads the VGM header fields after the identification, sets loopPoint and leaves the input
// at the first command.
void readVgmHeader(RunState& state);

// Walks the VGM commands up to the end-of-data command or the end of the file.
void runCommandLoop(RunState& state);

// Whether the command data, walked once more from the start of the file as runCommandLoop
// walks it, holds a YM2612 or SN76489 write. Asked only of a log with commands for other
// chips, so that the command loop itself spends nothing on it.
bool commandDataWritesSourceChips(RunState& state);
