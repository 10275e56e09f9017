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
    // Both tracks, then the first again; ESC in the second pass through victory.
    options.keys = {{11'000'000'000, opmsim::KEY_ESC}};
    opmsim::SimResult result;
    const opmsim::AlbumCheck check = run(program, options, result);
    expectPlays(check, {{0, E::End}, {1, E::End}, {0, E::End}, {1, E::Quit}});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_LT(result.endNs - 11'000'000'000, replay::ticksToNs(2)) << "ESC stops within a tick";
}

}  // namespace
