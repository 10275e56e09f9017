#include "full/player/full_player.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

static_assert(FULL_PLAYER_HEAD_SIZE + FULL_PLAYER_TAIL_SIZE == FULL_PLAYER_SIZE);

namespace {

std::array<std::uint8_t, 4> bigEndian(std::uint32_t value) {
    return {std::uint8_t(value >> 24), std::uint8_t(value >> 16), std::uint8_t(value >> 8),
            std::uint8_t(value)};
}

}  // namespace

std::array<std::uint8_t, FULL_PLAYER_HEAD_SIZE> fullProgramHead(std::uint64_t streamLength,
                                                                std::uint64_t bankLength,
                                                                std::uint64_t displayLength,
                                                                std::uint16_t loops) {
    constexpr std::uint64_t CODE_SIZE = FULL_PLAYER_HEAD_SIZE - 64;
    const std::uint64_t textSize = CODE_SIZE + streamLength + bankLength + displayLength;
    if (streamLength > UINT32_MAX || bankLength > UINT32_MAX || displayLength > UINT32_MAX ||
        textSize > UINT32_MAX)
        throw std::length_error("register stream too long for a Human68k text section");
    std::array<std::uint8_t, FULL_PLAYER_HEAD_SIZE> head;
    std::copy_n(fullPlayerBytes().begin(), FULL_PLAYER_HEAD_SIZE, head.begin());
    const auto put = [&head](std::size_t offset, std::uint32_t value) {
        const std::array<std::uint8_t, 4> bytes = bigEndian(value);
        std::copy(bytes.begin(), bytes.end(), head.begin() + offset);
    };
    put(FULL_PLAYER_TEXT_SIZE_OFFSET, std::uint32_t(textSize));
    if (bankLength > 0) put(FULL_PLAYER_BANK_OFFSET, std::uint32_t(CODE_SIZE + streamLength));
    if (displayLength > 0)
        put(FULL_PLAYER_DISPLAY_OFFSET, std::uint32_t(CODE_SIZE + streamLength + bankLength));
    head[FULL_PLAYER_LOOPS_OFFSET] = std::uint8_t(loops >> 8);
    head[FULL_PLAYER_LOOPS_OFFSET + 1] = std::uint8_t(loops);
    return head;
}

std::vector<std::uint8_t> fullBankBytes(std::span<const FullBankSample> samples) {
    std::vector<std::uint8_t> bank(samples.size() * 8);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const FullBankSample& sample = samples[i];
        if (sample.bytes.size() > FULL_BANK_SAMPLE_LIMIT)
            throw std::length_error("an ADPCM sample longer than one DMA transfer");
        const std::array<std::uint8_t, 4> offset = bigEndian(std::uint32_t(bank.size()));
        const std::size_t count = sample.bytes.empty() ? 0 : sample.bytes.size() + 1;
        std::uint8_t* entry = bank.data() + i * 8;
        std::copy(offset.begin(), offset.end(), entry);
        entry[4] = std::uint8_t(count >> 8);
        entry[5] = std::uint8_t(count);
        entry[6] = sample.dividerBits;
        if (count == 0) continue;
        bank.insert(bank.end(), sample.bytes.begin(), sample.bytes.end());
        bank.push_back(0x80);
    }
    if (bank.size() % 2 != 0) bank.push_back(0x80);
    return bank;
}

