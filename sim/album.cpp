// Albums of opmcast-full: the table of tracks a program carries, and a run of one held to its
// tracks, the keys it took and the player's rules.

#include <algorithm>
#include <functional>
#include <iterator>

#include "sim_machine.hpp"

namespace opmsim {

namespace {

std::uint32_t be32(const std::vector<std::uint8_t>& file, std::size_t at) {
    return std::uint32_t(file[at]) << 24 | file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3];
}
std::uint16_t be16(const std::vector<std::uint8_t>& file, std::size_t at) {
    return std::uint16_t(file[at] << 8 | file[at + 1]);
}

// A display block at file offset `at`: header lines, NUL, pattern, NUL, all before `end`.
bool readDisplay(const std::vector<std::uint8_t>& file, std::size_t at, std::size_t end,
                 std::string& header, std::string& pattern) {
    std::string* part = &header;
    for (std::size_t i = at; i < end; ++i) {
        if (file[i] != 0) {
            part->push_back(char(file[i]));
        } else if (part == &header) {
            part = &pattern;
        } else {
            return true;
        }
    }
    return false;
}

}  // namespace

bool fullPlayerHasAlbumField() {
    static_assert(FULL_PLAYER_ALBUM_OFFSET + 4 <= FULL_PLAYER_HEAD_SIZE);
    const std::span<const std::uint8_t, FULL_PLAYER_SIZE> player = fullPlayerBytes();
    return std::all_of(player.begin() + FULL_PLAYER_ALBUM_OFFSET,
                       player.begin() + FULL_PLAYER_ALBUM_OFFSET + 4,
                       [](std::uint8_t b) { return b == 0; });
}

std::optional<AlbumTable> decodeAlbum(const std::vector<std::uint8_t>& file) {
    if (!fullPlayerHasAlbumField() || detectPlayer(file) != PlayerKind::Full) return std::nullopt;
    const std::uint32_t tableOffset = be32(file, FULL_PLAYER_ALBUM_OFFSET);
    if (tableOffset == 0) return std::nullopt;
    AlbumTable album;
    album.tableOffset = tableOffset;
    XHeader h;
    album.error = parseXHeader(file, h);
    if (!album.error.empty()) return album;
    // Offsets count from the text's start, file offset 64; the parts lie after the head.
    const std::uint64_t textEnd = std::min<std::uint64_t>(file.size(), HEADER_SIZE + h.textSize);
    const std::uint64_t headEnd = FULL_PLAYER_HEAD_SIZE - HEADER_SIZE;
    const std::uint64_t table = HEADER_SIZE + std::uint64_t(tableOffset);
    if (tableOffset % 2 != 0 || tableOffset < headEnd || table + 4 > textEnd) {
        album.error =
            format("the album's table (text offset %u) lies outside the text", tableOffset);
        return album;
    }
    const unsigned count = be16(file, table);
    album.repeat = (be16(file, table + 2) & FULL_ALBUM_REPEAT) != 0;
    if (count == 0 || count > unsigned(FULL_ALBUM_MOST_TRACKS)) {
        album.error =
            format("the album's table counts %u tracks (1 to %d)", count, FULL_ALBUM_MOST_TRACKS);
        return album;
    }
    if (table + 4 + std::uint64_t(count) * FULL_ALBUM_ENTRY_SIZE > textEnd) {
        album.error = "the album's table runs past the text";
        return album;
    }
    // Where each part may run to: the next part that starts after it.
    std::vector<std::uint64_t> starts = {tableOffset, be32(file, FULL_PLAYER_BANK_OFFSET),
                                         be32(file, FULL_PLAYER_DISPLAY_OFFSET)};
    for (unsigned i = 0; i < count; ++i) {
        const std::size_t entry = std::size_t(table + 4 + i * FULL_ALBUM_ENTRY_SIZE);
        AlbumTrack track;
        track.streamOffset = be32(file, entry);
        track.displayOffset = be32(file, entry + 4);
        track.passes = be16(file, entry + 8);
        const bool display = track.displayOffset != 0;
        for (const std::uint32_t offset : display
                                              ? std::vector{track.streamOffset, track.displayOffset}
                                              : std::vector{track.streamOffset}) {
            if (offset % 2 != 0 || offset < headEnd || offset >= tableOffset) {
                album.error = format(
                    "track %u: offset %u is odd or not between the head's end "
                    "(%llu) and the table (%u)",
                    i + 1, offset, (unsigned long long)headEnd, tableOffset);
                return album;
            }
            starts.push_back(offset);
        }
        album.tracks.push_back(std::move(track));
    }
    auto nextStart = [&starts](std::uint64_t offset) {
        std::uint64_t next = UINT64_MAX;
        for (const std::uint64_t s : starts)
            if (s > offset) next = std::min(next, s);
        return HEADER_SIZE + next;
    };
    album.drums = be32(file, FULL_PLAYER_BANK_OFFSET) != 0;
    if (album.drums) album.error = readBank(file, textEnd, album.bank);
    const std::uint32_t albumDisplay = be32(file, FULL_PLAYER_DISPLAY_OFFSET);
    std::string pattern;
    if (albumDisplay != 0 &&
        !readDisplay(file, HEADER_SIZE + albumDisplay, std::size_t(textEnd), album.displayHeader,
                     pattern) &&
        album.error.empty())
        album.error = "the album's display block has no end";
    for (std::size_t i = 0; i < album.tracks.size(); ++i) {
        AlbumTrack& track = album.tracks[i];
        const std::size_t at = HEADER_SIZE + track.streamOffset;
        const std::size_t end = std::size_t(std::min(textEnd, nextStart(track.streamOffset)));
        track.stream = decodeStream(file.data() + at, end - at, PlayerKind::Full, track.passes);
        track.stream.drums = album.drums;
        track.stream.bank = album.bank;
        if (!track.stream.error.empty() && album.error.empty())
            album.error = format("track %zu: %s", i + 1, track.stream.error.c_str());
        if (track.displayOffset != 0 &&
            !readDisplay(file, HEADER_SIZE + track.displayOffset, std::size_t(textEnd),
                         track.displayHeader, track.displayPattern) &&
            album.error.empty())
            album.error = format("track %zu: its display block has no end", i + 1);
    }
    return album;
}

