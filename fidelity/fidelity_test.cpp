// opmfidelity's measures on synthetic songs made in-process: a decaying melody panned to the left
// over a centred bass line, changed the way a faulty conversion would change it.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "audio_file.hpp"
#include "compare.hpp"
#include "report.hpp"

namespace {

struct SongOptions {
    double rate = 48000;
    double seconds = 6;
    double delaySeconds = 0;  // every note moved later by this
    int transpose = 0;        // semitones
    bool melodyPanned = true;
    bool swapChannels = false;
    double gain = 1;
    double dcWhileNotesSound = 0;  // an offset added while any note sounds, as MAME's chips add
    std::vector<double> harmonics = {1.0, 0.5, 0.33};
};

// A note of the given MIDI number starting at `start`, added with the given channel gains.
void addNote(StereoAudio& audio, const SongOptions& options, int note, double start,
             double gainLeft, double gainRight) {
    const double hz = 440 * std::exp2((note + options.transpose - 69) / 12.0);
    const auto first = static_cast<long>(std::max(0.0, start * options.rate));
    const auto last = std::min(static_cast<long>(audio.left.size()),
                               static_cast<long>((start + 0.6) * options.rate));
    for (long i = first; i < last; ++i) {
        const double t = i / options.rate - start;
        double value = 0;
        for (std::size_t h = 0; h < options.harmonics.size(); ++h)
            value += options.harmonics[h] * std::sin(2 * std::numbers::pi * hz * (h + 1) * t);
        // 2 ms attack, then a decay that has faded to silence 0.6 s later.
        value *= 0.15 * options.gain * std::min(1.0, t / 0.002) * std::exp(-t / 0.12) *
                 std::min(1.0, (0.6 - t) / 0.1);
        audio.left[i] += static_cast<float>(gainLeft * value);
        audio.right[i] += static_cast<float>(gainRight * value);
    }
}

StereoAudio makeSong(const SongOptions& options) {
    StereoAudio audio;
    audio.rate = options.rate;
    const auto samples = static_cast<std::size_t>(options.seconds * options.rate);
    audio.left.assign(samples, 0);
    audio.right.assign(samples, 0);
    const int melody[] = {72, 74, 76, 79, 77, 76, 74, 71, 72, 67, 69, 71, 84, 81, 79, 76};
    const int bass[] = {48, 43, 45, 41};
    const double melodyRight = options.melodyPanned ? 0.2 : 1.0;
    for (int step = 0; step * 0.2 < options.seconds - 0.2; ++step) {
        const double start = 0.1 + step * 0.2 + options.delaySeconds;
        addNote(audio, options, melody[(step * 7) % 16], start, 1.0, melodyRight);
        if (step % 2 == 0) addNote(audio, options, bass[(step / 4) % 4], start, 0.8, 0.8);
    }
    for (std::size_t i = 0; i < samples; ++i)
        if (audio.left[i] != 0) audio.left[i] += static_cast<float>(options.dcWhileNotesSound);
    if (options.swapChannels) std::swap(audio.left, audio.right);
    return audio;
}

Fidelity compare(const StereoAudio& source, const StereoAudio& converted) {
    Fidelity fidelity;
    const auto problem = compareRenderings(source, converted, fidelity);
    EXPECT_FALSE(problem) << *problem;
    return fidelity;
}

TEST(Fidelity, IdenticalRenderingsAgreeOnEveryMeasure) {
    const StereoAudio song = makeSong({});
    const Fidelity fidelity = compare(song, song);
    EXPECT_NEAR(fidelity.seconds, 6.0, 1e-9);
    EXPECT_GT(fidelity.chroma, 0.999);
    EXPECT_NEAR(fidelity.lagMs, 0.0, 0.5);
    EXPECT_GT(fidelity.onsetCorrelation, 0.999);
    EXPECT_TRUE(fidelity.sourcePanned);
    ASSERT_TRUE(fidelity.stereoCorrelation);
    EXPECT_GT(*fidelity.stereoCorrelation, 0.999);
    EXPECT_NEAR(fidelity.levelDb, 0.0, 1e-6);
    ASSERT_TRUE(fidelity.bandCorrelationMean);
    EXPECT_GT(*fidelity.bandCorrelationMean, 0.999);
    // Nothing of the song lies in the 8 kHz band: that band is left out rather than guessed.
    EXPECT_FALSE(fidelity.bandCorrelation[OCTAVE_BANDS - 1]);
    EXPECT_NE(fidelityJson(fidelity).find("\"8000\":null}"), std::string::npos);
}

TEST(Fidelity, LagIsFoundWithinOneHopWhateverTheRatesAndDoesNotCountAgainstTheNotes) {
    const StereoAudio source = makeSong({});
    for (const double delay : {0.023, -0.037, 0.0125}) {
        for (const double rate : {48000.0, 44100.0}) {
            SCOPED_TRACE("delay " + std::to_string(delay) + " s at " + std::to_string(rate));
            const Fidelity fidelity =
                compare(source, makeSong({.rate = rate, .delaySeconds = delay}));
            EXPECT_NEAR(fidelity.lagMs, 1000 * delay, 1000 * HOP_SECONDS);
            EXPECT_GT(fidelity.onsetCorrelation, 0.8);
            EXPECT_GT(fidelity.chroma, 0.97);
            EXPECT_GT(fidelity.stereoCorrelation.value_or(0), 0.9);
        }
    }
}

TEST(Fidelity, WrongNotesLowerChromaButTimbreLevelAndDcDoNot) {
    const StereoAudio source = makeSong({});
    const Fidelity transposed = compare(source, makeSong({.transpose = 1}));
    EXPECT_LT(transposed.chroma, 0.85);

    // Another instrument, 6 dB quieter, playing the same notes.
    const Fidelity other = compare(source, makeSong({.gain = 0.5, .harmonics = {1.0, 0.1, 0.6}}));
    EXPECT_GT(other.chroma, 0.93);
    EXPECT_NEAR(other.levelDb, 20 * std::log10(0.5), 0.3);
    EXPECT_GT(other.bandCorrelationMean.value_or(0), 0.8);

    // A DC offset in the source, switched with the notes, is not heard: not level, not notes.
    const Fidelity offset = compare(makeSong({.dcWhileNotesSound = -0.05}), source);
    EXPECT_NEAR(offset.levelDb, 0.0, 0.2);
    EXPECT_GT(offset.chroma, 0.99);
}

TEST(Fidelity, StereoBalanceFollowsThePanningOfTheSource) {
    const StereoAudio source = makeSong({});
    const Fidelity swapped = compare(source, makeSong({.swapChannels = true}));
    ASSERT_TRUE(swapped.stereoCorrelation);
    EXPECT_LT(*swapped.stereoCorrelation, -0.8);
    const Fidelity lost = compare(source, makeSong({.melodyPanned = false}));
    EXPECT_LT(std::abs(lost.stereoCorrelation.value_or(1)), 0.3);

    const Fidelity centred = compare(makeSong({.melodyPanned = false}), source);
    EXPECT_FALSE(centred.sourcePanned);
    EXPECT_FALSE(centred.stereoCorrelation);
    EXPECT_NE(fidelityJson(centred).find("\"stereo_correlation\":null,\"source_panned\":false"),
              std::string::npos);
    EXPECT_NE(fidelityText(centred).find("n/a (source is centred"), std::string::npos);

    StereoAudio mono = source;
    mono.right = mono.left;
    mono.mono = true;
    EXPECT_FALSE(compare(source, mono).stereoCorrelation);
}

TEST(Fidelity, RenderingsThatCannotBeComparedAreRefused) {
    const StereoAudio song = makeSong({});
    Fidelity fidelity;
    const StereoAudio brief = makeSong({.seconds = 0.1});
    EXPECT_TRUE(compareRenderings(song, brief, fidelity));
    EXPECT_TRUE(compareRenderings(song, StereoAudio{}, fidelity));
    const StereoAudio silent = makeSong({.gain = 0});
    EXPECT_TRUE(compareRenderings(silent, song, fidelity));
    EXPECT_TRUE(compareRenderings(song, silent, fidelity));
}

// Writes interleaved float samples to a 48 kHz WAV file in the test folder.
std::string writeWav(const std::string& name, int channels, const std::vector<float>& samples) {
    const std::string path = ::testing::TempDir() + name;
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr);
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()) / channels);
    sf_close(file);
    return path;
}

TEST(Fidelity, SoundFilesAreReadByTheirFirstTwoChannelsAndBadOnesRefused) {
    StereoAudio audio;
    const std::vector<float> threeChannels = {0.1f, 0.2f, 0.9f, 0.3f, 0.4f, 0.9f};
    ASSERT_FALSE(readAudioFile(writeWav("fidelity_three.wav", 3, threeChannels), audio));
    EXPECT_EQ(audio.left, (std::vector<float>{0.1f, 0.3f}));
    EXPECT_EQ(audio.right, (std::vector<float>{0.2f, 0.4f}));
    EXPECT_FALSE(audio.mono);

    ASSERT_FALSE(readAudioFile(writeWav("fidelity_mono.wav", 1, {0.5f, -0.5f}), audio));
    EXPECT_TRUE(audio.mono);
    EXPECT_EQ(audio.right, audio.left);

    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(readAudioFile(writeWav("fidelity_nan.wav", 2, {0.1f, nan}), audio));
    EXPECT_TRUE(audio.left.empty());
    EXPECT_TRUE(readAudioFile(::testing::TempDir() + "fidelity_missing.wav", audio));
}

}  // namespace
