#include "dump/executable_stream.hpp"

#include <algorithm>

#include "driver/executable.hpp"
#include "dump/text_format.hpp"
#include "full/player/full_player.hpp"
#include "player/player_writes.hpp"
#include "stream/register_stream.hpp"

static_assert(FULL_PLAYER_TAIL_SIZE == STUB_TAIL_SIZE &&
                  FULL_PLAYER_TEXT_SIZE_OFFSET == TEXT_SIZE_FIELD,
              "both players end a program and size its text alike");

std::uint64_t streamOffset(PlayerKind player) {
    return player == PlayerKind::full ? FULL_PLAYER_HEAD_SIZE : STUB_HEAD_SIZE;
}

namespace {

std::string hex32(std::uint32_t value) {
    return format("0x%08X", unsigned(value));
}

std::string hexByte(std::uint8_t value) {
    return format("0x%02X", unsigned(value));
}

std::optional<Problem> checkLayout(const Bytes& file, PlayerKind player) {
    const std::uint64_t length = file.size();
    const std::uint64_t LAYOUT_BYTES = streamOffset(player) + STUB_TAIL_SIZE;
    if (length < 2 || file[0] != 'H' || file[1] != 'U')
        return Problem{"not an X68000 executable: it does not start with \"HU\"", 0};
    if (length < LAYOUT_BYTES)
        return Problem{"file ends after " + std::to_string(length) + " bytes; the player head " +
                           "and tail alone take " + std::to_string(LAYOUT_BYTES),
                       length};
    if (player == PlayerKind::full && length < LAYOUT_BYTES + 2)
        return Problem{"stream of " + std::to_string(length - LAYOUT_BYTES) +
                           " bytes is shorter than the end marker",
                       streamOffset(player)};
    if (player == PlayerKind::classic && length < LAYOUT_BYTES + PROLOGUE_BYTES + 2)
        return Problem{"stream of " + std::to_string(length - LAYOUT_BYTES) +
                           " bytes is shorter than the " + std::to_string(PROLOGUE_BYTES) +
                           "-byte prologue and the end marker",
                       STUB_HEAD_SIZE};
    if (length % 2 != 0)
        return Problem{"odd file length " + std::to_string(length) +
                           ": the stream is made of 2-byte pairs and this last byte has none",
                       length - 1};
    return std::nullopt;
}

// Offset of the first end marker: the stream is read two bytes at a time from its start.
std::optional<std::uint64_t> findEndMarker(const Bytes& file, PlayerKind player) {
    for (std::uint64_t at = streamOffset(player); at + 2 <= file.size(); at += 2)
        if (file[at] == STREAM_COMMAND && file[at + 1] == END_MARKER) return at;
    return std::nullopt;
}

// Reads the pairs up to and including the end marker at `end`.
std::optional<Problem> readPairs(const Bytes& file, std::uint64_t end, PlayerKind player,
                                 std::vector<StreamPair>& pairs) {
    std::optional<std::uint64_t> loopAt;
    for (std::uint64_t at = streamOffset(player); at <= end; at += 2) {
        const StreamPair pair{at, file[at], file[at + 1]};
        const PairGroup group = pairGroup(player, pair.first, pair.second);
        if (group == PairGroup::missing)
            return Problem{"register " + hexByte(pair.first) + " does not exist on the OPM", at};
        if (player == PlayerKind::full && isTimerRegister(pair.first))
            return Problem{"register " + hexByte(pair.first) +
                               " is a timer the full player runs on; its stream never writes "
                               "0x10-0x14",
                           at};
        if (group == PairGroup::loopMarker) {
            if (loopAt)
                return Problem{"second loop marker (the first is at " + hexOffset(*loopAt) + ")",
                               at};
            loopAt = at;
        }
        pairs.push_back(pair);
    }
    return std::nullopt;
}

}  // namespace

bool hasFullPlayerHead(const Bytes& file) {
    if (file.size() < FULL_PLAYER_HEAD_SIZE) return false;
    const std::span<const std::uint8_t, FULL_PLAYER_SIZE> player = fullPlayerBytes();
    const auto sizeField = std::size_t(FULL_PLAYER_TEXT_SIZE_OFFSET);
    const auto bankField = std::size_t(FULL_PLAYER_BANK_OFFSET);
    return std::equal(file.begin(), file.begin() + long(sizeField), player.begin()) &&
           std::equal(file.begin() + long(sizeField + 4), file.begin() + long(bankField),
                      player.begin() + long(sizeField + 4)) &&
           std::equal(file.begin() + long(bankField + 4),
                      file.begin() + long(FULL_PLAYER_HEAD_SIZE),
                      player.begin() + long(bankField + 4));
}

std::optional<Problem> readExecutable(const Bytes& file, ExecutableStream& stream) {
    stream = ExecutableStream{};
    const PlayerKind player = hasFullPlayerHead(file) ? PlayerKind::full : PlayerKind::classic;
    if (auto problem = checkLayout(file, player)) return problem;
    const std::optional<std::uint64_t> end = findEndMarker(file, player);
    if (!end)
        return Problem{
            "no end marker (00 FF) in the stream that starts at " + hexOffset(streamOffset(player)),
            file.size()};
    const std::uint64_t after = file.size() - (*end + 2);
    if (after != STUB_TAIL_SIZE)
        return Problem{std::to_string(after) + " bytes follow the end marker where the " +
                           std::to_string(STUB_TAIL_SIZE) + "-byte player tail belongs",
                       *end + 2};
    if (auto problem = readPairs(file, *end, player, stream.pairs)) return problem;

    stream.player = player;
    stream.length = file.size();
    for (int i = 0; i < 4; ++i)
        stream.sizeField = stream.sizeField << 8 | file[std::size_t(TEXT_SIZE_FIELD + i)];
    const std::int64_t expected = textSizeFor(std::int64_t(stream.length));
    if (stream.sizeField != expected)
        return Problem{"text size " + hex32(stream.sizeField) +
                           " is not the file length less 76 (" + hex32(std::uint32_t(expected)) +
                           ")",
                       TEXT_SIZE_FIELD};
    return std::nullopt;
}
