#include "full/driver/album.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <unordered_map>

#include "full/driver/conversion_plan.hpp"
#include "full/driver/convert_log.hpp"
#include "full/driver/summary.hpp"
#include "full/driver/write_errors.hpp"
#include "full/player/full_player.hpp"
#include "full/translate/adpcm_bank.hpp"

namespace {

namespace fs = std::filesystem;

// The tracks' drums, each distinct sample (the same values at the same rate) once.
struct SamplePool {
    std::vector<DacSample> samples;
    std::unordered_multimap<std::uint64_t, std::uint32_t> byHash;
    std::vector<int> tracks;     // how many tracks play each
    std::vector<int> lastTrack;  // the last track that counted in `tracks`
};

// FNV-1a over the rate and the values.
std::uint64_t sampleHash(const DacSample& sample) {
    std::uint64_t hash = 14695981039346656037ull;
    const auto mix = [&hash](std::uint8_t byte) { hash = (hash ^ byte) * 1099511628211ull; };
    for (int shift = 0; shift < 32; shift += 8) mix(std::uint8_t(sample.rate >> shift));
    for (const std::uint8_t value : sample.values) mix(value);
    return hash;
}

// The pool's numbers for a track's samples; those new to the pool move into it.
std::vector<std::uint32_t> poolSamples(SamplePool& pool, std::vector<DacSample>& samples,
                                       int track) {
    std::vector<std::uint32_t> numbers;
    for (DacSample& sample : samples) {
        const std::uint64_t hash = sampleHash(sample);
        auto number = std::uint32_t(pool.samples.size());
        for (auto [it, end] = pool.byHash.equal_range(hash); it != end; ++it) {
            const DacSample& pooled = pool.samples[it->second];
            if (pooled.rate == sample.rate && pooled.values == sample.values) {
                number = it->second;
                break;
            }
        }
        if (number == pool.samples.size()) {
            pool.byHash.emplace(hash, number);
            pool.samples.push_back(std::move(sample));
            pool.tracks.push_back(0);
            pool.lastTrack.push_back(-1);
        }
        if (pool.lastTrack[number] != track) ++pool.tracks[number];
        pool.lastTrack[number] = track;
        numbers.push_back(number);
    }
    return numbers;
}

struct Track {
    std::string input;
    ConvertResult result;
    int drumSamples = 0;  // the track's own, shared or not
    SongStream song;
};

std::string join(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
    return text;
}

// "  3 sonic1.vgm \"Green Hill Zone\": 52.8 s, ...; drums: 3 samples", and what was left out.
std::string trackLines(int number, const Track& track) {
    std::vector<std::string> parts = songParts(track.result);
    if (track.drumSamples > 0)
        parts.push_back("drums: " + std::to_string(track.drumSamples) +
                        (track.drumSamples == 1 ? " sample" : " samples"));
    char head[16];
    std::snprintf(head, sizeof head, "%3d ", number);
    const std::string& title = track.result.title;
    return head + track.input + (title.empty() ? "" : " \"" + title + "\"") + ": " + join(parts) +
           "\n" + leftOutLine(track.result);
}

// The track list's name of a track: its title, in the language the screen prefers, or its
// log's file name.
std::string listedName(const Track& track, bool japanese) {
    const Gd3Tag& tag = track.song.tag;
    const std::string& first = japanese ? tag.titleJapanese : tag.titleEnglish;
    const std::string& second = japanese ? tag.titleEnglish : tag.titleJapanese;
    if (track.song.tagged && !first.empty()) return first;
    if (track.song.tagged && !second.empty()) return second;
    return track.song.shown.fileName;
}

// The album's display block: the keys, then a line a track ("   1  Title", the first column
// left for the player's mark of the track playing); the time line's pattern empty. The player
// shows the keys and a window of the list at each track's start.
// A data disk's album says which disk it is on the keys' line.
std::vector<std::uint8_t> albumBlock(const std::vector<Track>& tracks, bool japanese,
                                     const std::string& diskLabel) {
    std::string block =
        diskLabel.empty()
            ? "N next   P previous (or restart)   1-9 track   SPACE pause   Q quit\r\n"
            : "N next  P previous  1-9 track  SPACE pause  Q quit   " + diskLabel + "\r\n";
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%4d  ", int(i + 1));
        block += screenText(number + listedName(tracks[i], japanese), japanese) + "\r\n";
    }
    block += std::string(2, '\0');
    if (block.size() % 2 != 0) block += '\0';
    return std::vector<std::uint8_t>(block.begin(), block.end());
}

