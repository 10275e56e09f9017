#include "full/driver/vgm_reader.hpp"

#include <algorithm>
#include <array>

#include "channels/file_channels.hpp"
#include "driver/vgm_commands.hpp"

namespace {

constexpr std::int64_t HEADER_TOTAL_SAMPLES = 0x18;
constexpr std::int64_t HEADER_LOOP_OFFSET = 0x1C;  // relative to itself
constexpr std::int64_t HEADER_DATA_OFFSET = 0x34;  // relative to itself
constexpr std::int64_t OLD_DATA_START = 0x40;      // versions before 1.50 have no data offset

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

// Each command's length with its operands; that of the data block is its fixed part.
constexpr std::array<std::uint8_t, 256> COMMAND_LENGTH = [] {
    std::array<std::uint8_t, 256> length{};
    for (int code = 0; code < 256; ++code)
        length[std::size_t(code)] = std::uint8_t(1 + vgmOperandLength(std::uint8_t(code)));
    return length;
}();

// What a command is that is neither a chip write, a wait, the end nor a data block.
VgmEvent eventOfOtherCommand(std::uint8_t code) {
    if (isOtherChipCommand(code)) return VgmEvent::otherChip;
    if (code >= 0x90 && code <= 0x95) return VgmEvent::dacStream;
    if (code == 0xE0) return VgmEvent::dacSeek;
    if (vgmOperandLength(code) > 0 || code <= 0x2F) return VgmEvent::passedOver;
    return VgmEvent::unknown;
}

// A command's operands as the event needs them.
void takeOperands(VgmCommand& command, const std::uint8_t* operands, int count) {
    if (command.event == VgmEvent::dacSeek)
        command.value = std::uint32_t(operands[0] | operands[1] << 8 | operands[2] << 16) |
                        std::uint32_t(operands[3]) << 24;
    else if (command.event == VgmEvent::dacStream)
        std::copy(operands, operands + std::min<int>(count, int(command.operands.size())),
                  command.operands.begin());
}

// 0x67 0x66 tt ssssssss, then the block. A block of the YM2612's samples (type 0x00) is added
// to the bank as far as the file holds it; every other block is passed over.
void readDataBlock(VgmReader& reader, VgmCommand& command) {
    command.event = VgmEvent::dataBlock;
    skip(reader, 1);
    command.value = readByte(reader);
    std::int64_t size = readLong(reader) & 0x7FFFFFFF;
    if (command.value != 0x00 || reader.dacBank == nullptr) {
        skip(reader, size);
        return;
    }
    std::vector<std::uint8_t>& bank = *reader.dacBank;
    if (reader.dacBlockStarts) reader.dacBlockStarts->push_back(std::uint32_t(bank.size()));
    // A block that claims more than the file holds ends with the file: read a piece at a time.
    constexpr std::int64_t PIECE = 1 << 20;
    std::int64_t left = std::min<std::int64_t>(size, UINT32_MAX - bank.size());
    while (left > 0) {
        const int want = int(std::min(left, PIECE));
        const std::size_t was = bank.size();
        const std::int64_t before = fileChannelTable[reader.channel].position;
        bank.resize(was + std::size_t(want));
        fileRead(reader.channel, 0, bank.data() + was, want);
        const std::int64_t got = fileChannelTable[reader.channel].position - before;
        bank.resize(was + std::size_t(got));
        reader.position += got;
        size -= got;
        left -= got;
        if (got < want) break;
    }
    skip(reader, size);
}

// Adds the waits that follow in the channel's buffer to the wait just read, up to the loop
// point: a log with DAC samples is mostly one-byte waits, taken here a buffer at a time.
void absorbWaits(VgmReader& reader, VgmCommand& command) {
    if (reader.dacBank) return;  // the pass that gathers the DAC takes each 0x80-0x8F alone
    const VgmWindow window = vgmWindow(reader);
    bool dac = false;
    const int used = addWaits(window.bytes, 0, window.limit, command.samples, dac);
    if (dac) command.event = VgmEvent::dacSample;
    consumeVgmWindow(reader, used);
}

}  // namespace

VgmWindow vgmWindow(const VgmReader& reader) {
    const FileReadWindow window = fileReadWindow(reader.channel);
    std::int64_t limit = window.count - 2;  // a command's operands lie wholly in the window
    if (loopPointAhead(reader)) limit = std::min(limit, reader.loopStart - reader.position);
    return {window.bytes, int(std::max<std::int64_t>(limit, 0))};
}

void consumeVgmWindow(VgmReader& reader, int count) {
    fileConsume(reader.channel, count);
    reader.position += count;
}

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
    const std::uint32_t dataOffset = field(HEADER_DATA_OFFSET);
    reader.dataStart = dataOffset == 0 ? OLD_DATA_START : HEADER_DATA_OFFSET + dataOffset;
    if (reader.dataStart < std::int64_t(sizeof header)) reader.dataStart = sizeof header;
    reader.headerSamples = field(HEADER_TOTAL_SAMPLES);
    const std::uint32_t loopOffset = field(HEADER_LOOP_OFFSET);
    if (loopOffset != 0) reader.loopStart = HEADER_LOOP_OFFSET + loopOffset;
    skip(reader, reader.dataStart - reader.position);
    return true;
}

void rewindVgmReader(VgmReader& reader) {
    seek(reader, reader.dataStart);
    reader.ended = false;
    reader.endMarker = false;
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
    // Every command of fixed length straight from the channel's buffer while it holds it whole.
    if (const FileReadWindow window = fileReadWindow(reader.channel); window.count > 0) {
        const std::uint8_t* bytes = window.bytes;
        const std::uint8_t code = bytes[0];
        const int length = COMMAND_LENGTH[code];
        if (length <= window.count && code != VGM_END_OF_DATA && code != VGM_DATA_BLOCK) {
            command.code = code;
            if (code == VGM_YM2612_PORT0 || code == VGM_YM2612_PORT1) {
                command.event = VgmEvent::ym2612;
                command.port = code == VGM_YM2612_PORT0 ? 0 : 1;
                command.reg = bytes[1];
                command.data = bytes[2];
            } else if (code == VGM_PSG_WRITE) {
                command.event = VgmEvent::sn76489;
                command.data = bytes[1];
            } else if (const int one = ONE_BYTE_WAIT[code]; one >= 0) {
                command.event = code >= 0x80 ? VgmEvent::dacSample : VgmEvent::wait;
                command.samples = one;
            } else if (code == VGM_WAIT) {
                command.event = VgmEvent::wait;
                command.samples = bytes[1] | bytes[2] << 8;
            } else {
                command.event = eventOfOtherCommand(code);
                takeOperands(command, bytes + 1, length - 1);
            }
            consumeVgmWindow(reader, length);
            if (command.event == VgmEvent::wait || command.event == VgmEvent::dacSample)
                absorbWaits(reader, command);
            return command;
        }
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
            reader.endMarker = true;
            return command;
        case VGM_DATA_BLOCK:
            readDataBlock(reader, command);
            return command;
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
        command.event = eventOfOtherCommand(code);
        std::array<std::uint8_t, 16> operands{};
        const int count = std::min<int>(vgmOperandLength(code), int(operands.size()));
        for (int i = 0; i < count; ++i) operands[std::size_t(i)] = readByte(reader);
        skip(reader, vgmOperandLength(code) - count);
        takeOperands(command, operands.data(), count);
    }
    return command;
}
