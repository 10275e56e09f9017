// The register pairs of one OPM channel, in the order the stream always uses: connect, key
// code, key fraction, modulation sensitivity, then per operator its six parameter rows.
#pragma once

struct RunState;

enum class ChannelPairs { changedOnly, every };

struct OpmImage;

// Bit c is set when any register of channel c differs between the two images.
unsigned changedChannels(const OpmImage& a, const OpmImage& b);

// Writes the channel's wanted values (all of them, or those that differ from the sent ones)
// and records each written value as sent.
void sendChannel(RunState& state, int channel, ChannelPairs which);
