#include "full/player/full_player.hpp"

#include <cstdint>
#include <stdexcept>

static_assert(FULL_PLAYER_HEAD_SIZE + FULL_PLAYER_TAIL_SIZE == FULL_PLAYER_SIZE);

std::vector<std::uint8_t> buildFullProgram(std::span<const std::uint8_t> stream) {
    if (stream.size() % 2 != 0) {
        throw std::invalid_argument("a register stream is made of pairs: odd length");
    }
    constexpr std::size_t CODE_SIZE = FULL_PLAYER_HEAD_SIZE - 64;
    if (stream.size() > std::size_t{UINT32_MAX} - CODE_SIZE) {
        throw std::length_error("register stream too long for a Human68k text section");
    }
    std::span<const std::uint8_t, FULL_PLAYER_SIZE> player = fullPlayerBytes();
    std::vector<std::uint8_t> program;
    program.reserve(FULL_PLAYER_SIZE + stream.size());
    program.insert(program.end(), player.begin(), player.begin() + FULL_PLAYER_HEAD_SIZE);
    program.insert(program.end(), stream.begin(), stream.end());
    program.insert(program.end(), player.begin() + FULL_PLAYER_HEAD_SIZE, player.end());
    const std::uint32_t textSize = std::uint32_t(CODE_SIZE + stream.size());
    for (int i = 0; i < 4; ++i) {
        program[FULL_PLAYER_TEXT_SIZE_OFFSET + i] = std::uint8_t(textSize >> (24 - 8 * i));
    }
    return program;
}
