// What the players send to the OPM besides the register stream, and which stream pairs they
// leave out: the classic player vgmstub.s and the full player fullplayer.s of opmcast-full.
#pragma once

#include <cstdint>

struct PlayerWrite {
    std::uint8_t reg;
    std::uint8_t value;
};

// Before the stream: LFO depth 0 for amplitude (AMD, bit 7 clear) and for phase (PMD, bit 7
// set), whatever an earlier program left in register 0x19, which the stream never writes.
inline constexpr PlayerWrite PLAYER_START_WRITES[] = {{0x19, 0x00}, {0x19, 0x80}};

// Timer registers 0x10-0x14: the player runs timer A itself.
constexpr bool isTimerRegister(std::uint8_t reg) {
    return reg >= 0x10 && reg <= 0x14;
}

// The player passes every register pair to the chip except the timer registers and 0x1B, whose
// top bits drive other X68000 hardware (the ADPCM clock and the floppy READY line).
constexpr bool playerWrites(std::uint8_t reg) {
    return !isTimerRegister(reg) && reg != 0x1B;
}

// The full player passes 0x1B too, with bits 1-0 (LFO waveform) from the stream and bits 7-6
// (ADPCM clock, floppy READY) from the system's copy of the register, the IOCS work byte at
// $09DA, which it never changes. Register 0x01 (LFO reset) passes as given.
constexpr bool fullPlayerWrites(std::uint8_t reg) {
    return !isTimerRegister(reg);
}
inline constexpr std::uint32_t SYSTEM_1B_COPY_ADDRESS = 0x09DA;
constexpr std::uint8_t merged1B(std::uint8_t streamValue, std::uint8_t systemCopy) {
    return std::uint8_t((streamValue & 0x03) | (systemCopy & 0xC0));
}
// In a program with drums CT1 (bit 7) is written clear, the ADPCM clock at 8 MHz: before the
// stream (bits 1-0 then from the copy too) and at every write of 0x1B.
constexpr std::uint8_t drums1B(std::uint8_t streamValue, std::uint8_t systemCopy) {
    return std::uint8_t(merged1B(streamValue, systemCopy) & 0x7F);
}

// Full-player stream commands: waits are 00 00-00 EF (1 to 240 steps, a step being one timer A
// overflow, a fifth of a tick); 00 F0 stops the ADPCM and 00 F1-F3 start a sample, numbered
// by the next pair; 00 F4-00 FD are reserved, and the player ends the song at one as at an end
// marker without a loop position.
inline constexpr std::uint8_t FULL_LONGEST_WAIT = 0xEF;
