// libFuzzer target for the album table of opmcast-full: an album of three small tracks (a
// drum sample they share, a display block, a loop with passes and a fade) whose table, and
// with the first byte's bit 0 also the head's fields at 66-79, come from the input (bit 2:
// XORed into the table as built). opmdump's
// reader must report a problem or an album whose every part holds together, and its reports
// and export must run; the simulator's reader (decodeAlbum) must not crash and must accept
// what opmdump accepts; and the player itself, run on the emulated machine, must refuse a
// table its check refuses before any write and play an accepted album as its table says.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dump/album/album.hpp"
#include "dump/album/album_report.hpp"
#include "dump/program/vgm_export.hpp"
#include "full/player/full_player.hpp"
#include "player/player_writes.hpp"
#ifdef OPMCAST_FUZZ_SIM
#include "sim/opm_sim.hpp"
#endif

namespace {

constexpr std::size_t HEAD_FIELDS_AT = FULL_PLAYER_BANK_OFFSET;  // bank, display, passes, album
constexpr std::size_t HEAD_FIELDS_SIZE = FULL_PLAYER_ALBUM_OFFSET + 4 - HEAD_FIELDS_AT;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "album property violated: %s\n", what.c_str());
    std::abort();
}

Bytes baseAlbum() {
    std::vector<FullAlbumTrack> tracks(3);
    tracks[0].stream = {0x08, 0x00, 0x00, 0x03, 0x00, 0xF3, 0x00, 0x00, 0x00, 0x01, 0x00, 0xFF};
    tracks[0].display = {'O', 'n', 'e', '\r', '\n', 0, 0x01, 0};
    tracks[1].stream = {0x00, 0xF3, 0x00, 0x00, 0x00, 0x02, 0x00, 0xFE, 0x08,
                        0x78, 0x00, 0x04, 0x00, 0xFF, 0x60, 0x7F, 0x00, 0xF8};
    tracks[1].loops = 1;
    tracks[2].stream = {0x00, 0x00, 0x00, 0xFF};
    std::vector<FullBankSample> samples(1);
    samples[0].bytes = {0x12, 0x34, 0x56, 0x78};
    const Bytes albumDisplay = {'A', '\r', '\n', 0, 0, 0};
    return buildFullAlbum(tracks, fullBankBytes(samples), albumDisplay, false);
}

std::uint32_t bigLong(const Bytes& file, std::size_t at) {
    return std::uint32_t(file[at] << 24 | file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3]);
}

// What an album opmdump accepts must hold: every track a stream of pairs in the text, ending
// with its end marker (or its fade's end) where the next part begins.
void checkAlbum(const Bytes& file, const Album& album) {
    if (album.tracks.empty() || album.tracks.size() > std::size_t(FULL_ALBUM_MOST_TRACKS))
        fail("track count out of range");
    if (album.tableAt + 4 + album.tracks.size() * FULL_ALBUM_ENTRY_SIZE + FULL_PLAYER_TAIL_SIZE !=
        file.size())
        fail("table does not end at the tail");
    std::uint64_t expected = FULL_PLAYER_HEAD_SIZE;
    for (const ExecutableStream& track : album.tracks) {
        if (track.pairs.empty() || track.streamOffset != expected) fail("track out of place");
        const StreamPair& last = track.pairs[passPairs(track) - 1];
        if (last.first != 0x00 || last.second != 0xFF) fail("a pass without its end marker");
        expected = track.pairs.back().offset + 2;
        if (expected > album.tableAt) fail("a track runs into the table");
    }
    std::string text = albumDumpText(album) + albumSummaryText(album) + albumJson(album, false);
    for (std::size_t i = 0; i < album.tracks.size(); ++i)
        text += albumTrackJson(album, i, false) + albumTrackText(album, i, true);
    Bytes vgm;
    if (!exportAlbumVgm(album, vgm) && (vgm.size() < 0x80 || vgm.back() != 0x66))
        fail("export without its end");
}

