#include "dump/album/album_report.hpp"

#include <set>

#include "driver/executable.hpp"
#include "dump/json_line.hpp"
#include "dump/program/drum_report.hpp"
#include "dump/program/stream_report.hpp"
#include "dump/text_format.hpp"
#include "full/player/full_player.hpp"

namespace {

// The first line of the track's display header as a terminal shows it, or "".
std::string titleOf(const ExecutableStream& track) {
    if (!track.display) return "";
    const std::string header = displayText(track.display->header);
    return header.substr(0, header.find('\n'));
}

// The shared bank's samples that play, and those that more than one track starts.
struct SharedDrums {
    std::uint64_t samples = 0;
    std::uint64_t shared = 0;
    std::uint64_t bytes = 0;
};

SharedDrums sharedDrums(const Album& album) {
    SharedDrums drums;
    if (!album.bank) return drums;
    for (const DrumSample& sample : album.bank->samples)
        if (sample.bytes > 0) ++drums.samples;
    drums.bytes = album.bank->size;
    std::vector<unsigned> tracksStarting(album.bank->samples.size());
    for (const ExecutableStream& track : album.tracks) {
        std::set<std::uint16_t> started;
        for (std::size_t i = 0; i < track.pairs.size(); ++i)
            if (streamPairGroup(PlayerKind::full, track.pairs[i]) == PairGroup::adpcmStart &&
                startedSample(album.bank, sampleNumberAfter(track, i)))
                started.insert(sampleNumberAfter(track, i));
        for (std::uint16_t n : started) ++tracksStarting[n];
    }
    for (unsigned count : tracksStarting)
        if (count > 1) ++drums.shared;
    return drums;
}

double playedSeconds(const ExecutableStream& track) {
    return stepToSeconds(PlayerKind::full, playedSteps(track, streamStats(track)));
}

std::string headingText(const Album& album, std::size_t index) {
    return format("\ntrack %zu of %zu\n", index + 1, album.tracks.size());
}

std::string tableHeadingText() {
    return "track    offset   pairs    length  loop       passes  fade       title\n";
}

std::string rowText(const Album& album, std::size_t index) {
    const ExecutableStream track = albumTrack(album, index);
    const StreamStats stats = streamStats(track);
    const std::string loop =
        stats.loops ? format("at %.3f", stepToSeconds(PlayerKind::full, stats.loopStep))
                    : std::string("none");
    const std::string passes = !stats.loops       ? std::string("once")
                               : track.loops == 0 ? std::string("key")
                                                  : std::to_string(track.loops);
    const std::string fade =
        track.fadePairs > 0 ? format("%.3f s", stepToSeconds(PlayerKind::full, stats.fadeSteps))
                            : std::string("-");
    std::string row = format("%5zu %9s %7llu %7.3f s  %-10s %-7s %-10s %s", index + 1,
                             hexOffset(track.streamOffset).c_str(), ull(stats.pairs),
                             stepToSeconds(PlayerKind::full, stats.steps), loop.c_str(),
                             passes.c_str(), fade.c_str(), titleOf(track).c_str());
    row.erase(row.find_last_not_of(' ') + 1);
    return row + "\n";
}

}  // namespace

std::string albumTableText(const Album& album) {
    const std::size_t count = album.tracks.size();
    double total = 0;
    for (const ExecutableStream& track : album.tracks) total += playedSeconds(track);
    std::string text =
        format("player     full (opmcast-full), an album of %zu track%s\n", count,
               count == 1 ? "" : "s") +
        format("length     %llu bytes\n", ull(album.length)) +
        format("text size  %u (0x%08X) at offset %d, the length less %llu\n",
               unsigned(album.sizeField), unsigned(album.sizeField), TEXT_SIZE_FIELD,
               ull(EXECUTABLE_HEADER_SIZE + FULL_PLAYER_TAIL_SIZE)) +
        format("table      at offset %s, flags 0x%04X: %s\n", hexOffset(album.tableAt).c_str(),
               unsigned(album.flags),
               (album.flags & 1) ? "starts again at track 1 after the last"
                                 : "ends after the last track") +
        format("total      %.3f s (a track that loops until a key counted once through)\n", total);
    if (album.bank) {
        const SharedDrums drums = sharedDrums(album);
        text += drumBankLine(albumTrack(album, 0)) +
                format(
                    "shared     %llu of its %llu samples that play are started by more than "
                    "one track\n",
                    ull(drums.shared), ull(drums.samples));
    } else {
        text += "drums      none\n";
    }
    if (album.display) {
        text += "display    the album's header:\n";
        const std::string header = displayText(album.display->header);
        for (std::size_t at = 0; at < header.size();) {
            const std::size_t end = std::min(header.find('\n', at), header.size());
            text += "  " + header.substr(at, end - at) + "\n";
            at = end + 1;
        }
    } else {
        text += "display    none\n";
    }
    text += "\n" + tableHeadingText();
    for (std::size_t i = 0; i < count; ++i) text += rowText(album, i);
    return text;
}

