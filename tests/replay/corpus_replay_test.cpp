// Every VGM file of the shared corpus, converted by opmcast with our player stub and by
// opmcast-full with its built-in player, and replayed on the emulated X68000: the writes must be
// the stream's, each at its time (ticks for opmcast, steps for opmcast-full), through the loop
// at least once, a key must stop a looping song, and the run must end cleanly.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "replay_support.hpp"

namespace {

namespace fs = std::filesystem;

// The two converters: opmcast reads vgmstub.bin from the current folder and takes the log's
// name without its extension; opmcast-full carries its player and takes the file's name.
enum class Converter { Classic, Full };

const char* converterName(Converter converter) {
    return converter == Converter::Full ? "opmcast-full" : "opmcast";
}

std::string converterPath(Converter converter) {
    const char* variable = converter == Converter::Full ? "OPMCAST_FULL_EXE" : "OPMCAST_EXE";
    if (const char* env = std::getenv(variable)) return env;
    // Empty while the converter target does not exist.
    return converter == Converter::Full ? OPMCAST_FULL_EXE : OPMCAST_EXE;
}

// A corpus log; test listings show it by its file name alone.
struct CorpusLog {
    std::string path;
    friend bool operator<(const CorpusLog& a, const CorpusLog& b) { return a.path < b.path; }
    friend void PrintTo(const CorpusLog& log, std::ostream* out) {
        *out << fs::path(log.path).filename().string();
    }
};

std::vector<CorpusLog> corpusFiles() {
    std::vector<CorpusLog> files;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(OPMCAST_CORPUS_DIR, ec)) {
        if (e.path().extension() == ".vgm") files.push_back({e.path().string()});
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) files.push_back({""});  // one test that reports the missing corpus
    return files;
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Converts the VGM file with opmcast and our player, or with opmcast-full, then replays the
// program.
void convertAndReplay(const std::string& vgm, Converter which) {
    std::string converter = converterPath(which);
    if (converter.empty() || !fs::exists(converter)) {
        GTEST_SKIP() << "the converter " << converterName(which) << " has not been built";
    }

    char pattern[] = "/tmp/opmcast-replay-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    fs::path dir = pattern;
    std::string base = fs::path(vgm).stem().string();
    fs::copy_file(vgm, dir / (base + ".vgm"));
    std::string input = base;
    if (which == Converter::Full) {
        input += ".vgm";
    } else {
        fs::copy_file(OPMCAST_VGMSTUB, dir / "vgmstub.bin");
    }
    std::string command = "cd " + shellQuote(dir.string()) + " && " + shellQuote(converter) + " " +
                          shellQuote(input) + " > convert.log 2>&1";
    int status = std::system(command.c_str());
    std::vector<std::uint8_t> exe;
    if (fs::exists(dir / (base + ".x"))) exe = replay::readFile((dir / (base + ".x")).string());
    fs::remove_all(dir);
    ASSERT_EQ(status, 0) << command;
    ASSERT_GT(exe.size(), opmsim::STUB_SIZE) << "no song written";

    opmsim::DecodedStream stream = opmsim::decodeExecutableStream(exe);
    ASSERT_TRUE(stream.error.empty()) << stream.error;
    ASSERT_EQ(stream.player,
              which == Converter::Full ? opmsim::PlayerKind::Full : opmsim::PlayerKind::Classic);
    opmsim::SimOptions options;
    // The system's copy of register 1B with CT1 set: every 1B write of a full program must keep
    // it, and the exit must restore it.
    if (which == Converter::Full) options.systemCopy1B = 0x80;
    double keyTick = opmsim::stepToTicks(stream, stream.endStep);
    if (stream.loops) {
        // Press the key two ticks after the first write of the second pass through the loop.
        std::uint32_t firstBodyWrite = stream.loopStart < stream.events.size()
                                           ? stream.events[stream.loopStart].step - stream.loopStep
                                           : 0;
        keyTick = opmsim::stepToTicks(stream, stream.endStep + firstBodyWrite) + 2;
        options.keyPressNs = replay::ticksToNs(keyTick);
    }
    options.timeLimitNs = replay::ticksToNs(keyTick) + 60'000'000'000;

    auto start = std::chrono::steady_clock::now();
    replay::Replay r = replay::replay(exe, options);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "%-20s %-12s %7zu pairs %9.1f ticks  %s  %7zu writes matched, %u loop passes, largest "
        "timing error %.4f ticks, %.1f s virtual in %.2f s\n",
        base.c_str(), converterName(which), stream.pairs,
        opmsim::stepToTicks(stream, stream.endStep), stream.loops ? "loop   " : "no loop",
        r.check.streamWrites, r.check.loopPasses, r.check.maxTickError, r.result.endNs / 1e9, wall);
    testing::Test::RecordProperty(std::string(converterName(which)) + "_largest_timing_error_ticks",
                                  std::to_string(r.check.maxTickError));
    EXPECT_TRUE(r.check.problems.empty()) << replay::describe(r);
    EXPECT_EQ(r.result.exitCode, 0);
    if (stream.loops) {
        EXPECT_GE(r.check.loopPasses, 1u);
        // The key is looked for once a tick; the shutdown takes well under a tick.
        EXPECT_GE(r.result.keyTakenNs, options.keyPressNs) << "the key press was not read";
        EXPECT_LT(r.result.endNs - options.keyPressNs, replay::ticksToNs(2))
            << "a key press must stop the song";
    }
}

class CorpusReplay : public testing::TestWithParam<CorpusLog> {};

TEST_P(CorpusReplay, MatchesTheConvertedStream) {
    if (GetParam().path.empty()) GTEST_SKIP() << "no corpus at " << OPMCAST_CORPUS_DIR;
    convertAndReplay(GetParam().path, Converter::Classic);
}

TEST_P(CorpusReplay, MatchesTheFullConversion) {
    if (GetParam().path.empty()) GTEST_SKIP() << "no corpus at " << OPMCAST_CORPUS_DIR;
    convertAndReplay(GetParam().path, Converter::Full);
}

// The bundled example, as the README's first command makes it, converted by both converters.
TEST(ExampleTune, ConvertsAndReplaysThroughItsLoop) {
    const fs::path vgm = fs::temp_directory_path() / "opmcast-example-replay.vgm";
    const std::string command = shellQuote(MAKE_EXAMPLE_VGM) + " " + shellQuote(vgm.string());
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    for (Converter which : {Converter::Classic, Converter::Full}) {
        SCOPED_TRACE(converterName(which));
        convertAndReplay(vgm.string(), which);
    }
    fs::remove(vgm);
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusReplay, testing::ValuesIn(corpusFiles()),
                         [](const testing::TestParamInfo<CorpusLog>& param) {
                             std::string name = fs::path(param.param.path).stem().string();
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name.empty() ? std::string("NoCorpus") : name;
                         });

}  // namespace
