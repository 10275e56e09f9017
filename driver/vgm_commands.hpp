// VGM command bytes and the operand bytes that follow each of them.
#pragma once

#include <cstdint>

inline constexpr std::uint8_t VGM_PSG_WRITE = 0x50;
inline constexpr std::uint8_t VGM_YM2612_PORT0 = 0x52;
inline constexpr std::uint8_t VGM_YM2612_PORT1 = 0x53;
inline constexpr std::uint8_t VGM_WAIT = 0x61;
inline constexpr std::uint8_t VGM_WAIT_NTSC_FRAME = 0x62;  // 735 samples
inline constexpr std::uint8_t VGM_WAIT_PAL_FRAME = 0x63;   // 882 samples
inline constexpr std::uint8_t VGM_END_OF_DATA = 0x66;
inline constexpr std::uint8_t VGM_DATA_BLOCK = 0x67;

inline constexpr std::int32_t NTSC_FRAME_SAMPLES = 735;
inline constexpr std::int32_t PAL_FRAME_SAMPLES = 882;

// Commands that write to chips other than the YM2612 and the SN76489 (the YM2151, the NES
// APU, a second PSG and so on), or that later VGM versions reserve for them.
constexpr bool isOtherChipCommand(std::uint8_t command) {
    return (command >= 0x30 && command <= 0x4E) || command == 0x51 ||
           (command >= 0x54 && command <= 0x5F) || (command >= 0xA0 && command <= 0xDF) ||
           command >= 0xE1;
}

// Operand bytes the VGM format defines after a command byte. The data block (0x67) has six
// fixed bytes (0x66 marker, type, 32-bit size) followed by the size in data. Bytes with no
// defined meaning count as having no operands.
constexpr int vgmOperandLength(std::uint8_t command) {
    if (command >= 0x30 && command <= 0x3F) return 1;
    if (command >= 0x40 && command <= 0x4E) return 2;
    if (command == 0x4F || command == 0x50) return 1;
    if (command >= 0x51 && command <= 0x5F) return 2;
    switch (command) {
        case 0x61:
            return 2;
        case 0x64:
            return 3;
        case 0x67:
            return 6;
        case 0x68:
            return 11;
        case 0x90:
            return 4;
        case 0x91:
            return 4;
        case 0x92:
            return 5;
        case 0x93:
            return 10;
        case 0x94:
            return 1;
        case 0x95:
            return 4;
        default:
            break;
    }
    if (command >= 0xA0 && command <= 0xBF) return 2;
    if (command >= 0xC0 && command <= 0xDF) return 3;
    if (command >= 0xE0) return 4;
    return 0;
}
