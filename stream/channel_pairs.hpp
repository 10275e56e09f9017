// The register pairs of one OPM channel, in the order the stream always uses: connect, key
// code, key fraction, modulation sensitivity, then per operator its six parameter rows.
#pragma once

struct RunState;

enum class ChannelPairs { changedOnly, every };

struct OpmImage;

// Where two images differ: bit c of channels when any register of channel c does, and bit o
// of operators[c] when any parameter of its operator o does.
struct ImageDifferences {
    unsigned channels = 0;
    unsigned char operators[8] = {};
};
ImageDifferences findDifferences(const OpmImage& a, const OpmImage& b);

// Writes the channel's wanted values (all of them, or those that differ from the sent ones)
// and records each written value as sent. Operators whose bit (1 << operator) is clear in
// operators are passed over.
void sendChannel(RunState& state, int channel, ChannelPairs which, unsigned operators = 0x0F);
