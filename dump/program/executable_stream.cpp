#include "dump/program/executable_stream.hpp"

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

std::uint32_t bigLong(const Bytes& file, std::uint64_t at) {
    return std::uint32_t(file[at] << 24 | file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3]);
}

// More than any X68000 holds (12 MiB of main memory at most).
constexpr std::uint64_t MOST_PROGRAM_BYTES = 16 << 20;

}  // namespace

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
    // The header's text size, with the header and the player tail (the data section), gives
    // the file's length; a file shorter than that was cut short (a size beyond any X68000's
    // memory is a damaged field, which readExecutable names).
    const std::uint64_t counted =
        EXECUTABLE_HEADER_SIZE + std::uint64_t(bigLong(file, TEXT_SIZE_FIELD)) + layout.tail;
    if (length < counted && counted <= MOST_PROGRAM_BYTES)
        return Problem{format("the file is cut short: %llu bytes, where its text size counts %llu "
                              "(with the %d-byte header and the %llu-byte player tail)",
                              ull(length), ull(counted), EXECUTABLE_HEADER_SIZE, ull(layout.tail)),
                       TEXT_SIZE_FIELD};
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

namespace {

// Offset of the first pair from `from` on, before `limit`, that `ends` says ends the stream;
// read two bytes at a time, the pair after an ADPCM start being its sample number.
template <typename Ends>
std::optional<std::uint64_t> findPair(const Bytes& file, PlayerKind player, std::uint64_t from,
                                      std::uint64_t limit, Ends ends) {
    for (std::uint64_t at = from; at + 2 <= limit; at += 2) {
        const PairGroup group = pairGroup(player, file[at], file[at + 1]);
        if (ends(group)) return at;
        if (group == PairGroup::adpcmStart) at += 2;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> findEndMarker(const Bytes& file, PlayerKind player, std::uint64_t from,
                                           std::uint64_t limit) {
    return findPair(file, player, from, limit,
                    [](PairGroup g) { return g == PairGroup::endMarker; });
}

// The fade's last pair: the player ends the song at 00 F8, or at a reserved 00 F9-00 FD.
std::optional<std::uint64_t> findFadeEnd(const Bytes& file, std::uint64_t from,
                                         std::uint64_t limit) {
    return findPair(file, PlayerKind::full, from, limit, [](PairGroup g) {
        return g == PairGroup::fadeEnd || g == PairGroup::reserved;
    });
}

// The longest a time line gets: m:ss of at most 65535 seconds ("1092:15") and a pass of at
// most 65535; the player draws it after a CR into 128 bytes, NUL included.
constexpr std::size_t TIME_LINE_ROOM = 128 - 2;
constexpr std::size_t TIME_WIDTH = 7;
constexpr std::size_t PASS_WIDTH = 5;

}  // namespace

std::optional<Problem> readDisplayBlock(const Bytes& file, std::uint64_t fieldOffset,
                                        std::uint64_t end, const char* endName,
                                        std::optional<DisplayBlock>& display) {
    display.reset();
    const std::uint32_t field = bigLong(file, fieldOffset);
    if (field == 0) return std::nullopt;
    const std::uint64_t at = EXECUTABLE_HEADER_SIZE + std::uint64_t(field);
    const std::uint64_t tail = end;
    if (at < FULL_PLAYER_HEAD_SIZE + 2 || at % 2 != 0 || at + 2 > tail)
        return Problem{format("the display block at text offset 0x%X is not between the stream "
                              "and the %s (text offsets 0x%X to 0x%llX)",
                              unsigned(field), endName,
                              unsigned(FULL_PLAYER_HEAD_SIZE + 2 - EXECUTABLE_HEADER_SIZE),
                              ull(std::max<std::uint64_t>(tail, EXECUTABLE_HEADER_SIZE + 2) - 2 -
                                  EXECUTABLE_HEADER_SIZE)),
                       fieldOffset};
    const auto begin = file.begin() + long(at), stop = file.begin() + long(tail);
    const auto headerEnd = std::find(begin, stop, 0);
    const auto lineEnd = headerEnd == stop ? stop : std::find(headerEnd + 1, stop, 0);
    if (lineEnd == stop)
        return Problem{"the display block has no NUL after its " +
                           std::string(headerEnd == stop ? "header" : "time line"),
                       at};
    if (stop - lineEnd > 2 || (stop - lineEnd == 2 && lineEnd[1] != 0))
        return Problem{std::to_string(stop - lineEnd - 1) +
                           " bytes follow the display block's time line where the " + endName +
                           " belongs",
                       std::uint64_t(lineEnd + 1 - file.begin())};
    DisplayBlock block{at, tail - at, std::string(begin, headerEnd),
                       std::string(headerEnd + 1, lineEnd)};
    std::size_t drawn = 0;
    for (char c : block.timeLine)
        drawn += c == PATTERN_TIME ? TIME_WIDTH : c == PATTERN_PASS ? PASS_WIDTH : 1;
    if (drawn > TIME_LINE_ROOM)
        return Problem{format("the time line draws up to %zu bytes, more than the player's "
                              "%zu",
                              drawn, TIME_LINE_ROOM),
                       std::uint64_t(headerEnd + 1 - file.begin())};
    display = std::move(block);
    return std::nullopt;
}

namespace {

// Reads the pairs from `from` up to and including the one at `last`; `loopAt` keeps the loop
// marker seen.
std::optional<Problem> readPairs(const Bytes& file, std::uint64_t from, std::uint64_t last,
                                 PlayerKind player, std::vector<StreamPair>& pairs,
                                 std::optional<std::uint64_t>& loopAt) {
    bool number = false;
    for (std::uint64_t at = from; at <= last; at += 2) {
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
            (at >= FULL_PLAYER_BANK_OFFSET && at < FULL_PLAYER_ALBUM_OFFSET + 4);
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

std::optional<Problem> readSongStream(const Bytes& file, PlayerKind player, std::uint64_t from,
                                      std::uint64_t markerLimit, std::uint64_t fadeLimit,
                                      std::uint16_t loops, ExecutableStream& stream,
                                      std::uint64_t& streamEnd) {
    const std::optional<std::uint64_t> end = findEndMarker(file, player, from, markerLimit);
    if (!end)
        return Problem{"no end marker (00 FF) in the stream that starts at " + hexOffset(from),
                       markerLimit};
    std::optional<std::uint64_t> loopAt;
    if (auto problem = readPairs(file, from, *end, player, stream.pairs, loopAt)) return problem;
    // After the last pass of a loop the player goes on past the end marker: the fade, through
    // the 00 F8 that ends the song.
    streamEnd = *end + 2;
    if (loops > 0 && loopAt && streamEnd < fadeLimit) {
        const std::optional<std::uint64_t> fadeEnd = findFadeEnd(file, streamEnd, fadeLimit);
        if (!fadeEnd)
            return Problem{
                "the fade after the end marker has no end (00 F8) before " + hexOffset(fadeLimit),
                streamEnd};
        const std::size_t passPairs = stream.pairs.size();
        if (auto problem = readPairs(file, streamEnd, *fadeEnd, player, stream.pairs, loopAt))
            return problem;
        stream.fadePairs = stream.pairs.size() - passPairs;
        streamEnd = *fadeEnd + 2;
    }
    return std::nullopt;
}

std::optional<Problem> readExecutable(const Bytes& file, ExecutableStream& stream) {
    stream = ExecutableStream{};
    const PlayerKind player = hasFullPlayerHead(file) ? PlayerKind::full : PlayerKind::classic;
    const Layout layout = layoutOf(player);
    if (auto problem = checkLayout(file, player)) return problem;
    if (player == PlayerKind::full && bigLong(file, FULL_PLAYER_ALBUM_OFFSET) != 0)
        return Problem{"an album of several songs, not one song", FULL_PLAYER_ALBUM_OFFSET};
    std::optional<DrumBank> bank;
    std::optional<DisplayBlock> display;
    std::uint16_t loops = 0;
    if (player == PlayerKind::full) {
        if (auto problem = readDisplayBlock(file, FULL_PLAYER_DISPLAY_OFFSET,
                                            file.size() - layout.tail, "player tail", display))
            return problem;
        const std::uint64_t bankEnd = display ? display->at : file.size() - layout.tail;
        if (auto problem = readDrumBank(file, bankEnd, bank)) return problem;
        loops =
            std::uint16_t(file[FULL_PLAYER_LOOPS_OFFSET] << 8 | file[FULL_PLAYER_LOOPS_OFFSET + 1]);
    }
    // Where the stream (and the fade) must end: the bank, the display block or the tail.
    const bool parts = bank || display;
    const std::uint64_t partsAt = bank      ? bank->at
                                  : display ? display->at
                                            : file.size() - layout.tail;
    std::uint64_t streamEnd = 0;
    if (auto problem = readSongStream(file, player, layout.head, parts ? partsAt : file.size(),
                                      partsAt, loops, stream, streamEnd))
        return problem;
    const char* const ending = stream.fadePairs > 0 ? "the fade's end" : "the end marker";
    if (parts && streamEnd != partsAt)
        return Problem{std::to_string(partsAt - streamEnd) + " bytes lie between " + ending +
                           " and the " + (bank ? "drums' bank" : "display block") + " at " +
                           hexOffset(partsAt),
                       streamEnd};
    const std::uint64_t after =
        file.size() - streamEnd - (bank ? bank->size : 0) - (display ? display->size : 0);
    if (after != layout.tail)
        return Problem{std::to_string(after) + " bytes follow " + ending + " where the " +
                           std::to_string(layout.tail) + "-byte player tail belongs",
                       streamEnd};

    stream.player = player;
    stream.length = file.size();
    stream.streamOffset = layout.head;
    stream.tailSize = layout.tail;
    stream.loops = loops;
    stream.bank = std::move(bank);
    stream.display = std::move(display);
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
