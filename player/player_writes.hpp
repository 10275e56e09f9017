// What the player stub sends to the OPM besides the register stream, and which stream pairs it
// leaves out.
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