// The tracks that loop until N is pressed (--loops 0), whose first pass alone counts in the
// album's time: " with track 2 once through (it loops until N)".
std::string untilKeyText(const std::vector<Track>& tracks) {
    std::vector<std::string> numbers;
    for (std::size_t i = 0; i < tracks.size(); ++i)
        if (tracks[i].result.loops == 0 && tracks[i].result.loopSeconds >= 0)
            numbers.push_back(std::to_string(i + 1));
    if (numbers.empty()) return "";
    std::string list;
    for (std::size_t i = 0; i < numbers.size(); ++i)
        list += (i == 0 ? "" : i + 1 == numbers.size() ? " and " : ", ") + numbers[i];
    return numbers.size() == 1 ? " with track " + list + " once through (it loops until N)"
                               : " with tracks " + list + " once through (they loop until N)";
}

int refuse(const std::string& output, const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", output.c_str(), why.c_str());
    return 1;
}

// Makes the album; for a disk, into `memory` without the album's own line.
int albumOf(const Options& options, AlbumMemory& memory, bool forDisk);

}  // namespace

int makeAlbum(const Options& options) {
    AlbumMemory none;
    return albumOf(options, none, false);
}

int makeAlbum(const Options& options, AlbumMemory& memory) {
    return albumOf(options, memory, true);
}

namespace {

int albumOf(const Options& options, AlbumMemory& memory, bool forDisk) {
    const std::string& output = options.album;
    // A disk's album is made under a temporary name: its failures name the disk.
    const std::string& named = forDisk ? options.disk : output;
    const std::vector<Job> jobs = planAlbum(options);
    if (jobs.size() > std::size_t(FULL_ALBUM_MOST_TRACKS)) {
        std::fprintf(stderr,
                     "opmcast-full: album %s not made: %zu logs, more than the %d tracks "
                     "an album holds\n",
                     named.c_str(), jobs.size(), FULL_ALBUM_MOST_TRACKS);
        return 1;
    }
    // Each track plays as a single song does, but ends by itself unless --loops says not.
    const ConvertRequest request{.input = "",
                                 .output = output,
                                 .maxSize = options.maxSize,
                                 .loops = options.loopsGiven ? options.loops : 2,
                                 .fadeSeconds = options.fadeSeconds,
                                 .display = options.display,
                                 .japanese = options.japanese,
                                 .lengthSeconds = options.lengthSeconds};
    // The streams are written into the program one after the other as they are made, as a
    // single song's is; where the program cannot be written they are still made and counted.
    ProgramFile program;
    const std::string cannotWrite = startProgram(output, program);
    SamplePool pool;
    std::vector<Track> tracks;
    std::string lines;
    int failures = 0;      // logs that failed
    int emptyFolders = 0;  // folders named that hold no logs
    std::int64_t streams = 0, hitsLeftOut = 0;
    bool fits = true;
    for (const Job& job : jobs) {
        std::string why = job.refusal;
        std::error_code ignored;
        if (why.empty() && fs::equivalent(job.input, output, ignored))
            why = "the album would replace the log itself: " + output;
        auto log = std::make_unique<LogRead>();
        if (why.empty()) why = readLog(job.input, *log);
        if (!why.empty()) {
            if (!memory.probing) std::fprintf(stderr, "%s: %s\n", job.input.c_str(), why.c_str());
            if (job.output.empty()) {  // a folder without logs
                ++emptyFolders;
                continue;
            }
            lines += "  - " + job.input + ": skipped\n";
            ++failures;
            continue;
        }
        keepDrumsOfFirstPart(*log->dac, request);
        Track track;
        track.input = job.input;
        track.drumSamples = int(log->dac->samples.size());
        // The track's drums start the pool's samples.
        const std::vector<std::uint32_t> numbers =
            poolSamples(pool, log->dac->samples, int(tracks.size()));
        std::vector<DacHit> hits = log->dac->hits;
        for (DacHit& hit : hits) hit.sampleIndex = numbers[hit.sampleIndex];
        ConvertRequest trackRequest = request;
        trackRequest.input = job.input;
        const int channel = program.channel != 0 && fits ? program.channel : OUTPUT_DROPPED;
        const std::int64_t room = options.maxSize - std::int64_t(FULL_PLAYER_SIZE) - streams;
        track.song =
            translateLog(trackRequest, *log, pool.samples, hits, channel, room, track.result);
        // The fade's copies of the drums follow, the track's own.
        for (DacSample& copy : track.song.fadeDrums) {
            pool.samples.push_back(std::move(copy));
            pool.tracks.push_back(1);
            pool.lastTrack.push_back(int(tracks.size()));
        }
        track.song.fadeDrums.clear();
        fits = fits && track.song.fits;
        streams += track.song.length;
        track.result.drums.hitsLeftOut = log->dac->hitsLeftOut;
        hitsLeftOut += log->dac->hitsLeftOut;
        if (track.result.cutShort && !memory.probing)
            std::fputs(cutShortWarning(job.input, track.result).c_str(), stderr);
        lines += trackLines(int(tracks.size()) + 1, track);
        tracks.push_back(std::move(track));
    }
    if (failures + emptyFolders > 0 && (!options.skipBad || tracks.empty())) {
        std::string why;
        const std::size_t logs = jobs.size() - std::size_t(emptyFolders);
        if (failures > 0)
            why = std::to_string(failures) + " of " + std::to_string(logs) + " logs failed";
        if (emptyFolders > 0)
            why += std::string(why.empty() ? "" : ", ") +
                   (emptyFolders == 1 ? "a folder" : std::to_string(emptyFolders) + " folders") +
                   " without logs";
        if (tracks.empty() && failures == 0) why = "no logs to make it of";
        // --skip-bad helps only where some log made a track.
        if (!options.skipBad && !tracks.empty()) why += " (--skip-bad leaves such tracks out)";
        if (!memory.probing)
            std::fprintf(stderr, "opmcast-full: album %s not made: %s\n", named.c_str(),
                         why.c_str());
        return 1;
    }

    // The display blocks: the album's track list, and each track's as a song's, numbered.
    std::vector<FullAlbumTrack> parts(tracks.size());
    std::vector<std::uint8_t> albumDisplay;
    if (options.display) albumDisplay = albumBlock(tracks, options.japanese, options.diskLabel);
    std::int64_t displays = std::int64_t(albumDisplay.size());
    double seconds = 0;
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        Track& track = tracks[i];
        parts[i].loops = std::uint16_t(track.result.loops);
        seconds += track.result.playingSeconds;
        if (!options.display) continue;
        track.song.shown.tag = track.song.tagged ? &track.song.tag : nullptr;
        parts[i].display = displayBlock(
            track.song.shown, std::to_string(i + 1) + "/" + std::to_string(tracks.size()) + "  ");
        displays += std::int64_t(parts[i].display.size());
    }
    const std::int64_t table = 4 + std::int64_t(FULL_ALBUM_ENTRY_SIZE * tracks.size());
    const std::int64_t room =
        options.maxSize - std::int64_t(FULL_PLAYER_SIZE) - streams - displays - table;
    Drums drums;
    std::vector<std::uint8_t> bank;
    if (!fits || room < 0 || !makeBank(pool.samples, hitsLeftOut, room, drums, bank)) {
        std::int64_t smallestFit = 0;
        memory.tooLarge = true;
        if (memory.probing) return 1;
        return refuse(output, tooLargeReason("album", options.maxSize,
                                             std::int64_t(FULL_PLAYER_SIZE) + streams + displays +
                                                 table + smallestBankBytes(pool.samples),
                                             smallestFit));
    }
    if (!cannotWrite.empty()) return refuse(output, whyNotWritable(output));