std::vector<PlayerWrite> albumCleanState(std::uint8_t systemCopy1B) {
    std::vector<PlayerWrite> writes;
    for (int channel = 7; channel >= 0; --channel) writes.push_back({0x08, std::uint8_t(channel)});
    writes.insert(writes.end(), {{0x0F, 0x00}, {0x01, 0x00}, {0x19, 0x00}, {0x19, 0x80}});
    writes.push_back({0x1B, systemCopy1B});
    for (int slot = 0x60; slot <= 0x7F; ++slot) writes.push_back({std::uint8_t(slot), 0x7F});
    return writes;
}

const char* trackEndingName(TrackEnding ending) {
    switch (ending) {
        case TrackEnding::End:
            return "end";
        case TrackEnding::Next:
            return "key n";
        case TrackEnding::Previous:
            return "key p";
        case TrackEnding::Quit:
            return "key q";
        case TrackEnding::Jump:
            return "key 1-9";
        case TrackEnding::Cut:
            break;
    }
    return "cut";
}

namespace {

// The writes between two clean states (timer registers aside), and the times around them.
struct Segment {
    std::vector<OpmWrite> writes;
    bool closed = false;             // a complete clean state follows
    std::int64_t fromNs = -1;        // the last write of the clean state before it (-1: none)
    std::int64_t cleanStartNs = -1;  // the first write of the clean state after it
    std::int64_t toNs = 0;           // its last write, or the run's end
};

bool startsWith(const std::vector<OpmWrite>& writes, std::size_t at,
                const std::vector<PlayerWrite>& sequence) {
    if (writes.size() - at < sequence.size()) return false;
    for (std::size_t k = 0; k < sequence.size(); ++k)
        if (writes[at + k].reg != sequence[k].reg || writes[at + k].value != sequence[k].value)
            return false;
    return true;
}

std::vector<Segment> splitAtCleanStates(const std::vector<OpmWrite>& writes, std::size_t from,
                                        const SimResult& result) {
    const std::vector<PlayerWrite> clean = albumCleanState(result.systemCopy1B);
    std::vector<Segment> segments(1);
    for (std::size_t i = from; i < writes.size();) {
        if (startsWith(writes, i, clean)) {
            Segment& s = segments.back();
            s.closed = true;
            s.cleanStartNs = writes[i].timeNs;
            s.toNs = writes[i + clean.size() - 1].timeNs;
            const std::int64_t cleanEndNs = s.toNs;
            i += clean.size();
            segments.push_back({});  // (s no longer refers to a live element)
            segments.back().fromNs = cleanEndNs;
        } else {
            segments.back().writes.push_back(writes[i++]);
        }
    }
    segments.back().toNs = result.endNs;
    // After the last clean state of a program that exited comes only the timer's stop.
    if (result.exited && segments.size() > 1 && segments.back().writes.empty()) segments.pop_back();
    return segments;
}

// What a key does in an album of `count` tracks; Cut for a key the player ignores.
TrackEnding keyAction(std::uint16_t code, std::size_t count) {
    const char c = char(code & 0xFF);
    if (c >= '1' && c <= '9')
        return std::size_t(c - '1') < count ? TrackEnding::Jump : TrackEnding::Cut;
    switch (c) {
        case 'n':
        case 'N':
            return TrackEnding::Next;
        case 'p':
        case 'P':
            return TrackEnding::Previous;
        case 'q':
        case 'Q':
        case 0x1B:
            return TrackEnding::Quit;
        default:
            return TrackEnding::Cut;  // any other key: taken and ignored
    }
}

struct Evaluation {
    AlbumTrackPlay play;
    std::vector<std::string> problems;
};

// A pause: space taken while the track played, up to space again or the key that ended it.
struct Pause {
    std::int64_t fromNs = 0;
    std::int64_t toNs = 0;
    bool resumed = false;
};

std::vector<Pause> pausesOf(const Segment& segment, const AlbumTrackPlay& ending,
                            const SimResult& result) {
    std::vector<Pause> pauses;
    const std::int64_t to = ending.keyNs >= 0 ? ending.keyNs
                            : segment.closed  ? segment.cleanStartNs
                                              : INT64_MAX;
    for (const KeyPress& key : result.keysTaken) {
        if (key.timeNs <= segment.fromNs || key.timeNs > to) continue;
        if (key.timeNs == ending.keyNs && ending.keyNs >= 0) break;
        if ((key.code & 0xFF) != ' ') continue;
        if (!pauses.empty() && !pauses.back().resumed) {
            pauses.back().toNs = key.timeNs;
            pauses.back().resumed = true;
        } else {
            pauses.push_back({key.timeNs, INT64_MAX, false});
        }
    }
    if (!pauses.empty() && !pauses.back().resumed)
        pauses.back().toNs = ending.keyNs >= 0 ? ending.keyNs
                             : segment.closed  ? segment.cleanStartNs
                                               : result.endNs;
    return pauses;
}

// A time of the run as the track's own, its pauses taken out.
std::int64_t withoutPauses(const std::vector<Pause>& pauses, std::int64_t ns) {
    std::int64_t shift = 0;
    for (const Pause& p : pauses) {
        if (ns >= p.toNs) {
            shift += p.toNs - p.fromNs;
        } else if (ns > p.fromNs) {
            shift += ns - p.fromNs;
        }
    }
    return ns - shift;
}

// Takes the pauses' writes out of `writes`: at each, TL 127 on every slot, nothing while it
// lasts, then at space every TL as the track last wrote it (127 where it wrote none); the
// writes after it moved back by its length.
void takeOutPauses(std::vector<OpmWrite>& writes, const std::vector<Pause>& pauses,
                   const std::function<void(const std::string&)>& problem) {
    constexpr std::size_t SLOTS = 32;
    for (const Pause& p : pauses) {
        std::size_t at = 0;
        std::uint8_t tl[SLOTS];
        std::fill(std::begin(tl), std::end(tl), 0x7F);
        for (; at < writes.size() && writes[at].timeNs < p.fromNs; ++at)
            if (writes[at].reg >= 0x60 && writes[at].reg < 0x80)
                tl[writes[at].reg - 0x60] = writes[at].value;
        const auto slotsFrom = [&](std::size_t from, const std::uint8_t* values) {
            if (writes.size() - from < SLOTS) return false;
            for (std::size_t k = 0; k < SLOTS; ++k)
                if (writes[from + k].reg != 0x60 + k ||
                    writes[from + k].value != (values ? values[k] : 0x7F))
                    return false;
            return true;
        };
        if (!slotsFrom(at, nullptr)) {
            problem(
                format("the pause at %.6f s does not set every TL (60-7F) to 127", p.fromNs / 1e9));
            return;
        }
        writes.erase(writes.begin() + std::ptrdiff_t(at),
                     writes.begin() + std::ptrdiff_t(at + SLOTS));
        if (at < writes.size() && writes[at].timeNs < p.toNs) {
            problem(format("$%02X = $%02X written at %.6f s, during the pause from %.6f s",
                           writes[at].reg, writes[at].value, writes[at].timeNs / 1e9,
                           p.fromNs / 1e9));
            return;
        }
        if (!p.resumed) continue;
        if (!slotsFrom(at, tl)) {
            problem(format("the pause's end at %.6f s does not write every TL (60-7F) back",
                           p.toNs / 1e9));
            return;
        }
        writes.erase(writes.begin() + std::ptrdiff_t(at),
                     writes.begin() + std::ptrdiff_t(at + SLOTS));
    }
    for (OpmWrite& w : writes) w.timeNs = withoutPauses(pauses, w.timeNs);
}

// One segment of the run held to one track.
Evaluation evaluate(const AlbumTable& album, const Segment& segment, std::size_t index,
                    std::size_t trackNo, const AlbumTrackPlay& ending, const SimResult& result,
                    double tickTolerance) {
    const DecodedStream& stream = album.tracks[trackNo].stream;
    Evaluation e;
    e.play = ending;
    e.play.track = trackNo;
    auto problem = [&e, trackNo](const std::string& text) {
        e.problems.push_back(format("track %zu: %s", trackNo + 1, text.c_str()));
    };
    std::vector<OpmWrite> writes = segment.writes;
    // A later track may begin with the player's start-up writes again.
    const std::vector<PlayerWrite> start = playerStartWrites(album.drums, result.systemCopy1B);
    std::vector<OpmWrite> streamStart;
    for (const PlayedEvent& p : playedEvents(stream, UINT32_MAX, start.size()))
        streamStart.push_back({0, p.event.reg, p.event.value});
    if (index > 0 && startsWith(writes, 0, start) && !startsWith(streamStart, 0, start))
        writes.erase(writes.begin(), writes.begin() + std::ptrdiff_t(start.size()));
    const std::vector<Pause> pauses = pausesOf(segment, ending, result);
    takeOutPauses(writes, pauses, problem);
    for (const Pause& p : pauses) e.play.pausedNs += p.toNs - p.fromNs;
    e.play.pauses = pauses.size();
    const auto own = [&pauses](std::int64_t ns) { return ns < 0 ? ns : withoutPauses(pauses, ns); };
    // Step 0 of the track: its first write less that write's step.
    const double stepNs = TICK_NS / stream.stepsPerTick;
    std::int64_t originNs = segment.fromNs >= 0 ? segment.fromNs : streamStartNs(result);
    if (!writes.empty() && !stream.events.empty())
        originNs = writes[0].timeNs - std::int64_t(stream.events[0].step * stepNs);
    e.play.startNs = originNs;
    const bool stopped = segment.closed || result.exited;
    const std::int64_t stopNs = segment.closed ? segment.cleanStartNs : result.endNs;
    e.play.endNs = stopNs;
    ReplayCheck c;
    const std::size_t replayed =
        matchSongWrites(stream, writes, originNs, {own(ending.keyNs), stopped, own(stopNs)},
                        result.systemCopy1B, tickTolerance, c, problem);
    if (replayed < writes.size()) {
        problem(
            format("%zu writes after its replay and before the clean state, the first "
                   "$%02X = $%02X at %.6f s",
                   writes.size() - replayed, writes[replayed].reg, writes[replayed].value,
                   writes[replayed].timeNs / 1e9));
    }
    if (!segment.closed && result.exited) problem("no complete clean state after it");
    e.play.streamWrites = c.streamWrites;
    e.play.loopPasses = c.loopPasses;
    e.play.fadeWrites = c.fadeWrites;
    e.play.maxTickError = c.maxTickError;
    // Its drums: the samples started and port C's writes from the clean state before it to
    // the end of the one after it.
    if (stream.drums) {
        SimResult part;
        part.timerAStartNs = originNs;
        part.keyTakenNs = own(ending.keyNs);
        // A pause's length counts from key to key; the player's time stands still to within
        // a step of it (it drops the timer overflow the pause left pending): a tick more.
        part.endNs = own(stopNs) + (pauses.empty() ? 0 : std::int64_t(TICK_NS));
        part.exited = stopped;  // the run went on past the track: its samples are not cut
        auto inside = [&segment](std::int64_t t) {
            return t > segment.fromNs && t <= segment.toNs;
        };
        for (AdpcmPlay play : result.adpcm) {
            if (!inside(play.startNs)) continue;
            play.startNs = own(play.startNs);
            play.endNs = own(play.endNs);
            play.stopNs = own(play.stopNs);
            part.adpcm.push_back(std::move(play));
        }
        for (PortCWrite w : result.portC) {
            if (!inside(w.timeNs)) continue;
            w.timeNs = own(w.timeNs);
            part.portC.push_back(w);
        }
        std::vector<std::string> drums;
        std::vector<std::int64_t> pauseStops;
        for (const Pause& p : pauses) pauseStops.push_back(own(p.fromNs));
        checkDrums(stream, part, drums, pauseStops);
        for (const std::string& d : drums) problem("drums: " + d);
    }
    return e;
}

// The first key in (from, to] that moves the player: n, p, 1-9 of a track there is, q or ESC.
AlbumTrackPlay endingOf(const Segment& segment, const SimResult& result, std::size_t count) {
    AlbumTrackPlay ending;
    const std::int64_t to = segment.closed ? segment.cleanStartNs : INT64_MAX;
    for (const KeyPress& key : result.keysTaken) {
        if (key.timeNs <= segment.fromNs || key.timeNs > to) continue;
        if (keyAction(key.code, count) != TrackEnding::Cut) {
            ending.ending = keyAction(key.code, count);
            ending.keyNs = key.timeNs;
            ending.key = key.code;
            return ending;
        }
    }
    ending.ending = segment.closed || result.exited ? TrackEnding::End : TrackEnding::Cut;
    return ending;
}

}  // namespace

