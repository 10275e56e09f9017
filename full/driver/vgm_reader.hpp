// The commands of a VGM log, read one at a time from a file channel: both passes of
// opmcast-full walk the log through this reader.
#pragma once

#include <cstdint>

enum class VgmEvent : std::uint8_t {
    ym2612,      // port, reg, data
    sn76489,     // data
    wait,        // samples
    dacSample,   // 0x80-0x8F: a byte from the data bank to the DAC, then samples
    otherChip,   // a write to a chip other than the YM2612 and SN76489, passed over
    dacData,     // data blocks, data seeks and DAC streams: samples for the YM2612's DAC
    passedOver,  // a command for nothing this program plays (the Game Gear stereo mask)
    unknown,     // a byte the VGM format does not define, passed over as one byte
    endOfData,   // 0x66, or the end of the file
};

struct VgmCommand {
    VgmEvent event = VgmEvent::endOfData;
    std::uint8_t code = 0;     // the command byte
    std::uint8_t port = 0;     // ym2612: 0 or 1
    std::uint8_t reg = 0;      // ym2612: register
    std::uint8_t data = 0;     // ym2612, sn76489: the byte written
    std::int32_t samples = 0;  // wait, dacSample: samples of 1/44100 s
    bool atLoopPoint = false;  // the first command at or after the loop point
};

struct VgmReader {
    int channel = 0;
    std::int64_t position = 0;   // offset of the next byte
    std::int64_t dataStart = 0;  // offset of the first command
    std::int64_t loopStart = 0;  // offset of the loop point's command; 0 without a loop
    bool ended = false;
    bool loopPassed = false;  // the command at the loop point has been returned
};

// Reads the header of the log open on the channel; false when it does not begin with "Vgm ".
// Leaves the reader at the first command.
bool startVgmReader(VgmReader& reader, int channel);
// Back to the first command, for another pass.
void rewindVgmReader(VgmReader& reader);
// The next command; endOfData at 0x66 or the end of the file, and from then on. A run of waits
// (DAC samples among them, which wait too) comes as one, but never across the loop point.
VgmCommand nextVgmCommand(VgmReader& reader);