    // The builder lays the program out around streams of the tracks' lengths; the streams
    // themselves are in the file already, so only its head and what follows them are written.
    for (std::size_t i = 0; i < tracks.size(); ++i)
        parts[i].stream.assign(std::size_t(tracks[i].song.length), 0);
    const std::vector<std::uint8_t> bytes =
        buildFullAlbum(parts, bank, albumDisplay, options.repeat);
    const std::span<const std::uint8_t> whole(bytes);
    if (const std::string failure =
            finishProgram(output, program, whole.first(FULL_PLAYER_HEAD_SIZE),
                          {whole.subspan(FULL_PLAYER_HEAD_SIZE + std::size_t(streams))});
        !failure.empty())
        return refuse(output,
                      whyNotWritable(output, program.writeError, std::int64_t(bytes.size())));

    if (forDisk) {
        for (const Track& track : tracks)
            memory.names.push_back(listedName(track, options.japanese));
        memory.seconds = seconds;
        std::ifstream made(output, std::ios::binary);
        memory.program.assign(std::istreambuf_iterator<char>(made), {});
        if (!options.quiet) std::fputs(lines.c_str(), stdout);
        return failures + emptyFolders > 0 ? 1 : 0;
    }
    if (failures > 0)
        std::fprintf(
            stderr, "opmcast-full: album %s made of %zu of %zu logs (--skip-bad left %d out)\n",
            output.c_str(), tracks.size(), jobs.size() - std::size_t(emptyFolders), failures);
    if (options.quiet) return failures + emptyFolders > 0 ? 1 : 0;
    int shared = 0;
    for (const int count : pool.tracks) shared += count > 1;
    std::vector<std::string> albumParts{std::to_string(tracks.size()) +
                                        (tracks.size() == 1 ? " track, " : " tracks, ") +
                                        clockText(seconds) + untilKeyText(tracks) +
                                        (options.repeat ? ", then again (--repeat)" : "")};
    if (drums.samples > 0)
        albumParts.push_back(drumsPart(drums, " (" + std::to_string(shared) + " shared)"));
    albumParts.push_back(programSizeText(std::int64_t(bytes.size())));
    ConvertResult albumResult;
    albumResult.drums = drums;
    albumResult.drums.hitsLeftOut = 0;  // on the tracks' lines
    lines += output + ": " + join(albumParts) + "\n" + leftOutLine(albumResult);
    std::fputs(lines.c_str(), stdout);
    return failures + emptyFolders > 0 ? 1 : 0;
}

}  // namespace
