#include "full/driver/vgm_reader.hpp"

#include "channels/file_channels.hpp"
#include "driver/vgm_commands.hpp"

namespace {

constexpr std::int64_t HEADER_LOOP_OFFSET = 0x1C;  // relative to itself
constexpr std::int64_t HEADER_DATA_OFFSET = 0x34;  // relative to itself
constexpr std::int64_t HEADER_SAMPLES = 0x18;
constexpr std::int64_t HEADER_LOOP_SAMPLES = 0x20;
constexpr std::int64_t OLD_DATA_START = 0x40;  // versions before 1.50 have no data offset

std::uint32_t readLong(VgmReader& reader) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= std::uint32_t(fileReadByte(reader.channel)) << (8 * i);
    reader.position += 4;
    return value;
}

std::uint8_t readByte(VgmReader& reader) {
    ++reader.position;
    return fileReadByte(reader.channel);
}

void skip(VgmReader& reader, std::int64_t count) {
    if (count <= 0) return;
    fileSkip(reader.channel, count);
    reader.position += count;
}

// Moves the channel to an offset at or after the current one, or back to the start and on.
void seek(VgmReader& reader, std::int64_t offset) {
    if (offset < reader.position) {
        std::uint8_t first;
        fileRead(reader.channel, 1, &first, 1);
        reader.position = 1;
    }
    skip(reader, offset - reader.position);
}

bool loopPointAhead(const VgmReader& reader) {
    return !reader.loopPassed && reader.loopStart > 0;
}

// Adds the waits that follow in the channel's buffer to the wait just read, up to the loop
// point: a log with DAC samples is mostly one-byte waits.
void absorbWaits(VgmReader& reader, VgmCommand& command) {
    constexpr std::int32_t MOST_SAMPLES = 1 << 30;
    while (command.samples < MOST_SAMPLES) {
        if (loopPointAhead(reader) && reader.position >= reader.loopStart) return;
        const FileReadWindow window = fileReadWindow(reader.channel);
        if (window.count < 3) return;
        const std::uint8_t code = window.bytes[0];
        int length = 1;
        if (code >= 0x70 && code <= 0x7F) {
            command.samples += (code & 0x0F) + 1;
        } else if (code >= 0x80 && code <= 0x8F) {
            command.samples += code & 0x0F;
            command.event = VgmEvent::dacSample;
        } else if (code == VGM_WAIT_NTSC_FRAME) {
            command.samples += NTSC_FRAME_SAMPLES;
        } else if (code == VGM_WAIT_PAL_FRAME) {
            command.samples += PAL_FRAME_SAMPLES;
        } else if (code == VGM_WAIT) {
            command.samples += window.bytes[1] | window.bytes[2] << 8;
            length = 3;
        } else {
            return;
        }
        fileConsume(reader.channel, length);
        reader.position += length;
    }
}

}  // namespace

bool startVgmReader(VgmReader& reader, int channel) {
    reader = VgmReader{};
    reader.channel = channel;
    std::uint8_t header[0x38] = {};
    fileRead(channel, 1, header, sizeof header);  // from the start of the file
    reader.position = sizeof header;
    auto field = [&](std::int64_t at) {
        return std::uint32_t(header[at] | header[at + 1] << 8 | header[at + 2] << 16 |
                             std::uint32_t(header[at + 3]) << 24);
    };
    if (header[0] != 'V' || header[1] != 'g' || header[2] != 'm' || header[3] != ' ') return false;
    reader.headerSamples = field(HEADER_SAMPLES);
    reader.headerLoopSamples = field(HEADER_LOOP_SAMPLES);
    const std::uint32_t dataOffset = field(HEADER_DATA_OFFSET);
    reader.dataStart = dataOffset == 0 ? OLD_DATA_START : HEADER_DATA_OFFSET + dataOffset;
    if (reader.dataStart < std::int64_t(sizeof header)) reader.dataStart = sizeof header;
    const std::uint32_t loopOffset = field(HEADER_LOOP_OFFSET);
    if (loopOffset != 0) reader.loopStart = HEADER_LOOP_OFFSET + loopOffset;
    skip(reader, reader.dataStart - reader.position);
    return true;
}

void rewindVgmReader(VgmReader& reader) {
    seek(reader, reader.dataStart);
    reader.ended = false;
    reader.loopPassed = false;
}

VgmCommand nextVgmCommand(VgmReader& reader) {
    VgmCommand command;
    if (reader.ended || fileAtEnd(reader.channel)) {
        reader.ended = true;
        return command;
    }
    if (loopPointAhead(reader) && reader.position >= reader.loopStart) {
        reader.loopPassed = true;
        command.atLoopPoint = true;
    }
    const std::uint8_t code = readByte(reader);
    command.code = code;
    switch (code) {
        case VGM_YM2612_PORT0:
        case VGM_YM2612_PORT1:
            command.event = VgmEvent::ym2612;
            command.port = code == VGM_YM2612_PORT0 ? 0 : 1;
            command.reg = readByte(reader);
            command.data = readByte(reader);
            return command;
        case VGM_PSG_WRITE:
            command.event = VgmEvent::sn76489;
            command.data = readByte(reader);
            return command;
        case VGM_WAIT:
            command.event = VgmEvent::wait;
            command.samples = readByte(reader);
            command.samples |= readByte(reader) << 8;
            absorbWaits(reader, command);
            return command;
        case VGM_WAIT_NTSC_FRAME:
            command.event = VgmEvent::wait;
            command.samples = NTSC_FRAME_SAMPLES;
            absorbWaits(reader, command);
            return command;
        case VGM_WAIT_PAL_FRAME:
            command.event = VgmEvent::wait;
            command.samples = PAL_FRAME_SAMPLES;
            absorbWaits(reader, command);
            return command;
        case VGM_END_OF_DATA:
            reader.ended = true;
            return command;
        case VGM_DATA_BLOCK: {
            command.event = VgmEvent::dacData;
            skip(reader, 2);
            const auto size = std::int32_t(readLong(reader));
            skip(reader, size);
            return command;
        }
        default:
            break;
    }
    if (code >= 0x70 && code <= 0x7F) {
        command.event = VgmEvent::wait;
        command.samples = (code & 0x0F) + 1;
        absorbWaits(reader, command);
    } else if (code >= 0x80 && code <= 0x8F) {
        command.event = VgmEvent::dacSample;
        command.samples = code & 0x0F;
        absorbWaits(reader, command);
    } else {
        const bool dac = (code >= 0x90 && code <= 0x95) || code == 0xE0;
        if (isOtherChipCommand(code))
            command.event = VgmEvent::otherChip;
        else if (dac)
            command.event = VgmEvent::dacData;
        else if (vgmOperandLength(code) > 0 || code <= 0x2F)
            command.event = VgmEvent::passedOver;
        else
            command.event = VgmEvent::unknown;
        skip(reader, vgmOperandLength(code));
    }
    return command;
}
