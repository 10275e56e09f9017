#include "dump/album/album.hpp"

#include <algorithm>

#include "driver/executable.hpp"
#include "dump/text_format.hpp"
#include "full/player/full_player.hpp"

namespace {

constexpr std::uint64_t TEXT_START = EXECUTABLE_HEADER_SIZE;  // file offset of text offset 0

std::uint32_t bigLong(const Bytes& file, std::uint64_t at) {
    return std::uint32_t(file[at] << 24 | file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3]);
}

std::uint16_t bigWord(const Bytes& file, std::uint64_t at) {
    return std::uint16_t(file[at] << 8 | file[at + 1]);
}

// A part of the album after the head, in the order the converter writes them.
struct Part {
    std::uint64_t at;           // file offset
    std::uint64_t fieldOffset;  // of the long word that gives it
    std::string name;
};

std::string textOffset(std::uint64_t at) {
    return format("text offset 0x%llX", ull(at - TEXT_START));
}

// An offset of the table: even and between the head's end and the table.
std::optional<Problem> checkOffset(const Bytes& file, std::uint64_t fieldOffset,
                                   std::uint64_t tableAt, const std::string& name) {
    const std::uint64_t at = TEXT_START + bigLong(file, fieldOffset);
    if (at % 2 == 0 && at >= FULL_PLAYER_HEAD_SIZE && at < tableAt) return std::nullopt;
    return Problem{format("%s at %s is %s", name.c_str(), textOffset(at).c_str(),
                          at % 2 != 0 ? "odd"
                                      : ("not between the head's end and the table (" +
                                         textOffset(FULL_PLAYER_HEAD_SIZE) + " to " +
                                         textOffset(tableAt) + ")")
                                            .c_str()),
                   fieldOffset};
}

std::optional<Problem> readTable(const Bytes& file, Album& album) {
    const std::uint64_t tail = file.size() - FULL_PLAYER_TAIL_SIZE;
    const std::uint64_t tableAt = TEXT_START + bigLong(file, FULL_PLAYER_ALBUM_OFFSET);
    if (tableAt % 2 != 0 || tableAt < FULL_PLAYER_HEAD_SIZE + 2 || tableAt + 4 > tail)
        return Problem{
            "the album's table at " + textOffset(tableAt) + " is " +
                (tableAt % 2 != 0 ? std::string("at an odd offset")
                                  : "not between the first stream and the player "
                                    "tail (" +
                                        textOffset(FULL_PLAYER_HEAD_SIZE + 2) + " to " +
                                        textOffset(std::max(tail, TEXT_START + 4) - 4) + ")"),
            FULL_PLAYER_ALBUM_OFFSET};
    const unsigned count = bigWord(file, tableAt);
    if (count == 0 || count > unsigned(FULL_ALBUM_MOST_TRACKS))
        return Problem{format("the album's table counts %u tracks, not 1 to %d", count,
                              FULL_ALBUM_MOST_TRACKS),
                       tableAt};
    const std::uint64_t tableEnd = tableAt + 4 + count * FULL_ALBUM_ENTRY_SIZE;
    if (tableEnd > tail)
        return Problem{format("the album's table of %u tracks runs %llu bytes into the player "
                              "tail",
                              count, ull(tableEnd - tail)),
                       tableAt};
    if (tableEnd < tail)
        return Problem{format("%llu bytes follow the album's table where the player tail belongs",
                              ull(tail - tableEnd)),
                       tableEnd};
    album.tableAt = tableAt;
    album.flags = bigWord(file, tableAt + 2);
    album.tracks.resize(count);
    return std::nullopt;
}

std::uint64_t entryAt(const Album& album, std::size_t index) {
    return album.tableAt + 4 + index * FULL_ALBUM_ENTRY_SIZE;
}

// The parts in the order the converter writes them; each must start after the one before.
std::optional<Problem> orderParts(const Bytes& file, const Album& album, std::vector<Part>& parts) {
    const std::size_t count = album.tracks.size();
    const auto add = [&](std::uint64_t fieldOffset, std::string name) {
        parts.push_back({TEXT_START + bigLong(file, fieldOffset), fieldOffset, std::move(name)});
    };
    for (std::size_t i = 0; i < count; ++i) {
        const std::string name = format("track %zu's stream", i + 1);
        if (auto problem = checkOffset(file, entryAt(album, i), album.tableAt, name))
            return problem;
        add(entryAt(album, i), name);
    }
    if (parts[0].at != FULL_PLAYER_HEAD_SIZE)
        return Problem{"track 1's stream at " + textOffset(parts[0].at) +
                           " does not start at the head's end, " +
                           textOffset(FULL_PLAYER_HEAD_SIZE),
                       parts[0].fieldOffset};
    if (bigLong(file, FULL_PLAYER_BANK_OFFSET) != 0) add(FULL_PLAYER_BANK_OFFSET, "drums' bank");
    if (bigLong(file, FULL_PLAYER_DISPLAY_OFFSET) != 0)
        add(FULL_PLAYER_DISPLAY_OFFSET, "album's display block");
    for (std::size_t i = 0; i < count; ++i) {
        if (bigLong(file, entryAt(album, i) + 4) == 0) continue;
        const std::string name = format("track %zu's display block", i + 1);
        if (auto problem = checkOffset(file, entryAt(album, i) + 4, album.tableAt, name))
            return problem;
        add(entryAt(album, i) + 4, name);
    }
    for (std::size_t i = 1; i < parts.size(); ++i)
        if (parts[i].at <= parts[i - 1].at)
            return Problem{"the " + parts[i].name + " at " + textOffset(parts[i].at) +
                               " does not follow the " + parts[i - 1].name + " at " +
                               textOffset(parts[i - 1].at),
                           parts[i].fieldOffset};
    parts.push_back({album.tableAt, FULL_PLAYER_ALBUM_OFFSET, "album's table"});
    return std::nullopt;
}

