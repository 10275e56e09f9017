// Albums of corpus logs made by opmcast-full --album and replayed on the emulated X68000 with a
// script of key presses: every track played from its own start-up image, at its steps, with
// its drums from the shared bank, the chip left clean between tracks; the keys move through
// the album as the screen says they do, and the album ends after its last track or starts
// again with --repeat.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "replay_support.hpp"

namespace {

namespace fs = std::filesystem;

constexpr double STEP_NS = opmsim::TICK_NS / opmsim::FULL_STEPS_PER_TICK;

std::vector<std::uint8_t> makeAlbum(const std::string& options,
                                    const std::vector<std::string>& logs) {
    // A folder of its own: tests run side by side.
    std::string pattern = (fs::temp_directory_path() / "opmcast-album-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return {};
    const fs::path dir = pattern;
    std::string command = std::string(OPMCAST_FULL_EXE) + " -q --album '" +
                          (dir / "album.x").string() + "' " + options;
    for (const std::string& log : logs)
        command += " '" + (fs::path(OPMCAST_CORPUS_DIR) / log).string() + "'";
    std::vector<std::uint8_t> album;
    if (std::system((command + " > /dev/null").c_str()) == 0)
        album = replay::readFile((dir / "album.x").string());
    fs::remove_all(dir);
    return album;
}

// The time in the run at which `step` of the track `play` is due.
std::int64_t atStep(const opmsim::AlbumTrackPlay& play, double step) {
    return play.startNs + std::int64_t(step * STEP_NS);
}

// The screen as the run left it just before `ns`.
std::vector<std::string> screenBefore(const opmsim::SimResult& result, std::int64_t ns) {
    opmsim::SimResult upTo;
    for (const opmsim::ConsoleText& text : result.console)
        if (text.timeNs < ns) upTo.console.push_back(text);
    return opmsim::screenLines(upTo);
}

struct Expected {
    std::size_t track;
    opmsim::TrackEnding ending;
};

// Runs the album and holds the run to its tracks and the keys it took.
opmsim::AlbumCheck run(const std::vector<std::uint8_t>& program, opmsim::SimOptions options,
                       opmsim::SimResult& result) {
    result = opmsim::runProgram(program, options);
    const std::optional<opmsim::AlbumTable> album = opmsim::decodeAlbum(program);
    if (!album) return {{}, {"not an album"}};
    return opmsim::checkAlbumReplay(*album, result);
}

void expectPlays(const opmsim::AlbumCheck& check, const std::vector<Expected>& expected) {
    std::string problems;
    for (const std::string& p : check.problems) problems += p + "\n";
    EXPECT_TRUE(check.problems.empty()) << problems;
    std::string plays;
    for (const opmsim::AlbumTrackPlay& p : check.plays)
        plays += std::to_string(p.track + 1) + " " + opmsim::trackEndingName(p.ending) + " " +
                 std::to_string(p.startNs / 1e9) + "-" + std::to_string(p.endNs / 1e9) + "\n";
    ASSERT_EQ(check.plays.size(), expected.size()) << problems << plays;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(check.plays[i].track, expected[i].track) << "play " << i;
        EXPECT_EQ(check.plays[i].ending, expected[i].ending) << "play " << i;
        EXPECT_GT(check.plays[i].streamWrites, 0u) << "play " << i;
        EXPECT_LT(check.plays[i].maxTickError, 1.0) << "play " << i;
    }
}

TEST(FullAlbumReplay, KeysMoveThroughTheTracksAndEachPlaysFromItsStart) {
    if (!fs::exists(fs::path(OPMCAST_CORPUS_DIR) / "sonic1.vgm"))
        GTEST_SKIP() << "no corpus at " << OPMCAST_CORPUS_DIR;
    using E = opmsim::TrackEnding;
    const std::vector<std::uint8_t> program = makeAlbum(
        "--loops 1 --fade 1", {"fatality.vgm", "victory.vgm", "SMetroid_Title.vgm", "sonic1.vgm"});
    ASSERT_FALSE(program.empty());
    const std::optional<opmsim::AlbumTable> album = opmsim::decodeAlbum(program);
    ASSERT_TRUE(album.has_value());
    ASSERT_EQ(album->error, "");
    ASSERT_EQ(album->tracks.size(), 4u);
    EXPECT_FALSE(album->repeat);

    // Nobody at the keys: every track to its end, then the exit.
    opmsim::SimOptions options;
    options.systemCopy1B = 0x80;
    opmsim::SimResult result;
    opmsim::AlbumCheck check = run(program, options, result);
    expectPlays(check, {{0, E::End}, {1, E::End}, {2, E::End}, {3, E::End}});
    EXPECT_EQ(result.exitCode, 0);
    // The track list and each track's header on the screen, the keys named.
    const std::vector<std::string> screen = opmsim::screenLines(result);
    std::string text;
    for (const std::string& line : screen) text += line + "\n";
    EXPECT_NE(text.find("  1  Fatality Part 1"), std::string::npos) << text;
    EXPECT_NE(text.find("  4  Green Hill Zone"), std::string::npos) << text;
    EXPECT_NE(text.find("N next"), std::string::npos) << text;
    EXPECT_NE(text.find("Q quit"), std::string::npos) << text;
    EXPECT_NE(text.find("4/4  Green Hill Zone"), std::string::npos) << text;
    const std::vector<opmsim::AlbumTrackPlay> plain = check.plays;

    // p within 3 s of a track goes back to the track before; p later starts the track again;
    // n skips to the next; an unknown key changes nothing; n on the last track ends the album.
    const auto key = [](std::int64_t ns, char c) { return opmsim::KeyPress{ns, std::uint16_t(c)}; };
    options.keys = {key(atStep(plain[1], 280), 'p')};  // 1 s into victory: fatality again
    check = run(program, options, result);
    ASSERT_GE(check.plays.size(), 5u);
    const std::int64_t smetroid = check.plays[4].startNs;
    options.keys.push_back(key(smetroid + 5'000'000'000, 'P'));  // 5 s in: SMetroid again
    check = run(program, options, result);
    ASSERT_GE(check.plays.size(), 6u);
    const std::int64_t again = check.plays[5].startNs;
    options.keys.push_back(key(again + 2'000'000'000, 'n'));
    options.keys.push_back(key(again + 2'500'000'000, 'x'));  // ignored
    options.keys.push_back(key(again + 4'000'000'000, 'N'));  // sonic1, the last: the end
    check = run(program, options, result);
    expectPlays(check, {{0, E::End},
                        {1, E::Previous},
                        {0, E::End},
                        {1, E::End},
                        {2, E::Previous},
                        {2, E::Next},
                        {3, E::Next}});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.keysTaken.size(), 5u);
}

// The whole corpus as one album at the default settings: it fits the default 1 MiB and plays
// through every track, each to its end, with nobody at the keys.
TEST(FullAlbumReplay, TheCorpusFitsOneMegabyteAndPlaysThrough) {
    std::vector<std::string> logs;
    std::error_code error;
    for (const fs::directory_entry& e : fs::directory_iterator(OPMCAST_CORPUS_DIR, error)) {
        if (e.path().extension() == ".vgm") logs.push_back(e.path().filename().string());
    }
    if (logs.empty()) GTEST_SKIP() << "no corpus at " << OPMCAST_CORPUS_DIR;
    std::sort(logs.begin(), logs.end());
    const std::vector<std::uint8_t> program = makeAlbum("", logs);
    ASSERT_FALSE(program.empty());
    EXPECT_LE(program.size(), std::size_t(1) << 20);
    opmsim::SimOptions options;
    options.systemCopy1B = 0x80;
    options.timeLimitNs = 3'600'000'000'000;
    opmsim::SimResult result;
    const opmsim::AlbumCheck check = run(program, options, result);
    std::vector<Expected> expected;
    for (std::size_t i = 0; i < logs.size(); ++i) expected.push_back({i, opmsim::TrackEnding::End});
    expectPlays(check, expected);
    EXPECT_EQ(result.exitCode, 0);
    // Its list, longer than the screen, never scrolls: each track's screen fits.
    for (const opmsim::AlbumTrackPlay& play : check.plays)
        EXPECT_LE(screenBefore(result, play.endNs).size(), std::size_t(opmsim::SCREEN_ROWS))
            << "track " << play.track + 1;
}

TEST(FullAlbumReplay, RepeatStartsAgainAndAKeyQuits) {
    if (!fs::exists(fs::path(OPMCAST_CORPUS_DIR) / "victory.vgm"))
        GTEST_SKIP() << "no corpus at " << OPMCAST_CORPUS_DIR;
    using E = opmsim::TrackEnding;
    const std::vector<std::uint8_t> program =
        makeAlbum("--repeat", {"fatality.vgm", "victory.vgm"});
    ASSERT_FALSE(program.empty());
    opmsim::SimOptions options;
    options.systemCopy1B = 0x80;
    // Both tracks, then the first again; ESC in the second pass through victory. Victory is
    // paused twice among its drums (the one playing stopped) and goes on where it left off.
    options.keys = {{3'000'000'000, opmsim::KEY_SPACE},
                    {3'500'000'000, opmsim::KEY_SPACE},
                    {4'500'000'000, opmsim::KEY_SPACE},
                    {5'000'000'000, opmsim::KEY_SPACE},
                    {11'000'000'000, opmsim::KEY_ESC}};
    opmsim::SimResult result;
    const opmsim::AlbumCheck check = run(program, options, result);
    expectPlays(check, {{0, E::End}, {1, E::End}, {0, E::End}, {1, E::Quit}});
    ASSERT_EQ(check.plays.size(), 4u);
    EXPECT_EQ(check.plays[1].pauses, 2u);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_LT(result.endNs - 11'000'000'000, replay::ticksToNs(2)) << "ESC stops within a tick";
}

// A log of one PSG tone of `samples` VGM samples, its pitch set by `tone`.
std::vector<std::uint8_t> toneLog(int tone, std::uint32_t samples) {
    std::vector<std::uint8_t> file(0x40, 0);
    const auto put = [&file](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) file[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
    };
    file[0] = 'V', file[1] = 'g', file[2] = 'm', file[3] = ' ';
    put(0x08, 0x150);
    put(0x0C, 3579545);  // SN76489
    put(0x18, samples);
    put(0x34, 0x0C);
    file.insert(file.end(), {0x50, std::uint8_t(0x80 | (tone & 0x0F)), 0x50,
                             std::uint8_t(0x08 + (tone >> 4 & 0x07)), 0x50, 0x90});
    for (std::uint32_t left = samples; left > 0; left -= std::min<std::uint32_t>(left, 0xFFFF))
        file.insert(file.end(), {0x61, std::uint8_t(std::min<std::uint32_t>(left, 0xFFFF)),
                                 std::uint8_t(std::min<std::uint32_t>(left, 0xFFFF) >> 8)});
    file.insert(file.end(), {0x50, 0x9F, 0x66});
    put(0x04, std::uint32_t(file.size() - 4));
    return file;
}

// An album of `count` tone logs t001.vgm, t002.vgm, ... of a fifth of a second each.
std::vector<std::uint8_t> toneAlbum(int count) {
    std::string pattern = (fs::temp_directory_path() / "opmcast-album-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return {};
    const fs::path dir = pattern;
    fs::create_directory(dir / "logs");
    for (int i = 1; i <= count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "t%03d.vgm", i);
        const std::vector<std::uint8_t> log = toneLog(i % 200 + 20, 8820);
        std::FILE* f = std::fopen((dir / "logs" / name).c_str(), "wb");
        if (!f) return {};
        std::fwrite(log.data(), 1, log.size(), f);
        std::fclose(f);
    }
    const std::string command = std::string(OPMCAST_FULL_EXE) + " -q --album '" +
                                (dir / "album.x").string() + "' '" + (dir / "logs").string() +
                                "' > /dev/null";
    std::vector<std::uint8_t> album;
    if (std::system(command.c_str()) == 0) album = replay::readFile((dir / "album.x").string());
    fs::remove_all(dir);
    return album;
}

// While each track plays, the screen holds the keys, 20 lines of the list around the track
// (its own marked) and its header, within the 31 lines of the X68000's screen, however long
// the album.
void expectListWindows(const opmsim::AlbumCheck& check, const opmsim::SimResult& result,
                       int count) {
    for (const opmsim::AlbumTrackPlay& play : check.plays) {
        const int track = int(play.track) + 1;
        const std::vector<std::string> screen = screenBefore(result, play.endNs);
        std::string text;
        for (const std::string& line : screen) text += line + "\n";
        ASSERT_LE(screen.size(), std::size_t(opmsim::SCREEN_ROWS)) << text;
        ASSERT_GE(screen.size(), 3u) << text;
        EXPECT_TRUE(screen[0].starts_with("N next")) << text;
        const int shown = std::min(count, 20);
        const int first = std::clamp(track - 10, 1, count - shown + 1);
        for (int k = 0; k < shown; ++k) {
            char line[32];
            std::snprintf(line, sizeof line, "%c%3d  t%03d.vgm", first + k == track ? '>' : ' ',
                          first + k, first + k);
            ASSERT_EQ(screen[std::size_t(1 + k)], line) << "track " << track << ":\n" << text;
        }
        const std::string header = std::to_string(track) + "/" + std::to_string(count) + "  ";
        EXPECT_TRUE(screen[std::size_t(1 + shown)].starts_with(header + "t")) << text;
    }
}

TEST(FullAlbumReplay, LongAlbumsKeepTheListOnOneScreen) {
    using E = opmsim::TrackEnding;
    for (const int count : {3, 40, 300}) {
        SCOPED_TRACE(std::to_string(count) + " tracks");
        const std::vector<std::uint8_t> program = toneAlbum(count);
        ASSERT_FALSE(program.empty());
        opmsim::SimOptions options;
        options.timeLimitNs = 3'600'000'000'000;
        opmsim::SimResult result;
        const opmsim::AlbumCheck check = run(program, options, result);
        std::vector<Expected> expected;
        for (int i = 0; i < count; ++i) expected.push_back({std::size_t(i), E::End});
        expectPlays(check, expected);
        expectListWindows(check, result, count);
        EXPECT_EQ(result.exitCode, 0);
    }
}

// 1-9 jump to that track (a number beyond the album is ignored); space pauses: the chip
// silent, the time held, and space again goes on where it left off, as if nothing happened;
// a key that moves the player ends a pause too.
TEST(FullAlbumReplay, DigitsJumpAndSpacePauses) {
    using E = opmsim::TrackEnding;
    const std::vector<std::uint8_t> program = toneAlbum(40);
    ASSERT_FALSE(program.empty());
    const auto key = [](double seconds, char c) {
        return opmsim::KeyPress{std::int64_t(seconds * 1e9), std::uint16_t(c)};
    };
    opmsim::SimOptions options;
    options.timeLimitNs = 600'000'000'000;
    // Track 1 from about 0.1 s, a fifth of a second long with its screen drawn first.
    options.keys = {key(0.15, '7'), key(0.25, ' '), key(3.25, ' '), key(3.30, '0'), key(3.35, ' '),
                    key(5.0, 'x'),  key(6.0, '2'),  key(6.1, ' '),  key(6.12, ' '), key(6.2, 'q')};
    opmsim::SimResult result;
    opmsim::AlbumCheck check = run(program, options, result);
    expectPlays(check, {{0, E::Jump}, {6, E::Jump}, {1, E::Quit}});
    ASSERT_EQ(check.plays.size(), 3u);
    // Track 7: paused from 0.25 s to 3.25 s ('0' is no track: ignored), then paused again and
    // left by 2 while paused; track 2 paused 20 ms, then q.
    EXPECT_EQ(check.plays[1].pauses, 2u);
    EXPECT_NEAR(check.plays[1].pausedNs / 1e9, 3.0 + 2.65, 0.04);  // keys read once a tick
    EXPECT_EQ(check.plays[2].pauses, 1u);
    EXPECT_EQ(result.keysTaken.size(), options.keys.size());
    // The pause writes TL 127 on every slot, nothing more until it ends.
    const auto silent = [&result](double from, double to) {
        std::size_t writes = 0;
        for (const opmsim::OpmWrite& w : result.writes)
            if (w.timeNs > from * 1e9 && w.timeNs < to * 1e9 && !isTimerRegister(w.reg)) {
                EXPECT_TRUE(w.reg >= 0x60 && w.reg < 0x80 && w.value == 0x7F)
                    << std::hex << int(w.reg) << " = " << int(w.value) << " at " << w.timeNs;
                ++writes;
            }
        return writes;
    };
    EXPECT_EQ(silent(0.25, 3.249), 32u);
    // The time line stood still: track 7's screen, drawn at its start, shows 0:00 at its end.
    const std::vector<std::string> screen = screenBefore(result, check.plays[1].endNs);
    ASSERT_FALSE(screen.empty());
    EXPECT_TRUE(screen.back().starts_with("0:00")) << screen.back();
    expectListWindows(check, result, 40);
}

}  // namespace