#ifdef OPMCAST_FUZZ_SIM
// Whether the player's own check of the table passes: the table inside the text after its
// code, 1 to 999 tracks, every offset (the album's display block's too) even and between its
// code and the table.
bool playerTakesTable(const Bytes& file) {
    const std::uint32_t table = bigLong(file, FULL_PLAYER_ALBUM_OFFSET);
    const std::size_t at = 64 + std::size_t(table), textEnd = file.size() - FULL_PLAYER_TAIL_SIZE;
    const std::uint32_t codeEnd = FULL_PLAYER_HEAD_SIZE - 64;
    const auto within = [&](std::uint32_t offset, std::uint64_t end) {
        return offset % 2 == 0 && offset >= codeEnd && offset < end;
    };
    if (table == 0) return true;
    if (!within(table, textEnd - 64) || at + 4 > textEnd) return false;
    const unsigned tracks = unsigned(file[at] << 8 | file[at + 1]);
    if (tracks == 0 || tracks > unsigned(FULL_ALBUM_MOST_TRACKS)) return false;
    if (at + 4 + tracks * FULL_ALBUM_ENTRY_SIZE > textEnd) return false;
    for (unsigned i = 0; i < tracks; ++i) {
        const std::size_t entry = at + 4 + i * FULL_ALBUM_ENTRY_SIZE;
        for (int field = 0; field < 2; ++field) {
            const std::uint32_t offset = bigLong(file, entry + 4 * std::size_t(field));
            if ((field == 0 || offset != 0) && !within(offset, table)) return false;
        }
    }
    const std::uint32_t display = bigLong(file, FULL_PLAYER_DISPLAY_OFFSET);
    return display == 0 || within(display, table);
}

// The player itself on the emulated machine: a table it refuses ends the program before any
// write; an album opmdump reads plays as its table says, q quitting one that loops on.
void runPlayer(const Bytes& file, bool accepted) {
    const std::size_t text = file.size() - 64 - FULL_PLAYER_TAIL_SIZE;
    if (text % 2 != 0 || bigLong(file, 12) != text) return;  // a program Human68k would not load
    const bool refused = !playerTakesTable(file);
    if (!refused && !accepted) return;  // parts the player does not check are broken
    opmsim::SimOptions options;
    options.timeLimitNs = 3'000'000'000;
    options.keys = {{1'000'000'000, std::uint16_t('q')}};
    const opmsim::SimResult result = opmsim::runProgram(file, options);
    if (refused) {
        if (!result.exited || result.exitCode != 0 || !result.writes.empty())
            fail("the player played a table it should refuse (" +
                 std::to_string(result.writes.size()) + " writes, " +
                 (result.errors.empty() ? std::string("no error") : result.errors.front()) + ")");
        return;
    }
    const std::optional<opmsim::AlbumTable> album = opmsim::decodeAlbum(file);
    const opmsim::AlbumCheck check = opmsim::checkAlbumReplay(*album, result);
    if (!check.problems.empty()) fail("the player's run: " + check.problems.front());
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Bytes base = baseAlbum();
    static const std::size_t tableAt = 64 + bigLong(base, FULL_PLAYER_ALBUM_OFFSET);
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    ++data, --size;
    Bytes file(base.begin(), base.begin() + long(tableAt));
    if ((mode & 1) && size >= HEAD_FIELDS_SIZE) {
        std::copy(data, data + HEAD_FIELDS_SIZE, file.begin() + long(HEAD_FIELDS_AT));
        data += HEAD_FIELDS_SIZE, size -= HEAD_FIELDS_SIZE;
    }
    // The table from the input, or with bit 2 the table as built with the input XORed into it
    // (and beyond it appended); then the player tail. Bit 1 keeps the text size as built.
    if (mode & 4) {
        Bytes table(base.begin() + long(tableAt), base.end() - long(FULL_PLAYER_TAIL_SIZE));
        for (std::size_t i = 0; i < size; ++i)
            if (i < table.size()) {
                table[i] ^= data[i];
            } else {
                table.push_back(data[i]);
            }
        file.insert(file.end(), table.begin(), table.end());
    } else {
        file.insert(file.end(), data, data + size);
    }
    file.insert(file.end(), base.end() - long(FULL_PLAYER_TAIL_SIZE), base.end());
    if (!(mode & 2)) {
        const std::uint32_t text = std::uint32_t(file.size() - 64 - FULL_PLAYER_TAIL_SIZE);
        for (int i = 0; i < 4; ++i) file[std::size_t(12 + i)] = std::uint8_t(text >> (24 - 8 * i));
    }
    Album album;
    const bool accepted = isAlbumProgram(file) && !readAlbum(file, album);
    if (accepted) checkAlbum(file, album);
#ifdef OPMCAST_FUZZ_SIM
    const std::optional<opmsim::AlbumTable> decoded = opmsim::decodeAlbum(file);
    if (accepted && opmsim::fullPlayerHasAlbumField()) {
        if (!decoded || !decoded->error.empty())
            fail("the simulator rejects an album opmdump reads: " +
                 (decoded ? decoded->error : std::string("no album")));
        if (decoded->tracks.size() != album.tracks.size()) fail("track counts differ");
    }
    if (opmsim::fullPlayerHasAlbumField()) runPlayer(file, accepted);
#endif
    return 0;
}
