// The register pairs of a whole channel, in the order the stream always uses (see
// FIELD_PLACES).
#pragma once

struct RunState;

// Writes every register of the channel and records the values as sent.
void sendChannel(RunState& state, int channel);
