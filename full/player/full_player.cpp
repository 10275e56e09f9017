#include "full/player/full_player.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

static_assert(FULL_PLAYER_HEAD_SIZE + FULL_PLAYER_TAIL_SIZE == FULL_PLAYER_SIZE);

std::array<std::uint8_t, 4> fullProgramTextSize(std::uint64_t streamLength) {
    constexpr std::uint64_t CODE_SIZE = FULL_PLAYER_HEAD_SIZE - 64;
    if (streamLength > std::uint64_t{UINT32_MAX} - CODE_SIZE) {
        throw std::length_error("register stream too long for a Human68k text section");
    }
    const auto textSize = std::uint32_t(CODE_SIZE + streamLength);
    return {std::uint8_t(textSize >> 24), std::uint8_t(textSize >> 16), std::uint8_t(textSize >> 8),
            std::uint8_t(textSize)};
}

std::vector<std::uint8_t> buildFullProgram(std::span<const std::uint8_t> stream) {
    if (stream.size() % 2 != 0) {
        throw std::invalid_argument("a register stream is made of pairs: odd length");
    }
    const std::array<std::uint8_t, 4> textSize = fullProgramTextSize(stream.size());
    std::span<const std::uint8_t, FULL_PLAYER_SIZE> player = fullPlayerBytes();
    std::vector<std::uint8_t> program;
    program.reserve(FULL_PLAYER_SIZE + stream.size());
    program.insert(program.end(), player.begin(), player.begin() + FULL_PLAYER_HEAD_SIZE);
    program.insert(program.end(), stream.begin(), stream.end());
    program.insert(program.end(), player.begin() + FULL_PLAYER_HEAD_SIZE, player.end());
    std::copy(textSize.begin(), textSize.end(), program.begin() + FULL_PLAYER_TEXT_SIZE_OFFSET);
    return program;
}
