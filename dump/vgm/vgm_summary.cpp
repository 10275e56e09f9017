#include "dump/vgm/vgm_summary.hpp"

#include "driver/vgm_commands.hpp"
#include "dump/text_format.hpp"
#include "dump/vgm/vgm_chips.hpp"
#include "translate/opm_image.hpp"

namespace {

constexpr std::uint64_t GD3_OFFSET_FIELD = 0x14;
constexpr std::uint64_t LOOP_OFFSET_FIELD = 0x1C;
constexpr std::uint64_t DATA_OFFSET_FIELD = 0x34;
constexpr std::uint64_t HEADER_END = 0x38;     // the last field the converter reads ends here
constexpr std::uint32_t OLD_DATA_OFFSET = 12;  // before version 1.50 the data starts at 0x40

const VgmCommandKindNames KIND_NAMES[VGM_COMMAND_KINDS] = {
    {"ym2612Port0", "YM2612 port 0 writes (52)"},
    {"ym2612Port1", "YM2612 port 1 writes (53)"},
    {"psgWrite", "SN76489 writes (50)"},
    {"psgStereo", "Game Gear stereo (4F)"},
    {"wait", "waits of n samples (61)"},
    {"ntscFrameWait", "waits of 735 samples (62)"},
    {"palFrameWait", "waits of 882 samples (63)"},
    {"shortWait", "waits of 1-16 samples (70-7F)"},
    {"dacSampleWait", "DAC sample and wait (80-8F)"},
    {"endOfData", "end of data (66)"},
    {"dataBlock", "data blocks (67)"},
    {"pcmRamWrite", "PCM RAM writes (68)"},
    {"pcmSeek", "PCM data seeks (E0)"},
    {"dacStream", "DAC stream control (90-95)"},
    {"otherChip", "other chips"},
    {"unknown", "unknown command bytes"},
};

std::uint32_t littleLong(const Bytes& file, std::uint64_t at) {
    std::uint32_t value = 0;
    for (std::uint64_t i = 4; i-- > 0;)
        value = value << 8 | (at + i < file.size() ? file[at + i] : 0u);
    return value;
}

VgmHeader readHeader(const Bytes& file) {
    VgmHeader h;
    h.eofOffset = littleLong(file, 0x04);
    h.version = littleLong(file, 0x08);
    h.psgClock = littleLong(file, 0x0C);
    h.ym2413Clock = littleLong(file, 0x10);
    h.gd3Offset = littleLong(file, GD3_OFFSET_FIELD);
    h.totalSamples = littleLong(file, 0x18);
    h.loopOffset = littleLong(file, LOOP_OFFSET_FIELD);
    h.loopSamples = littleLong(file, 0x20);
    h.ym2612Clock = littleLong(file, 0x2C);
    h.ym2151Clock = littleLong(file, 0x30);
    h.dataOffset = littleLong(file, DATA_OFFSET_FIELD);
    return h;
}

// The converter's reading of the two offsets: both are signed, a data offset of 0 means the
// old fixed start 0x40, and one below 4 leaves the data right after the field.
std::uint64_t dataStartOf(const VgmHeader& h) {
    const auto offset = std::int32_t(h.dataOffset ? h.dataOffset : OLD_DATA_OFFSET);
    return offset >= 4 ? DATA_OFFSET_FIELD + std::uint64_t(offset) : HEADER_END;
}

std::uint64_t loopPointOf(const VgmHeader& h) {
    const auto offset = std::int32_t(h.loopOffset);
    return offset > 0 ? LOOP_OFFSET_FIELD + std::uint64_t(offset) : 0;
}

// The YM2612 writes the conversion carries: the LFO, key on/off of channels 0-5 and the
// channel and operator registers of channels 0-5, where port 0 registers with low bits 3 count
// as channel 3 and port 1 ones as channel 6.
bool ym2612Carried(int port, std::uint8_t reg, std::uint8_t data) {
    if (reg == 0x22) return true;
    if (reg == 0x28) return ((data & 0x04) ? 3 : 0) + (data & 0x03) < FM_CHANNELS;
    const int group = reg & 0xFC;
    const bool channelRegister = (reg >= 0x30 && reg < 0x90) || group == 0xA0 || group == 0xA4 ||
                                 group == 0xB0 || group == 0xB4;
    return channelRegister && (reg & 0x03) + 3 * port < FM_CHANNELS;
}

// opmcast carries the pan of 0xB4-0xB6 but not the LFO's depths: AMS (bits 5-4) and PMS
// (bits 2-0).
void countYm2612Write(VgmDropped& d, int port, std::uint8_t reg, std::uint8_t data) {
    if ((reg & 0xFC) == 0xB4 && (reg & 0x03) != 0x03 && (data & 0x37)) ++d.lfoDepths;
    if (ym2612Carried(port, reg, data)) return;
    if (port == 0 && reg == 0x2A) {
        ++d.dacData;
    } else if (port == 0 && reg == 0x2B) {
        ++d.dacEnable;
    } else if (reg >= 0x90 && reg <= 0x9F) {
        ++d.ssgEg;
        if (data & 0x08) ++d.ssgEgOn;
    } else if (port == 0 && reg >= 0xA8 && reg <= 0xAF) {
        ++d.channel3Frequency;
    } else {
        ++d.otherYm2612;
        if (port == 0 && reg == 0x27 && (data & 0xC0)) ++d.channel3ModeOn;
    }
}

// The SN76489 sends each byte to the channel of the last latch byte (bit 7 set); a latched
// attenuation takes bits 3-0 of latch and data bytes alike, 15 being silence, and so does the
// noise control, whose bit 2 clear selects periodic noise.
void countPsgByte(VgmDropped& d, std::uint8_t& latch, std::uint8_t b) {
    if (b & 0x80) latch = b;
    const std::size_t channel = (latch >> 5) & 0x03;
    ++d.psgBytes[channel];
    if ((latch & 0x10) && (b & 0x0F) != 0x0F) d.psgAudible[channel] = true;
    if (channel == 3 && !(latch & 0x10) && !(b & 0x04)) ++d.psgPeriodicNoise;
}

std::uint64_t samplesOf(std::uint8_t command, const Bytes& file, std::uint64_t operands) {
    if (command >= 0x70 && command <= 0x7F) return (command & 0x0F) + 1u;
    if (command >= 0x80 && command <= 0x8F) return command & 0x0F;
    switch (command) {
        case VGM_WAIT:
            return file[operands] | file[operands + 1] << 8;
        case VGM_WAIT_NTSC_FRAME:
            return NTSC_FRAME_SAMPLES;
        case VGM_WAIT_PAL_FRAME:
            return PAL_FRAME_SAMPLES;
        default:
            return 0;
    }
}

std::string hexCommand(std::uint8_t command) {
    return format("0x%02X", unsigned(command));
}

std::optional<Problem> walkCommands(const Bytes& file, VgmSummary& s) {
    std::uint8_t psgLatch = 0;
    std::uint64_t at = s.dataStart;
    while (at < file.size()) {
        if (s.loopPoint > 0 && !s.loopCommand && at >= s.loopPoint) {
            s.loopCommand = at;
            s.samplesBeforeLoop = s.samples;
        }
        const std::uint8_t command = file[at];
        if (s.commands[command]++ == 0) s.firstCommandAt[command] = at;
        if (command == VGM_END_OF_DATA) {
            s.endOfData = at;
            return std::nullopt;
        }
        const std::uint64_t operands = at + 1;
        std::uint64_t next = operands + std::uint64_t(vgmOperandLength(command));
        if (next > file.size())
            return Problem{
                "command " + hexCommand(command) + " is cut short by the end of the file", at};
        if (command == VGM_DATA_BLOCK) {
            // 0x66 marker, type, then the size; the converter skips nothing for a size below 1.
            const auto size = std::int32_t(littleLong(file, operands + 2));
            if (size > 0) {
                if (std::uint64_t(size) > file.size() - next)
                    return Problem{"data block of " + std::to_string(size) + " bytes runs past " +
                                       "the end of the file (" +
                                       std::to_string(file.size() - next) + " bytes remain)",
                                   at};
                next += std::uint64_t(size);
                s.dropped.dataBlockBytes += std::uint64_t(size);
                if (file[operands + 1] != 0x00) {
                    ++s.dropped.otherDataBlocks;
                    s.dropped.otherDataBlockBytes += std::uint64_t(size);
                }
            }
        } else if (command == VGM_YM2612_PORT0 || command == VGM_YM2612_PORT1) {
            countYm2612Write(s.dropped, command - VGM_YM2612_PORT0, file[operands],
                             file[operands + 1]);
        } else if (command == VGM_PSG_WRITE) {
            countPsgByte(s.dropped, psgLatch, file[operands]);
        }
        s.samples += samplesOf(command, file, operands);
        at = next;
    }
    return std::nullopt;
}

}  // namespace