AlbumCheck checkAlbumReplay(const AlbumTable& album, const SimResult& result,
                            double tickTolerance) {
    constexpr std::size_t MAX_PROBLEMS = 40;
    // "More than 3 s of the track": within a tick of it, either choice is taken.
    constexpr std::int64_t RESTART_NS = 3'000'000'000;
    AlbumCheck check;
    auto problem = [&check](const std::string& text) {
        if (check.problems.size() < MAX_PROBLEMS) check.problems.push_back(text);
    };
    for (const std::string& e : result.errors) problem("harness: " + e);
    if (!album.error.empty()) {
        problem("album: " + album.error);
        return check;
    }
    if (!result.exited) problem("the program did not exit");
    std::vector<OpmWrite> writes;
    for (const OpmWrite& w : result.writes)
        if (!isTimerRegister(w.reg)) writes.push_back(w);
    const std::vector<PlayerWrite> start = playerStartWrites(album.drums, result.systemCopy1B);
    if (!startsWith(writes, 0, start)) problem("the start-up writes do not come first");
    const std::vector<Segment> segments =
        splitAtCleanStates(writes, startsWith(writes, 0, start) ? start.size() : 0, result);

    const std::size_t count = album.tracks.size();
    std::vector<std::size_t> candidates = {0};
    bool over = false;  // the album should have ended
    for (std::size_t k = 0; k < segments.size(); ++k) {
        const Segment& segment = segments[k];
        if (over) {
            if (!segment.writes.empty() || segment.closed)
                problem(format(
                    "the run went on after the album's end, at %.6f s",
                    (segment.writes.empty() ? segment.cleanStartNs : segment.writes[0].timeNs) /
                        1e9));
            break;
        }
        const AlbumTrackPlay ending = endingOf(segment, result, count);
        Evaluation best;
        for (std::size_t c = 0; c < candidates.size(); ++c) {
            Evaluation e =
                evaluate(album, segment, k, candidates[c], ending, result, tickTolerance);
            if (c == 0 || e.problems.size() < best.problems.size()) best = std::move(e);
        }
        check.plays.push_back(best.play);
        for (const std::string& p : best.problems) problem(p);
        const std::size_t current = best.play.track;
        switch (ending.ending) {
            case TrackEnding::End:
            case TrackEnding::Next:
                if (current + 1 < count) {
                    candidates = {current + 1};
                } else if (album.repeat) {
                    candidates = {0};
                } else {
                    over = true;
                }
                break;
            case TrackEnding::Previous: {
                const std::size_t before = current > 0 ? current - 1 : 0;
                const std::int64_t played = ending.keyNs - best.play.startNs - best.play.pausedNs;
                if (played > RESTART_NS + std::int64_t(TICK_NS)) {
                    candidates = {current};
                } else if (played < RESTART_NS - std::int64_t(TICK_NS) || before == current) {
                    candidates = {before};
                } else {
                    candidates = {current, before};
                }
                break;
            }
            case TrackEnding::Jump:
                candidates = {std::size_t((ending.key & 0xFF) - '1')};
                break;
            case TrackEnding::Quit:
            case TrackEnding::Cut:
                over = true;
                break;
        }
    }
    if (result.exited && !over && !check.plays.empty())
        problem(format("the program exited after track %zu; track %zu should have followed",
                       check.plays.back().track + 1, candidates[0] + 1));
    return check;
}

}  // namespace opmsim
