// The chips the VGM format (up to version 1.72) writes through each command byte other than
// those of the YM2612 and SN76489. The second chip of a pair takes 0x30 for 0x50, 0x3F for
// 0x4F and 0xA1-0xAF for 0x51-0x5F; from 0xB0 on the second chip is told by bit 7 of the first
// operand, under the same command byte.
#pragma once

#include <array>
#include <cstdint>

struct VgmChipCommand {
    std::uint8_t command;
    const char* chip;
};

inline constexpr std::array<VgmChipCommand, 66> VGM_CHIP_COMMANDS = {{
    {0x30, "second SN76489"},
    {0x31, "AY8910 stereo mask"},
    {0x3F, "second Game Gear stereo"},
    {0x40, "Mikey"},
    {0x51, "YM2413"},
    {0x54, "YM2151"},
    {0x55, "YM2203"},
    {0x56, "YM2608 port 0"},
    {0x57, "YM2608 port 1"},
    {0x58, "YM2610 port 0"},
    {0x59, "YM2610 port 1"},
    {0x5A, "YM3812"},
    {0x5B, "YM3526"},
    {0x5C, "Y8950"},
    {0x5D, "YMZ280B"},
    {0x5E, "YMF262 port 0"},
    {0x5F, "YMF262 port 1"},
    {0xA0, "AY8910"},
    {0xA1, "second YM2413"},
    {0xA2, "second YM2612 port 0"},
    {0xA3, "second YM2612 port 1"},
    {0xA4, "second YM2151"},
    {0xA5, "second YM2203"},
    {0xA6, "second YM2608 port 0"},
    {0xA7, "second YM2608 port 1"},
    {0xA8, "second YM2610 port 0"},
    {0xA9, "second YM2610 port 1"},
    {0xAA, "second YM3812"},
    {0xAB, "second YM3526"},
    {0xAC, "second Y8950"},
    {0xAD, "second YMZ280B"},
    {0xAE, "second YMF262 port 0"},
    {0xAF, "second YMF262 port 1"},
    {0xB0, "RF5C68"},
    {0xB1, "RF5C164"},
    {0xB2, "PWM"},
    {0xB3, "GameBoy DMG"},
    {0xB4, "NES APU"},
    {0xB5, "MultiPCM"},
    {0xB6, "uPD7759"},
    {0xB7, "OKIM6258"},
    {0xB8, "OKIM6295"},
    {0xB9, "HuC6280"},
    {0xBA, "K053260"},
    {0xBB, "Pokey"},
    {0xBC, "WonderSwan"},
    {0xBD, "SAA1099"},
    {0xBE, "ES5506"},
    {0xBF, "GA20"},
    {0xC0, "SegaPCM"},
    {0xC1, "RF5C68 memory"},
    {0xC2, "RF5C164 memory"},
    {0xC3, "MultiPCM bank"},
    {0xC4, "QSound"},
    {0xC5, "SCSP"},
    {0xC6, "WonderSwan memory"},
    {0xC7, "VSU"},
    {0xC8, "X1-010"},
    {0xD0, "YMF278B"},
    {0xD1, "YMF271"},
    {0xD2, "SCC1"},
    {0xD3, "K054539"},
    {0xD4, "C140"},
    {0xD5, "ES5503"},
    {0xD6, "ES5506"},
    {0xE1, "C352"},
}};

// The chip's name, or nullptr for a byte that writes no chip.
constexpr const char* vgmChipName(std::uint8_t command) {
    for (const VgmChipCommand& c : VGM_CHIP_COMMANDS)
        if (c.command == command) return c.chip;
    return nullptr;
}