VgmCommandKind vgmCommandKind(std::uint8_t c) {
    if (c >= 0x70 && c <= 0x7F) return VgmCommandKind::shortWait;
    if (c >= 0x80 && c <= 0x8F) return VgmCommandKind::dacSampleWait;
    if (c >= 0x90 && c <= 0x95) return VgmCommandKind::dacStream;
    if (vgmChipName(c)) return VgmCommandKind::otherChip;
    switch (c) {
        case VGM_YM2612_PORT0:
            return VgmCommandKind::ym2612Port0;
        case VGM_YM2612_PORT1:
            return VgmCommandKind::ym2612Port1;
        case VGM_PSG_WRITE:
            return VgmCommandKind::psgWrite;
        case 0x4F:
            return VgmCommandKind::psgStereo;
        case VGM_WAIT:
            return VgmCommandKind::wait;
        case VGM_WAIT_NTSC_FRAME:
            return VgmCommandKind::ntscFrameWait;
        case VGM_WAIT_PAL_FRAME:
            return VgmCommandKind::palFrameWait;
        case VGM_END_OF_DATA:
            return VgmCommandKind::endOfData;
        case VGM_DATA_BLOCK:
            return VgmCommandKind::dataBlock;
        case 0x68:
            return VgmCommandKind::pcmRamWrite;
        case 0xE0:
            return VgmCommandKind::pcmSeek;
        default:
            return VgmCommandKind::unknown;
    }
}

