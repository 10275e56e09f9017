// The commands of a VGM log, read one at a time from a file channel: both passes of
// opmcast-full walk the log through this reader.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "channels/file_channels.hpp"
#include "driver/vgm_commands.hpp"

enum class VgmEvent : std::uint8_t {
    ym2612,      // port, reg, data
    sn76489,     // data
    wait,        // samples
    dacSample,   // 0x80-0x8F: a byte from the data bank to the DAC, then samples
    otherChip,   // a write to a chip other than the YM2612 and SN76489, passed over
    dataBlock,   // 0x67: a YM2612 block's bytes are added to the reader's dacBank
    dacSeek,     // 0xE0: value, where 0x80-0x8F read the data bank next
    dacStream,   // 0x90-0x95, DAC stream control: code and operands
    passedOver,  // a command for nothing this program plays (the Game Gear stereo mask)
    unknown,     // a byte the VGM format does not define, passed over as one byte
    endOfData,   // 0x66, or the end of the file
};

struct VgmCommand {
    VgmEvent event = VgmEvent::endOfData;
    std::uint8_t code = 0;                    // the command byte
    std::uint8_t port = 0;                    // ym2612: 0 or 1
    std::uint8_t reg = 0;                     // ym2612: register
    std::uint8_t data = 0;                    // ym2612, sn76489: the byte written
    std::int32_t samples = 0;                 // wait, dacSample: samples of 1/44100 s
    std::uint32_t value = 0;                  // dacSeek: offset; dataBlock: the block's type
    std::array<std::uint8_t, 10> operands{};  // dacStream
    bool atLoopPoint = false;                 // the first command at or after the loop point
};

struct VgmReader {
    int channel = 0;
    std::int64_t position = 0;   // offset of the next byte
    std::int64_t dataStart = 0;  // offset of the first command
    std::int64_t loopStart = 0;  // offset of the loop point's command; 0 without a loop
    bool ended = false;
    bool endMarker = false;           // ended at 0x66, not at the end of the file
    std::uint32_t headerSamples = 0;  // the song's length as the header gives it, 0 if not
    bool loopPassed = false;          // the command at the loop point has been returned
    // Where the bytes of the data blocks of type 0x00 (the YM2612's samples) go, and where each
    // block starts in them; nullptr: passed over.
    std::vector<std::uint8_t>* dacBank = nullptr;
    std::vector<std::uint32_t>* dacBlockStarts = nullptr;
};

// Reads the header of the log open on the channel; false when it does not begin with "Vgm ".
// Leaves the reader at the first command.
bool startVgmReader(VgmReader& reader, int channel);
// Back to the first command, for another pass.
void rewindVgmReader(VgmReader& reader);
// The next command; endOfData at 0x66 or the end of the file, and from then on. A run of waits
// (DAC samples among them, which wait too) comes as one, but never across the loop point, and
// not while dacBank is set.
VgmCommand nextVgmCommand(VgmReader& reader);

// The commands that lie whole in the channel's buffer before the loop point, for a pass that
// takes the chip writes and waits straight from it: every command that starts below limit
// (its operands, at most two bytes, are there too).
struct VgmWindow {
    const std::uint8_t* bytes;
    int limit;
};
VgmWindow vgmWindow(const VgmReader& reader);
// Moves past count bytes of the window.
void consumeVgmWindow(VgmReader& reader, int count);

// Samples of each one-byte wait command (0x62, 0x63, 0x70-0x8F; 0x8n plays a DAC sample
// first); -1 for every other byte.
inline constexpr std::array<std::int16_t, 256> ONE_BYTE_WAIT = [] {
    std::array<std::int16_t, 256> samples{};
    for (int c = 0; c < 256; ++c)
        samples[std::size_t(c)] = c == VGM_WAIT_NTSC_FRAME  ? NTSC_FRAME_SAMPLES
                                  : c == VGM_WAIT_PAL_FRAME ? PAL_FRAME_SAMPLES
                                  : c >= 0x70 && c <= 0x7F  ? (c & 0x0F) + 1
                                  : c >= 0x80 && c <= 0x8F  ? c & 0x0F
                                                            : -1;
    return samples;
}();

// Adds the waits from bytes[at] on to samples, up to the first other command or limit; dac is
// set when a DAC sample is among them. Returns where it stopped. The waits come from one
// window of the channel's buffer, a few thousand at most: the sum stays far below 2^31.
static_assert(std::int64_t(FILE_BUFFER_SIZE) * 0xFFFF < std::int64_t(1) << 30);
inline int addWaits(const std::uint8_t* bytes, int at, std::int64_t limit, std::int32_t& samples,
                    bool& dac) {
    std::int32_t sum = samples;  // kept apart from the bytes read, which could alias them
    std::uint8_t codes = 0;      // the one-byte waits' codes ORed: bit 7 for a DAC sample
    while (at < limit) {
        const std::uint8_t code = bytes[at];
        if (const int one = ONE_BYTE_WAIT[code]; one >= 0) {
            sum += one;
            codes |= code;
            ++at;
        } else if (code == VGM_WAIT) {
            sum += bytes[at + 1] | bytes[at + 2] << 8;
            at += 3;
        } else {
            break;
        }
    }
    samples = sum;
    dac |= (codes & 0x80) != 0;
    return at;
}