std::string albumTrackText(const Album& album, std::size_t index, bool summary) {
    const ExecutableStream track = albumTrack(album, index);
    return headingText(album, index) + tableHeadingText() + rowText(album, index) + "\n" +
           (summary ? summaryText(track) : timelineText(track));
}

std::string albumDumpText(const Album& album) {
    std::string text = albumTableText(album);
    for (std::size_t i = 0; i < album.tracks.size(); ++i)
        text += headingText(album, i) + timelineText(albumTrack(album, i));
    return text;
}

std::string albumSummaryText(const Album& album) {
    std::string text = albumTableText(album);
    for (std::size_t i = 0; i < album.tracks.size(); ++i)
        text += headingText(album, i) + summaryText(albumTrack(album, i));
    return text;
}

namespace {

// A track's object: its number, offsets and title, then a song's summary fields.
JsonLine trackJson(const Album& album, std::size_t index) {
    const ExecutableStream track = albumTrack(album, index);
    JsonLine line;
    jsonNumber(line, "track", index + 1);
    jsonNumber(line, "streamOffset", track.streamOffset);
    jsonText(line, "title", titleOf(track));
    jsonSeconds(line, "playedSeconds", playedSeconds(track));
    summaryFields(line, track);
    return line;
}

}  // namespace

std::string albumJson(const Album& album, bool summaryOnly) {
    JsonLine line;
    jsonText(line, "type", "album");
    jsonText(line, "player", "full");
    jsonNumber(line, "length", album.length);
    jsonNumber(line, "textSize", album.sizeField);
    jsonNumber(line, "tableOffset", album.tableAt);
    jsonNumber(line, "tracks", album.tracks.size());
    jsonBool(line, "repeat", (album.flags & 1) != 0);
    double total = 0;
    for (const ExecutableStream& track : album.tracks) total += playedSeconds(track);
    jsonSeconds(line, "seconds", total);
    if (album.bank) {
        const SharedDrums drums = sharedDrums(album);
        JsonLine shared;
        jsonNumber(shared, "offset", album.bank->at);
        jsonNumber(shared, "samples", drums.samples);
        jsonNumber(shared, "shared", drums.shared);
        jsonNumber(shared, "bytes", drums.bytes);
        jsonObject(line, "drums", shared);
    } else {
        jsonNull(line, "drums");
    }
    if (album.display) {
        jsonText(line, "display", displayText(album.display->header));
    } else {
        jsonNull(line, "display");
    }
    std::string list = "[";
    for (std::size_t i = 0; i < album.tracks.size(); ++i)
        list += (i > 0 ? "," : "") + trackJson(album, i).text + "}";
    jsonRaw(line, "table", list + "]");
    std::string text = jsonEnd(line);
    if (summaryOnly) return text;
    for (std::size_t i = 0; i < album.tracks.size(); ++i)
        text += pairsJson(albumTrack(album, i), i + 1);
    return text;
}

std::string albumTrackJson(const Album& album, std::size_t index, bool summaryOnly) {
    JsonLine line = trackJson(album, index);
    line.text.insert(1, "\"type\":\"track\",");
    jsonNumber(line, "of", album.tracks.size());
    std::string text = jsonEnd(line);
    if (summaryOnly) return text;
    return text + pairsJson(albumTrack(album, index), index + 1);
}
