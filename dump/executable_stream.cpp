#include "dump/executable_stream.hpp"

#include <algorithm>

#include "driver/executable.hpp"
#include "dump/text_format.hpp"
#include "full/player/full_player.hpp"
#include "player/player_writes.hpp"
#include "stream/register_stream.hpp"

namespace {

// Where a player's program puts its stream, and the player tail after it.
struct Layout {
    std::uint64_t head;
    std::uint64_t tail;
};

Layout layoutOf(PlayerKind player) {
    if (player == PlayerKind::full) return {FULL_PLAYER_HEAD_SIZE, FULL_PLAYER_TAIL_SIZE};
    return {STUB_HEAD_SIZE, STUB_TAIL_SIZE};
}

std::string hex32(std::uint32_t value) {
    return format("0x%08X", unsigned(value));
}

std::string hexByte(std::uint8_t value) {
    return format("0x%02X", unsigned(value));
}

bool isAdpcmStart(PlayerKind player, const StreamPair& pair) {
    return pairGroup(player, pair.first, pair.second) == PairGroup::adpcmStart;
}

std::optional<Problem> checkLayout(const Bytes& file, PlayerKind player) {
    const std::uint64_t length = file.size();
    const Layout layout = layoutOf(player);
    const std::uint64_t layoutBytes = layout.head + layout.tail;
    if (length < 2 || file[0] != 'H' || file[1] != 'U')
        return Problem{"not an X68000 executable: it does not start with \"HU\"", 0};
    if (length < layoutBytes)
        return Problem{"file ends after " + std::to_string(length) + " bytes; the player head " +
                           "and tail alone take " + std::to_string(layoutBytes),
                       length};
    if (player == PlayerKind::full && length < layoutBytes + 2)
        return Problem{"stream of " + std::to_string(length - layoutBytes) +
                           " bytes is shorter than the end marker",
                       layout.head};
    if (player == PlayerKind::classic && length < layoutBytes + PROLOGUE_BYTES + 2)
        return Problem{"stream of " + std::to_string(length - layoutBytes) +
                           " bytes is shorter than the " + std::to_string(PROLOGUE_BYTES) +
                           "-byte prologue and the end marker",
                       layout.head};
    if (length % 2 != 0)
        return Problem{"odd file length " + std::to_string(length) +
                           ": the stream is made of 2-byte pairs and this last byte has none",
                       length - 1};
    return std::nullopt;
}

// Offset of the first end marker before `limit`: the stream is read two bytes at a time from
// its start, the pair after an ADPCM start being its sample number.
std::optional<std::uint64_t> findEndMarker(const Bytes& file, PlayerKind player,
                                           std::uint64_t limit) {
    for (std::uint64_t at = layoutOf(player).head; at + 2 <= limit; at += 2) {
        if (file[at] == STREAM_COMMAND && file[at + 1] == END_MARKER) return at;
        if (isAdpcmStart(player, {at, file[at], file[at + 1]})) at += 2;
    }
    return std::nullopt;
}

// Reads the pairs up to and including the end marker at `end`.
std::optional<Problem> readPairs(const Bytes& file, std::uint64_t end, PlayerKind player,
                                 std::vector<StreamPair>& pairs) {
    std::optional<std::uint64_t> loopAt;
    bool number = false;
    for (std::uint64_t at = layoutOf(player).head; at <= end; at += 2) {
        StreamPair pair{at, file[at], file[at + 1], number};
        const PairGroup group = streamPairGroup(player, pair);
        number = group == PairGroup::adpcmStart;
        if (group == PairGroup::missing)
            return Problem{"register " + hexByte(pair.first) + " does not exist on the OPM", at};
        if (player == PlayerKind::full && group == PairGroup::timer)
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

std::uint64_t streamOffset(PlayerKind player) {
    return layoutOf(player).head;
}

bool hasFullPlayerHead(const Bytes& file) {
    if (file.size() < FULL_PLAYER_HEAD_SIZE) return false;
    const std::span<const std::uint8_t, FULL_PLAYER_SIZE> player = fullPlayerBytes();
    for (std::size_t at = 0; at < FULL_PLAYER_HEAD_SIZE; ++at) {
        const bool patched =
            (at >= FULL_PLAYER_TEXT_SIZE_OFFSET && at < FULL_PLAYER_TEXT_SIZE_OFFSET + 4) ||
            (at >= FULL_PLAYER_BANK_OFFSET && at < FULL_PLAYER_BANK_OFFSET + 4);
        if (!patched && file[at] != player[at]) return false;
    }
    return true;
}

PairGroup streamPairGroup(PlayerKind player, const StreamPair& pair) {
    return pair.sampleNumber ? PairGroup::sampleNumber : pairGroup(player, pair.first, pair.second);
}

unsigned streamPairSteps(PlayerKind player, const StreamPair& pair) {
    return pair.sampleNumber ? 0 : waitSteps(player, pair.first, pair.second);
}

std::optional<Problem> readExecutable(const Bytes& file, ExecutableStream& stream) {
    stream = ExecutableStream{};
    const PlayerKind player = hasFullPlayerHead(file) ? PlayerKind::full : PlayerKind::classic;
    const Layout layout = layoutOf(player);
    if (auto problem = checkLayout(file, player)) return problem;
    std::optional<DrumBank> bank;
    if (player == PlayerKind::full)
        if (auto problem = readDrumBank(file, bank)) return problem;
    const std::uint64_t streamLimit = bank ? bank->at : file.size();
    const std::optional<std::uint64_t> end = findEndMarker(file, player, streamLimit);
    if (!end)
        return Problem{
            "no end marker (00 FF) in the stream that starts at " + hexOffset(layout.head),
            streamLimit};
    if (bank && *end + 2 != bank->at)
        return Problem{std::to_string(bank->at - (*end + 2)) +
                           " bytes lie between the end marker and the drums' bank at " +
                           hexOffset(bank->at),
                       *end + 2};
    const std::uint64_t after = file.size() - (*end + 2) - (bank ? bank->size : 0);
    if (after != layout.tail)
        return Problem{std::to_string(after) + " bytes follow the end marker where the " +
                           std::to_string(layout.tail) + "-byte player tail belongs",
                       *end + 2};
    if (auto problem = readPairs(file, *end, player, stream.pairs)) return problem;

    stream.player = player;
    stream.length = file.size();
    stream.streamOffset = layout.head;
    stream.tailSize = layout.tail;
    stream.bank = std::move(bank);
    for (int i = 0; i < 4; ++i)
        stream.sizeField = stream.sizeField << 8 | file[std::size_t(TEXT_SIZE_FIELD + i)];
    const std::uint64_t expected = stream.length - EXECUTABLE_HEADER_SIZE - layout.tail;
    if (stream.sizeField != expected)
        return Problem{"text size " + hex32(stream.sizeField) + " is not the file length less " +
                           std::to_string(EXECUTABLE_HEADER_SIZE + layout.tail) + " (" +
                           hex32(std::uint32_t(expected)) + ")",
                       TEXT_SIZE_FIELD};
    return std::nullopt;
}