// The end of the part at parts[index]: where the next begins.
std::uint64_t partEnd(const std::vector<Part>& parts, std::size_t index) {
    return parts[index + 1].at;
}

}  // namespace

bool isAlbumProgram(const Bytes& file) {
    return hasFullPlayerHead(file) && bigLong(file, FULL_PLAYER_ALBUM_OFFSET) != 0;
}

std::optional<Problem> readAlbum(const Bytes& file, Album& album) {
    album = Album{};
    if (!isAlbumProgram(file))
        return Problem{
            "not an album of opmcast-full: its album field is 0 or it has another "
            "player",
            FULL_PLAYER_ALBUM_OFFSET};
    if (auto problem = checkLayout(file, PlayerKind::full)) return problem;
    if (auto problem = readTable(file, album)) return problem;
    if (bigWord(file, FULL_PLAYER_LOOPS_OFFSET) != 0)
        return Problem{"the head's passes are not 0: an album's tracks have theirs in its table",
                       FULL_PLAYER_LOOPS_OFFSET};
    std::vector<Part> parts;
    if (auto problem = orderParts(file, album, parts)) return problem;
    const std::size_t count = album.tracks.size();
    // The display blocks, from the last back, each running to the part after it.
    std::size_t next = parts.size() - 1;  // the table
    for (std::size_t i = count; i-- > 0;) {
        const std::uint64_t field = entryAt(album, i) + 4;
        if (bigLong(file, field) == 0) continue;
        --next;
        if (auto problem = readDisplayBlock(file, field, partEnd(parts, next),
                                            parts[next + 1].name.c_str(), album.tracks[i].display))
            return problem;
    }
    if (bigLong(file, FULL_PLAYER_DISPLAY_OFFSET) != 0) {
        --next;
        if (auto problem = readDisplayBlock(file, FULL_PLAYER_DISPLAY_OFFSET, partEnd(parts, next),
                                            parts[next + 1].name.c_str(), album.display))
            return problem;
    }
    if (bigLong(file, FULL_PLAYER_BANK_OFFSET) != 0) {
        --next;
        if (auto problem = readDrumBank(file, partEnd(parts, next), album.bank)) return problem;
    }
    for (std::size_t i = 0; i < count; ++i) {
        ExecutableStream& track = album.tracks[i];
        const std::uint64_t from = parts[i].at, end = partEnd(parts, i);
        track.loops = bigWord(file, entryAt(album, i) + 8);
        std::uint64_t streamEnd = 0;
        if (auto problem = readSongStream(file, PlayerKind::full, from, end, end, track.loops,
                                          track, streamEnd))
            return problem;
        if (streamEnd != end)
            return Problem{format("%llu bytes lie between track %zu's %s and the %s at %s",
                                  ull(end - streamEnd), i + 1,
                                  track.fadePairs > 0 ? "fade's end" : "end marker",
                                  parts[i + 1].name.c_str(), hexOffset(end).c_str()),
                           streamEnd};
        track.player = PlayerKind::full;
        track.length = file.size();
        track.streamOffset = from;
        track.tailSize = FULL_PLAYER_TAIL_SIZE;
    }
    album.length = file.size();
    album.sizeField = bigLong(file, TEXT_SIZE_FIELD);
    const std::uint64_t expected = album.length - TEXT_START - FULL_PLAYER_TAIL_SIZE;
    if (album.sizeField != expected)
        return Problem{format("text size 0x%08X is not the file length less %llu (0x%08X)",
                              unsigned(album.sizeField), ull(TEXT_START + FULL_PLAYER_TAIL_SIZE),
                              unsigned(expected)),
                       TEXT_SIZE_FIELD};
    for (ExecutableStream& track : album.tracks) track.sizeField = album.sizeField;
    return std::nullopt;
}

ExecutableStream albumTrack(const Album& album, std::size_t index) {
    ExecutableStream track = album.tracks[index];
    track.bank = album.bank;
    return track;
}
