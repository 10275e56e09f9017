// What a VGM file holds, walked command by command as the converter walks it, what of it the
// conversions to the OPM drop, and its GD3 tag.
#pragma once

#include <array>
#include <optional>

#include "driver/gd3_tag.hpp"
#include "dump/problem.hpp"

// Header fields, all little-endian 32-bit; offsets are relative to the field's own position.
struct VgmHeader {
    std::uint32_t eofOffset = 0;     // 0x04
    std::uint32_t version = 0;       // 0x08, BCD: 0x150 is 1.50
    std::uint32_t psgClock = 0;      // 0x0C
    std::uint32_t ym2413Clock = 0;   // 0x10
    std::uint32_t gd3Offset = 0;     // 0x14
    std::uint32_t totalSamples = 0;  // 0x18
    std::uint32_t loopOffset = 0;    // 0x1C
    std::uint32_t loopSamples = 0;   // 0x20
    std::uint32_t ym2612Clock = 0;   // 0x2C
    std::uint32_t ym2151Clock = 0;   // 0x30
    std::uint32_t dataOffset = 0;    // 0x34
};

// Everything opmcast leaves out, counted by command or register write; opmcast-full plays some
// of it (the DAC, the third tone, the noise, the LFO's depths).
struct VgmDropped {
    std::uint64_t dacData = 0;                // YM2612 register 0x2A
    std::uint64_t dacEnable = 0;              // YM2612 register 0x2B
    std::uint64_t ssgEg = 0;                  // YM2612 0x90-0x9F
    std::uint64_t ssgEgOn = 0;                // of which with the enable bit 3 set
    std::uint64_t channel3Frequency = 0;      // YM2612 port 0, 0xA8-0xAF
    std::uint64_t channel3ModeOn = 0;         // 0x27 writes that select special or CSM mode
    std::uint64_t otherYm2612 = 0;            // timers, test, channels the OPM lacks, ...
    std::uint64_t lfoDepths = 0;              // YM2612 0xB4-0xB6 setting AMS or PMS
    std::uint64_t dataBlockBytes = 0;         // data of the 0x67 blocks
    std::uint64_t otherDataBlocks = 0;        // 0x67 blocks of types other than 0x00 (YM2612)
    std::uint64_t otherDataBlockBytes = 0;    // and their data
    std::array<std::uint64_t, 4> psgBytes{};  // SN76489 bytes by channel (3 = noise)
    std::array<bool, 4> psgAudible{};         // an attenuation below 15 was written
    std::uint64_t psgPeriodicNoise = 0;       // noise control bytes selecting periodic noise
};

enum class VgmCommandKind : std::uint8_t {
    ym2612Port0,
    ym2612Port1,
    psgWrite,
    psgStereo,
    wait,
    ntscFrameWait,
    palFrameWait,
    shortWait,
    dacSampleWait,
    endOfData,
    dataBlock,
    pcmRamWrite,
    pcmSeek,
    dacStream,
    otherChip,
    unknown,
};
inline constexpr int VGM_COMMAND_KINDS = int(VgmCommandKind::unknown) + 1;

struct VgmCommandKindNames {
    const char* id;
    const char* label;
};

VgmCommandKind vgmCommandKind(std::uint8_t command);
const VgmCommandKindNames& vgmCommandKindNames(VgmCommandKind kind);

struct VgmSummary {
    std::uint64_t fileLength = 0;
    VgmHeader header;
    std::uint64_t dataStart = 0;  // where the converter starts reading commands
    std::uint64_t loopPoint = 0;  // 0 when the file does not loop
    // The first command at or after the loop point: where the loop marker goes. Absent when
    // the data ends first, and then the conversion does not loop.
    std::optional<std::uint64_t> loopCommand;
    std::optional<std::uint64_t> endOfData;     // offset of the 0x66 command
    std::uint64_t samples = 0;                  // waited by the commands
    std::uint64_t samplesBeforeLoop = 0;        // waited by the commands before the loop command
    std::array<std::uint64_t, 256> commands{};  // by command byte
    std::array<std::uint64_t, 256> firstCommandAt{};  // offset of the first of each
    VgmDropped dropped;
    // The tag the GD3 offset field points to; absent when the field is 0 or points to no tag.
    std::optional<Gd3Tag> tag;
};

// Reads the header and walks the commands from the data start to the end-of-data command or
// the end of the file. A file that is not a VGM file, a data start beyond its end and a
// command cut short by its end are problems.
std::optional<Problem> summarizeVgm(const Bytes& file, VgmSummary& summary);

std::string vgmSummaryText(const VgmSummary& summary);
std::string vgmSummaryJson(const VgmSummary& summary);
