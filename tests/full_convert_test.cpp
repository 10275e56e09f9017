// opmcast-full: which OPM channel plays what, the FM and LFO registers it writes, and the
// command line.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "full/translate/full_run.hpp"
#include "full/translate/noise_lfo.hpp"
#include "tests/gzip_support.hpp"
#include "tests/test_support.hpp"

namespace {

// A conversion in mid-song: the first pass found the FM channels in keyedFm keyed on.
std::unique_ptr<FullRun> startedRun(std::uint8_t keyedFm) {
    auto run = std::make_unique<FullRun>();
    run->facts.keyedFmChannels = keyedFm;
    startFullRun(*run);
    flushRegisters(run->stream, 0);
    return run;
}

void psg(FullRun& run, std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) translateFullSn76489(run, b);
}

// Every register pair written since `from`, as "rr=vv" words.
std::string pairsSince(const FullRun& run, std::size_t from) {
    std::string text;
    char word[8];
    for (std::size_t i = from; i + 1 < run.stream.pairs.size(); i += 2) {
        std::snprintf(word, sizeof word, "%02X=%02X ", run.stream.pairs[i],
                      run.stream.pairs[i + 1]);
        text += word;
    }
    return text;
}

TEST(FullVoices, EachSoundingVoiceGetsAFreeChannelOrTheQuietestGivesWay) {
    // Tones 0 and 1 on 6 and 7; tone 2 on the first FM channel the song never keys.
    auto run = startedRun(0x3B);    // channel 2 is never keyed
    psg(*run, {0x90, 0xB2, 0xD4});  // tone 0, 1, 2 at attenuation 0, 2, 4
    EXPECT_EQ(run->voiceChannel[0], 6);
    EXPECT_EQ(run->voiceChannel[1], 7);
    EXPECT_EQ(run->voiceChannel[2], 2);
    EXPECT_EQ(run->owner[2], Owner::psgTone2);
    EXPECT_EQ(run->owner[0], Owner::fm);

    // White noise takes channel 7's noise generator; tone 1 is now the quietest of the
    // sounding voices without a free channel, and gives way to nobody louder: tone 2 (4) is
    // quieter, so tone 1 takes its channel.
    psg(*run, {0xE4, 0xF0});  // white noise, rate clock/512, attenuation 0
    EXPECT_EQ(run->owner[7], Owner::whiteNoise);
    EXPECT_EQ(run->stream.wanted[0x0F], 0x80 | 14);
    EXPECT_EQ(run->voiceChannel[1], 2);
    EXPECT_EQ(run->voiceChannel[2], -1);

    // The DAC silences YM2612 channel 6: OPM channel 5 is free while it is on.
    translateFullYm2612(*run, 0, 0x2B, 0x80);
    EXPECT_EQ(run->voiceChannel[2], 5);
    translateFullYm2612(*run, 0, 0x2B, 0x00);
    EXPECT_EQ(run->voiceChannel[2], -1);
    EXPECT_EQ(run->owner[5], Owner::fm);

    // Silence frees the channels again; the noise generator is switched off.
    psg(*run, {0x9F, 0xBF, 0xDF, 0xFF});
    EXPECT_EQ(run->owner[7], Owner::none);
    EXPECT_EQ(run->owner[2], Owner::none);
    EXPECT_EQ(run->stream.wanted[0x0F], 0x00);
    EXPECT_EQ(run->played.psgVoices, 0x07);
    EXPECT_TRUE(run->played.noise);

    // An FM channel keyed off for half a second lends itself to a voice that has none, and
    // takes itself back, with the voice's key cut, when the song keys it on again.
    run = startedRun(0x3F);
    for (std::uint8_t c : {0, 1, 2, 4, 5, 6}) translateFullYm2612(*run, 0, 0x28, 0xF0 | c);
    translateFullYm2612(*run, 0, 0x28, 0x05);  // channel 5 (OPM 4) keyed off
    psg(*run, {0x90, 0xB0, 0xD0});
    EXPECT_EQ(run->voiceChannel[2], -1);
    run->sample += 22049;
    allocateVoicesAfterWait(*run);
    EXPECT_EQ(run->voiceChannel[2], -1);
    run->sample += 1;
    allocateVoicesAfterWait(*run);
    EXPECT_EQ(run->voiceChannel[2], 4);
    translateFullYm2612(*run, 0, 0x28, 0xF5);
    EXPECT_EQ(run->voiceChannel[2], -1);
    EXPECT_EQ(run->owner[4], Owner::fm);
    EXPECT_EQ(run->stream.pairs.end()[-2], 0x08);
    EXPECT_EQ(run->stream.pairs.end()[-1], 0x78 | 4);
}