const VgmCommandKindNames& vgmCommandKindNames(VgmCommandKind kind) {
    return KIND_NAMES[int(kind)];
}

std::optional<Problem> summarizeVgm(const Bytes& file, VgmSummary& summary) {
    summary = VgmSummary{};
    if (file.size() < 4 || file[0] != 'V' || file[1] != 'g' || file[2] != 'm' || file[3] != ' ')
        return Problem{"not a VGM file: it does not start with \"Vgm \"", 0};
    if (file.size() < HEADER_END)
        return Problem{
            "VGM header cut short: the file ends after " + std::to_string(file.size()) + " bytes",
            file.size()};
    summary.fileLength = file.size();
    summary.header = readHeader(file);
    summary.dataStart = dataStartOf(summary.header);
    summary.loopPoint = loopPointOf(summary.header);
    if (summary.dataStart > file.size())
        return Problem{"the data offset points to " + hexOffset(summary.dataStart) +
                           ", beyond the end of the file",
                       DATA_OFFSET_FIELD};
    if (const std::uint64_t tagAt = GD3_OFFSET_FIELD + summary.header.gd3Offset;
        summary.header.gd3Offset != 0 && tagAt < file.size()) {
        Gd3Tag tag;
        if (parseGd3Tag(std::span(file).subspan(tagAt), tag)) summary.tag = tag;
    }
    return walkCommands(file, summary);
}
