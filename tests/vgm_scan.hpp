// What a VGM file asks of the chips, counted straight from its commands, for comparison with
// what a conversion produced.
#pragma once

#include <array>

#include "driver/vgm_commands.hpp"
#include "tests/test_support.hpp"

struct VgmScan {
    std::array<int, 6> keyWrites{};    // YM2612 key on/off writes per FM channel
    std::array<int, 6> keyOns{};       // of which with at least one operator on
    std::array<bool, 2> psgAudible{};  // tone channel 0/1 given an attenuation below 15
    // Output bits 7-6 (L, R) written to 0xB4 + n: bit n set when the value n << 6 occurred.
    std::array<unsigned, 6> outputPatterns{};
    bool d2rUpperBits = false;  // some write to 0x70-0x7F with bits 7-5 set
};

inline VgmScan scanVgm(const Bytes& vgm) {
    VgmScan scan;
    auto at = [&](std::size_t i) -> std::uint8_t { return i < vgm.size() ? vgm[i] : 0; };
    std::uint32_t dataOffset =
        std::uint32_t(at(0x34) | at(0x35) << 8 | at(0x36) << 16 | at(0x37) << 24);
    std::size_t pos = 0x34 + (dataOffset ? dataOffset : 12);
    std::uint8_t psgLatch = 0;
    while (pos < vgm.size()) {
        const std::uint8_t command = vgm[pos++];
        if (command == VGM_END_OF_DATA) break;
        if ((command == VGM_YM2612_PORT0 || command == VGM_YM2612_PORT1) && at(pos) == 0x28) {
            const std::uint8_t data = at(pos + 1);
            const int channel = ((data & 4) ? 3 : 0) + (data & 3);
            if (channel < 6) {
                ++scan.keyWrites[std::size_t(channel)];
                if (data & 0xF0) ++scan.keyOns[std::size_t(channel)];
            }
        }
        if (command == VGM_YM2612_PORT0 || command == VGM_YM2612_PORT1) {
            const std::uint8_t reg = at(pos), data = at(pos + 1);
            const int channel = (reg & 3) + (command == VGM_YM2612_PORT1 ? 3 : 0);
            if ((reg & 0xFC) == 0xB4 && channel < 6)
                scan.outputPatterns[std::size_t(channel)] |= 1u << (data >> 6);
            if ((reg & 0xF0) == 0x70 && (data & 0xE0)) scan.d2rUpperBits = true;
        }
        if (command == VGM_PSG_WRITE) {
            const std::uint8_t b = at(pos);
            if (b & 0x80) psgLatch = b;
            const int channel = (psgLatch >> 5) & 3;
            if ((psgLatch & 0x10) && channel < 2 && (b & 0x0F) != 15)
                scan.psgAudible[std::size_t(channel)] = true;
        }
        pos += std::size_t(vgmOperandLength(command));
        if (command == VGM_DATA_BLOCK)
            pos += std::uint32_t(at(pos - 4) | at(pos - 3) << 8 | at(pos - 2) << 16 |
                                 at(pos - 1) << 24);
    }
    return scan;
}