TEST(FullVoices, PeriodicNoiseIsAPitchedVoiceAndLevelsFollowTheAttenuation) {
    auto run = startedRun(0x3F);
    psg(*run, {0xE3, 0xC0, 0x0A, 0xF3});  // periodic noise at tone 2's rate: period 160
    // Tone 2's frequency over 16 is played, and its level follows the noise's attenuation.
    EXPECT_EQ(run->voiceChannel[3], 6);
    EXPECT_EQ(run->owner[6], Owner::periodicNoise);
    const std::uint8_t quiet = run->stream.wanted[0x60 + 6 + 24];
    psg(*run, {0xF0});
    EXPECT_EQ(quiet - run->stream.wanted[0x60 + 6 + 24], 8);  // 3 steps of 2 dB: 8 TL steps
    // A tone above the OPM's highest note is held silent rather than played too low.
    psg(*run, {0x85, 0x00, 0x90});  // tone 0, period 5 (22.4 kHz), attenuation 0
    ASSERT_EQ(run->voiceChannel[0], 7);
    EXPECT_EQ(run->stream.wanted[0x60 + 7 + 24], 0x7F);
    psg(*run, {0x86, 0x01});  // period 22 (5.08 kHz): within half a semitone of the top
    EXPECT_LT(run->stream.wanted[0x60 + 7 + 24], 0x7F);
}

TEST(FullFm, PitchLfoAndKeysReachTheirRegisters) {
    auto run = startedRun(0x01);
    std::size_t from = run->stream.pairs.size();
    // 0xA4 waits for 0xA0: only then does the pitch change.
    translateFullYm2612(*run, 0, 0xA4, 0x22);
    EXPECT_EQ(run->stream.wanted[0x28], 0x00);
    translateFullYm2612(*run, 0, 0xA0, 0x69);
    EXPECT_EQ(run->stream.wanted[0x28], 0x3A);
    EXPECT_EQ(run->stream.wanted[0x30], 22 << 2);
    // Output bits swap sides; the sensitivities go through the LFO tables.
    translateFullYm2612(*run, 0, 0xB4, 0x80 | 0x30 | 0x07);  // left, AMS 3, PMS 7
    EXPECT_EQ(run->stream.wanted[0x20] & 0xC0, 0x40);
    EXPECT_EQ(run->stream.wanted[0x38], 5 << 4 | 2);
    // Enabling the LFO restarts it and sets the depths; key on passes straight through.
    translateFullYm2612(*run, 0, 0x22, 0x08 | 3);
    translateFullYm2612(*run, 0, 0x28, 0xF0);
    EXPECT_EQ(pairsSince(*run, from),
              "28=3A 30=58 20=40 38=52 18=CA 01=02 01=00 19=20 19=E6 08=78 ");
    // A channel the song never keys plays nothing, and writes to it stay out of the stream.
    from = run->stream.pairs.size();
    translateFullYm2612(*run, 0, 0x41, 0x10);
    translateFullYm2612(*run, 0, 0x28, 0x00);
    translateFullYm2612(*run, 0, 0x28, 0xF3);  // channel fields 3 and 7 name no channel
    translateFullYm2612(*run, 0, 0x28, 0xF7);
    EXPECT_EQ(pairsSince(*run, from), "08=00 ");
    EXPECT_TRUE(run->played.lfo);
}

// Runs opmcast-full in dir; stdout and stderr apart.
struct ToolResult {
    int exitStatus = -1;
    std::string out, err;
};

std::string readText(const std::string& name) {
    std::ifstream in(name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

ToolResult runFull(const ScratchDir& dir, std::vector<std::string> args) {
    const std::string outName = dir.file(".out"), errName = dir.file(".err");
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || ::chdir(dir.path.c_str()) != 0) ::_exit(126);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::alarm(60);
        std::string program = OPMCAST_FULL_BINARY;
        std::vector<char*> argv{program.data()};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ToolResult result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                      readText(outName), readText(errName)};
    std::filesystem::remove(outName);
    std::filesystem::remove(errName);
    return result;
}