std::vector<std::uint8_t> buildFullProgram(std::span<const std::uint8_t> stream,
                                           std::span<const std::uint8_t> bank,
                                           std::span<const std::uint8_t> display,
                                           std::uint16_t loops) {
    if (stream.size() % 2 != 0 || bank.size() % 2 != 0 || display.size() % 2 != 0) {
        throw std::invalid_argument("a register stream is made of pairs: odd length");
    }
    const std::array<std::uint8_t, FULL_PLAYER_HEAD_SIZE> head =
        fullProgramHead(stream.size(), bank.size(), display.size(), loops);
    std::span<const std::uint8_t, FULL_PLAYER_SIZE> player = fullPlayerBytes();
    std::vector<std::uint8_t> program(head.begin(), head.end());
    program.reserve(FULL_PLAYER_SIZE + stream.size() + bank.size() + display.size());
    program.insert(program.end(), stream.begin(), stream.end());
    program.insert(program.end(), bank.begin(), bank.end());
    program.insert(program.end(), display.begin(), display.end());
    program.insert(program.end(), player.begin() + FULL_PLAYER_HEAD_SIZE, player.end());
    return program;
}

std::vector<std::uint8_t> buildFullAlbum(std::span<const FullAlbumTrack> tracks,
                                         std::span<const std::uint8_t> bank,
                                         std::span<const std::uint8_t> albumDisplay, bool repeat) {
    if (tracks.empty() || tracks.size() > std::size_t(FULL_ALBUM_MOST_TRACKS))
        throw std::invalid_argument("an album holds 1 to 999 tracks");
    constexpr std::uint64_t CODE_SIZE = FULL_PLAYER_HEAD_SIZE - 64;
    // Everything after the head, in the text section, and the offsets of its parts.
    std::vector<std::uint8_t> text;
    std::vector<std::uint64_t> streamAt, displayAt;
    const auto append = [&text](std::span<const std::uint8_t> part) {
        if (part.size() % 2 != 0)
            throw std::invalid_argument("a register stream is made of pairs: odd length");
        const std::uint64_t at = CODE_SIZE + text.size();
        text.insert(text.end(), part.begin(), part.end());
        return at;
    };
    for (const FullAlbumTrack& track : tracks) streamAt.push_back(append(track.stream));
    const std::uint64_t bankAt = append(bank);
    const std::uint64_t albumDisplayAt = append(albumDisplay);
    for (const FullAlbumTrack& track : tracks)
        displayAt.push_back(track.display.empty() ? 0 : append(track.display));
    const std::uint64_t tableAt = CODE_SIZE + text.size();
    const auto putWord = [&text](std::uint16_t value) {
        text.push_back(std::uint8_t(value >> 8));
        text.push_back(std::uint8_t(value));
    };
    const auto putLong = [&](std::uint64_t value) {
        if (value > UINT32_MAX)
            throw std::length_error("register stream too long for a Human68k text section");
        putWord(std::uint16_t(value >> 16));
        putWord(std::uint16_t(value));
    };
    putWord(std::uint16_t(tracks.size()));
    putWord(repeat ? FULL_ALBUM_REPEAT : 0);
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        putLong(streamAt[i]);
        putLong(displayAt[i]);
        putWord(tracks[i].loops);
        putWord(0);
    }
    // The head: the text size, the shared bank, the album's display and its table.
    std::array<std::uint8_t, FULL_PLAYER_HEAD_SIZE> head = fullProgramHead(text.size(), 0, 0, 0);
    const auto set = [&head](std::size_t offset, std::uint64_t value) {
        const std::array<std::uint8_t, 4> bytes = bigEndian(std::uint32_t(value));
        std::copy(bytes.begin(), bytes.end(), head.begin() + offset);
    };
    if (!bank.empty()) set(FULL_PLAYER_BANK_OFFSET, bankAt);
    if (!albumDisplay.empty()) set(FULL_PLAYER_DISPLAY_OFFSET, albumDisplayAt);
    set(FULL_PLAYER_ALBUM_OFFSET, tableAt);
    std::span<const std::uint8_t, FULL_PLAYER_SIZE> player = fullPlayerBytes();
    std::vector<std::uint8_t> program(head.begin(), head.end());
    program.reserve(FULL_PLAYER_SIZE + text.size());
    program.insert(program.end(), text.begin(), text.end());
    program.insert(program.end(), player.begin() + FULL_PLAYER_HEAD_SIZE, player.end());
    return program;
}
