// opmcast-full lends silent FM channels to the PSG voices and takes them back: no channel may
// sound on where its owner plays nothing, nor louder than the FM part alone plays it. Every
// log is converted twice, with and without its SN76489 part, and each channel's level is run
// through the OPM envelope model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "tests/silence_check.hpp"

namespace {

void ym(Bytes& log, int channel, int reg, int value) {
    log.insert(log.end(), {std::uint8_t(channel < 3 ? 0x52 : 0x53), std::uint8_t(reg + channel % 3),
                           std::uint8_t(value)});
}

void key(Bytes& log, int channel, bool on) {
    const int code = channel < 3 ? channel : channel + 1;
    log.insert(log.end(), {0x52, 0x28, std::uint8_t((on ? 0xF0 : 0x00) | code)});
}

// An organ on all four operators (algorithm 7): instant attack, held, fast release.
void organ(Bytes& log, int channel) {
    for (int op = 0; op < 4; ++op) {
        ym(log, channel, 0x30 + 4 * op, 0x01);
        ym(log, channel, 0x40 + 4 * op, 0x10);
        ym(log, channel, 0x50 + 4 * op, 0x1F);
        ym(log, channel, 0x80 + 4 * op, 0x0F);
    }
    ym(log, channel, 0xB0, 0x07);
    ym(log, channel, 0xB4, 0xC0);
    ym(log, channel, 0xA4, 0x22);
    ym(log, channel, 0xA0, 0x69);
}

void waitSeconds(Bytes& log, double seconds) {
    for (auto samples = long(seconds * 44100); samples > 0; samples -= 65535) {
        const long n = std::min(samples, 65535L);
        log.insert(log.end(), {0x61, std::uint8_t(n), std::uint8_t(n >> 8)});
    }
}

// The FM part keys five channels from the start and holds them; YM2612 channel 1 is neither
// set up nor keyed until 8 s. From 1 s the white noise and three tones sound, so that a tone
// borrows channel 1, and at 1.3 s the tones on channels other than 6 stop while channel 1 is
// still unkeyed: it must fall silent until the FM part keys it.
Bytes borrowedChannelLog() {
    Bytes log;
    for (int c : {0, 2, 3, 4, 5}) {
        organ(log, c);
        key(log, c, true);
    }
    waitSeconds(log, 1);
    log.insert(log.end(), {0x50, 0xE4, 0x50, 0xF0});              // white noise, loudest
    log.insert(log.end(), {0x50, 0x8E, 0x50, 0x0F, 0x50, 0x90});  // tone 0, attenuation 0
    log.insert(log.end(), {0x50, 0xAE, 0x50, 0x0A, 0x50, 0xB2});  // tone 1, attenuation 2
    log.insert(log.end(), {0x50, 0xCE, 0x50, 0x08, 0x50, 0xD4});  // tone 2, attenuation 4
    waitSeconds(log, 0.3);
    log.insert(log.end(), {0x50, 0xBF, 0x50, 0xDF});
    waitSeconds(log, 6.7);
    organ(log, 1);
    key(log, 1, true);
    waitSeconds(log, 1);
    key(log, 1, false);
    waitSeconds(log, 1);
    log.push_back(0x66);
    return makeVgm(log);
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "\n  " + line;
    return text;
}

TEST(FullSilence, AChannelAPsgToneGivesBackFallsSilent) {
    ScratchDir dir;
    writeFile(dir.file("borrowed.vgm"), borrowedChannelLog());
    const std::vector<std::string> faults = checkSilence(dir.file("borrowed.vgm"), dir);
    EXPECT_TRUE(faults.empty()) << "borrowed channel:" << joined(faults);
}

TEST(FullSilence, GeneratedLogsSoundOnlyWhatTheirOwnersPlay) {
    ScratchDir dir;
    const std::string example = dir.file("example.vgm");
    const std::string dense = dir.file("dense.vgm");
    const std::string dac = dir.file("dac.vgm");
    const std::string quiet = " >/dev/null";
    ASSERT_EQ(std::system((std::string(MAKE_EXAMPLE_VGM) + " " + example + quiet).c_str()), 0);
    ASSERT_EQ(std::system((std::string(MAKE_DENSE_VGM) + " 1048576 " + dense + quiet).c_str()), 0);
    ASSERT_EQ(
        std::system((std::string(MAKE_DENSE_VGM) + " 1572864 " + dac + " --dac" + quiet).c_str()),
        0);
    for (const std::string& log : {example, dense, dac}) {
        const std::vector<std::string> faults = checkSilence(log, dir);
        EXPECT_TRUE(faults.empty()) << log << ":" << joined(faults);
    }
}

class FullSilenceCorpus : public testing::TestWithParam<std::string> {};

TEST_P(FullSilenceCorpus, SoundsOnlyWhatTheOwnersPlay) {
    if (GetParam() == "absent") GTEST_SKIP() << "no corpus at " << corpusDir();
    ScratchDir dir;
    const std::string log = (corpusDir() / (GetParam() + ".vgm")).string();
    const std::vector<std::string> faults = checkSilence(log, dir);
    EXPECT_TRUE(faults.empty()) << GetParam() << ":" << joined(faults);
}

std::vector<std::string> corpusNames() {
    std::vector<std::string> names;
    for (const auto& file : corpusFiles()) names.push_back(file.stem().string());
    if (names.empty()) names.push_back("absent");
    return names;
}

// A test name of the log's: letters and digits, anything else an underscore.
std::string testName(const testing::TestParamInfo<std::string>& log) {
    std::string name = log.param;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Logs, FullSilenceCorpus, testing::ValuesIn(corpusNames()), testName);

}  // namespace