TEST(FullCommandLine, ConvertsEveryFileAndReportsEachFailure) {
    ScratchDir dir;
    // A tone on the PSG, a second of it, then the end.
    const Bytes tune = makeVgm({0x50, 0x80, 0x50, 0x10, 0x50, 0x90, 0x61, 0x44, 0xAC, 0x66});
    writeFile(dir.file("tune.vgm"), tune);
    writeFile(dir.file("PACKED.VGZ"), gzipped(tune));
    writeFile(dir.file("double.vgm.gz"), gzipped(tune));
    writeFile(dir.file("text.vgm"), Bytes{'h', 'e', 'l', 'l', 'o'});
    writeFile(dir.file("opm.vgm"), makeVgm({0x54, 0x08, 0x00, 0x66}));
    Bytes cut = gzipped(tune);
    cut.resize(cut.size() - 6);
    writeFile(dir.file("cut.vgz"), cut);
    writeFile(dir.file("text.x"), Bytes(3, 0xEE));  // an earlier program, left alone
    // A small file that unpacks to more than any song: refused before either pass.
    writeFile(dir.file("bomb.vgz"),
              gzipped(concat({makeVgm({0x50, 0x90}), Bytes((256 << 20) + 1, 0x00)}), 1));

    ToolResult r = runFull(dir, {"tune.vgm", "text.vgm", "PACKED.VGZ", "double.vgm.gz", "opm.vgm",
                                 "cut.vgz", "missing.vgm", "bomb.vgz"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out,
              "tune.vgm -> tune.x: 1.0 s; PSG 1; 1 KiB\n"
              "PACKED.VGZ -> PACKED.x: 1.0 s; PSG 1; 1 KiB\n"
              "double.vgm.gz -> double.x: 1.0 s; PSG 1; 1 KiB\n");
    EXPECT_EQ(r.err,
              "text.vgm: not a VGM log\n"
              "opm.vgm: no YM2612 or SN76489 data (it writes the YM2151)\n"
              "cut.vgz: damaged gzip data (corrupt or cut short)\n"
              "missing.vgm: no such file\n"
              "bomb.vgz: larger than 256 MiB (unpacked), too long for a song\n");
    EXPECT_EQ(readFile(dir.file("text.x")), Bytes(3, 0xEE));
    EXPECT_EQ(readFile(dir.file("tune.x")), readFile(dir.file("PACKED.x")));
    EXPECT_EQ(filesIn(dir),
              (std::vector<std::string>{"PACKED.VGZ", "PACKED.x", "bomb.vgz", "cut.vgz",
                                        "double.vgm.gz", "double.x", "opm.vgm", "text.vgm",
                                        "text.x", "tune.vgm", "tune.x"}));

    // Into another folder, quietly; a program larger than allowed is not written.
    std::filesystem::create_directory(dir.file("out"));
    r = runFull(dir, {"-q", "-o", "out", "tune.vgm"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(readFile(dir.file("out/tune.x")), readFile(dir.file("tune.x")));
    r = runFull(dir, {"--max-size", "600", "--output-dir=out", "double.vgm.gz"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "double.vgm.gz: the program would be larger than 600 bytes (--max-size)\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/double.x")));
    // The program is written as it is made: a refused one leaves nothing behind, not even its
    // temporary file, and the size is reported first where the folder is missing too.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("out")),
                            std::filesystem::directory_iterator()),
              1);
    r = runFull(dir, {"--max-size", "600", "-o", "missing", "tune.vgm"});
    EXPECT_EQ(r.err, "tune.vgm: the program would be larger than 600 bytes (--max-size)\n");
    r = runFull(dir, {"-o", "missing", "tune.vgm"});
    EXPECT_EQ(r.err,
              "tune.vgm: cannot write missing/tune.x: the folder is missing or not writable\n");

    // Help on stdout; a wrong command line is a usage error.
    r = runFull(dir, {"--help"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_TRUE(r.out.starts_with("usage: opmcast-full")) << r.out;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"--bogus", "tune.vgm"}, {"--max-size", "x", "tune.vgm"}}) {
        r = runFull(dir, args);
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.starts_with("usage: opmcast-full")) << r.err;
    }
}

}  // namespace
