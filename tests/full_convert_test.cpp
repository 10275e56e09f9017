// opmcast-full: which OPM channel plays what, and the FM and LFO registers it writes.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "full/driver/convert_log.hpp"
#include "full/driver/summary.hpp"
#include "full/player/full_player.hpp"
#include "full/translate/adpcm_bank.hpp"
#include "full/translate/full_run.hpp"
#include "full/translate/msm6258_adpcm.hpp"
#include "full/translate/noise_lfo.hpp"
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

// Keys YM2612 channels (0-5) on with every operator at AR 31: they sound at once and, with
// no decay, for ever.
void keyOn(FullRun& run, std::initializer_list<int> channels) {
    for (int c : channels) {
        for (int op = 0; op < 4; ++op)
            translateFullYm2612(run, std::uint8_t(c / 3), std::uint8_t(0x50 + 4 * op + c % 3),
                                0x1F);
        translateFullYm2612(run, 0, 0x28, std::uint8_t(0xF0 | (c + (c >= 3))));
    }
}

TEST(FullVoices, EachSoundingVoiceGetsAFreeChannelOrTheQuietestGivesWay) {
    // Tones 0 and 1 on 6 and 7; tone 2 on the first FM channel the song never keys.
    auto run = startedRun(0x3B);  // channel 2 is never keyed
    keyOn(*run, {0, 1, 3, 4, 5});
    psg(*run, {0x90, 0xB2, 0xD4});  // tone 0, 1, 2 at attenuation 0, 2, 4
    EXPECT_EQ(run->voiceChannel[0], 6);
    EXPECT_EQ(run->voiceChannel[1], 7);
    EXPECT_EQ(run->voiceChannel[2], 2);
    EXPECT_EQ(run->owner[2], Owner::psgTone2);
    EXPECT_EQ(run->owner[0], Owner::fm);

    // White noise plays on channel 7's C2 beside tone 1, which keeps its channel on its other
    // three operators (its fundamental on M1) and its key: only C2 changes.
    std::size_t from = run->stream.pairs.size();
    psg(*run, {0xE4, 0xF0});  // white noise, rate clock/512, attenuation 0
    flushRegisters(run->stream, 0);
    EXPECT_EQ(run->owner[7], Owner::psgTone1);
    EXPECT_TRUE(run->channel7Noise);
    EXPECT_EQ(run->voiceChannel[1], 7);
    EXPECT_EQ(pairsSince(*run, from), "5F=01 0F=8E 7F=03 ");  // C2: MUL 1, noise, its TL
    EXPECT_EQ(run->stream.wanted[0x67], 13 + 5);              // M1: the fundamental, 2 dB down
    // Tone 1 falls silent: C2 plays on alone, still keyed; the tone's operators are muted.
    from = run->stream.pairs.size();
    psg(*run, {0xBF});
    flushRegisters(run->stream, 0);
    EXPECT_EQ(run->owner[7], Owner::whiteNoise);
    EXPECT_EQ(pairsSince(*run, from), "08=47 67=7F 6F=7F 77=7F ");
    psg(*run, {0xB2});  // and comes back beside it
    EXPECT_EQ(run->stream.pairs.end()[-1], 0x7F);

    // With every FM channel sounding, the quietest voice gives way; the DAC silences YM2612
    // channel 6, so OPM channel 5 is free while it is on.
    run = startedRun(0x3F);
    keyOn(*run, {0, 1, 2, 3, 4, 5});
    psg(*run, {0x90, 0xB2, 0xD4});
    EXPECT_EQ(run->voiceChannel[2], -1);
    translateFullYm2612(*run, 0, 0x2B, 0x80);
    EXPECT_EQ(run->voiceChannel[2], 5);
    translateFullYm2612(*run, 0, 0x2B, 0x00);
    EXPECT_EQ(run->voiceChannel[2], -1);
    EXPECT_EQ(run->owner[5], Owner::fm);
    psg(*run, {0xD0});  // louder than tone 1 now: tone 1 gives way
    EXPECT_EQ(run->voiceChannel[2], 7);
    EXPECT_EQ(run->voiceChannel[1], -1);

    // A waiting tone within a quarter of a semitone of a playing one joins it: the channel
    // plays both at their summed power (2 dB apart: +1.5 dB, 2 TL steps) and the tone is not
    // left out. A semitone's 17th away it is on its own again; when its host stops, it takes
    // the channel.
    psg(*run, {0xC0, 0x10, 0xA6, 0x10});  // tone 2 at period 256, tone 1 at 262
    EXPECT_EQ(run->joinedTo[1], 2);
    EXPECT_EQ(voicesLeftOut(*run), 0);
    EXPECT_EQ(run->stream.wanted[0x67], 13 - 2);
    psg(*run, {0xB0});  // as loud as its host: +3 dB
    EXPECT_EQ(run->stream.wanted[0x67], 13 - 4);
    psg(*run, {0xB2, 0xAA});  // period 266
    EXPECT_EQ(run->joinedTo[1], -1);
    EXPECT_EQ(voicesLeftOut(*run), 0x02);
    EXPECT_EQ(run->stream.wanted[0x67], 13);
    psg(*run, {0xA6, 0xDF});
    EXPECT_EQ(run->voiceChannel[1], 7);
    EXPECT_EQ(run->joinedTo[1], -1);
    EXPECT_EQ(run->stream.wanted[0x67], 13 + 5);  // its own level, 2 dB down

    // Silence frees the channels again; the noise generator is switched off.
    psg(*run, {0xE4, 0xF0});
    psg(*run, {0x9F, 0xBF, 0xDF, 0xFF});
    EXPECT_EQ(run->owner[7], Owner::none);
    EXPECT_EQ(run->owner[6], Owner::none);
    EXPECT_EQ(run->stream.wanted[0x0F], 0x00);
    EXPECT_EQ(run->played.psgVoices, 0x07);
    EXPECT_TRUE(run->played.noise);
}

TEST(FullVoices, FmChannelsLendThemselvesOnceSilentAndComeBackSilent) {
    // An FM channel is free for a voice once its carriers have fallen below -48 dB: released
    // at RR 15 from TL 5 (the carrier's offset), 472 units at 8 a step of 20 833 Hz take 125
    // samples, as long as a keyed note takes to decay at D1R 31 to D1L 15; a channel keyed at
    // TL 64 is silent from its key-on.
    auto run = startedRun(0x3F);
    translateFullYm2612(*run, 1, 0x8D, 0x0F);  // YM2612 channel 5 (OPM 4), C2: D1L 0, RR 15
    keyOn(*run, {0, 1, 2, 3, 4, 5});
    psg(*run, {0x90, 0xB0, 0xD0});
    translateFullYm2612(*run, 0, 0x28, 0x05);  // OPM channel 4 keyed off
    refreshFades(*run);
    EXPECT_EQ(run->fm.silentFromSample[4], 125);
    EXPECT_EQ(nextVoiceEvent(*run), 125);
    run->sample = 125;
    allocateVoicesAfterWait(*run);
    EXPECT_EQ(run->voiceChannel[2], 4);
    // The song keys it again: the voice gives it back, the FM part's note starts at once.
    translateFullYm2612(*run, 0, 0x28, 0xF5);
    EXPECT_EQ(run->voiceChannel[2], -1);
    EXPECT_EQ(run->owner[4], Owner::fm);
    EXPECT_EQ(run->stream.pairs.end()[-2], 0x08);
    EXPECT_EQ(run->stream.pairs.end()[-1], 0x78 | 4);
    translateFullYm2612(*run, 1, 0x4D, 64);  // C2 at TL 64 (+5): below -48 dB at once
    EXPECT_EQ(run->voiceChannel[2], -1);     // taken once the time moves on
    allocateVoicesAfterWait(*run);
    EXPECT_EQ(run->voiceChannel[2], 4);

    // A voice leaving a channel whose FM part is keyed off leaves it silent (TL 127, fastest
    // release), not at the FM part's levels and release rate, which come back, in the order
    // written, just before its next key-on.
    translateFullYm2612(*run, 0, 0x28, 0x05);
    translateFullYm2612(*run, 1, 0x4D, 0x20);
    psg(*run, {0xDF});
    flushRegisters(run->stream, currentStep(*run));
    EXPECT_EQ(run->owner[4], Owner::fm);
    for (int op = 0; op < 4; ++op) {
        EXPECT_EQ(run->stream.wanted[0x60 + 4 + 8 * op], 0x7F);
        EXPECT_EQ(run->stream.wanted[0xE0 + 4 + 8 * op] & 0x0F, 0x0F);
    }
    std::size_t from = run->stream.pairs.size();
    translateFullYm2612(*run, 0, 0x28, 0xF5);
    const std::string restored = pairsSince(*run, from);
    EXPECT_NE(restored.find("7C=25 "), std::string::npos) << restored;
    EXPECT_EQ(restored.substr(restored.size() - 6), "08=7C ");

    // A keyed note that decays to silence frees its channel at the time it does.
    run = startedRun(0x3F);
    keyOn(*run, {0, 1, 2, 3, 4, 5});
    psg(*run, {0x90, 0xB0, 0xD0});
    translateFullYm2612(*run, 0, 0x28, 0x00);
    translateFullYm2612(*run, 0, 0x6C, 0x1F);  // channel 0, C2: D1R 31
    translateFullYm2612(*run, 0, 0x8C, 0xF0);  // D1L 15
    run->sample = 1000;
    translateFullYm2612(*run, 0, 0x28, 0xF0);
    refreshFades(*run);
    EXPECT_EQ(run->fm.silentFromSample[0], 1000 + 125);
}

TEST(FullVoices, ALentChannelServesWholeNotesAndReturnsBeforeTheSongKeysIt) {
    // Every FM channel sounds but OPM 4, released at RR 15 at sample 0 (silent from 125); the
    // first pass found its next key-on at `nextKeyOn`. Tones 0 and 1 hold channels 6 and 7; tone 2
    // starts a note at sample 200 that lasts to 5000, and again at 6000 to 9000.
    auto lend = [](std::uint32_t nextKeyOn, FmKeyOns& keyOns, PsgNoteEvents& notes) {
        auto run = startedRun(0x3F);
        translateFullYm2612(*run, 1, 0x8D, 0x0F);
        keyOn(*run, {0, 1, 2, 3, 4, 5});
        translateFullYm2612(*run, 0, 0x28, 0x05);
        keyOns.samples[4] = {nextKeyOn};
        notes.samples[2] = {200, 5000, 6000, 9000};
        run->keyOns = &keyOns;
        run->psgNotes = &notes;
        psg(*run, {0x90, 0xB0});
        run->sample = 200;
        psg(*run, {0xD0});
        return run;
    };
    FmKeyOns keyOns;
    PsgNoteEvents notes;
    // The gap holds the whole note and the hand-back's two steps: the voice takes it.
    auto run = lend(5000 + 2 * 157 + 200, keyOns, notes);
    EXPECT_EQ(run->voiceChannel[2], 4);
    // And gives it back two steps ahead of the key-on, held silent, so that the FM note rises
    // from silence.
    EXPECT_EQ(nextVoiceEvent(*run), 5200);
    run->sample = 5200;
    allocateVoices(*run);
    EXPECT_EQ(run->voiceChannel[2], -1);
    EXPECT_EQ(run->owner[4], Owner::fm);
    EXPECT_EQ(run->stream.wanted[0x60 + 4 + 24], 0x7F);
    // A gap shorter than the note, and than half a second: the voice waits, and does not
    // enter within its note either, nor at a note that does not fit.
    run = lend(5000, keyOns, notes);
    EXPECT_EQ(run->voiceChannel[2], -1);
    EXPECT_EQ(nextVoiceEvent(*run), std::numeric_limits<std::int64_t>::max());
    keyOns.samples[4].push_back(8000);
    run->sample = 6000;
    psg(*run, {0xC8, 0x04});  // tone 2's next note, a fifth away, to 9000
    EXPECT_EQ(run->voiceChannel[2], -1);
    keyOns.samples[4].back() = 9000 + 2 * 157;  // and where it fits
    psg(*run, {0xC0});
    EXPECT_EQ(run->voiceChannel[2], 4);
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
    EXPECT_EQ(run->fm.image[0x28], 0x00);
    translateFullYm2612(*run, 0, 0xA0, 0x69);
    EXPECT_EQ(run->fm.image[0x28], 0x3A);
    EXPECT_EQ(run->fm.image[0x30], 22 << 2);
    // Output bits swap sides; the sensitivities go through the LFO tables.
    translateFullYm2612(*run, 0, 0xB4, 0x80 | 0x30 | 0x07);  // left, AMS 3, PMS 7
    EXPECT_EQ(run->fm.image[0x20] & 0xC0, 0x40);
    EXPECT_EQ(run->fm.image[0x38], 5 << 4 | 2);
    // Enabling the LFO restarts it and sets the depths at once. The channel, silent until its
    // first key-on, gets its registers with it: levels and release, then the key.
    translateFullYm2612(*run, 0, 0x22, 0x08 | 3);
    translateFullYm2612(*run, 0, 0x28, 0xF0);
    EXPECT_EQ(pairsSince(*run, from),
              "18=CA 01=02 01=00 19=20 19=E6 20=40 28=3A 30=58 38=52 60=00 68=00 70=00 78=05 "
              "E0=00 E8=00 F0=00 F8=00 08=78 ");
    // A channel the song never keys plays nothing, and writes to it stay out of the stream.
    from = run->stream.pairs.size();
    translateFullYm2612(*run, 0, 0x41, 0x10);
    translateFullYm2612(*run, 0, 0x28, 0x00);
    translateFullYm2612(*run, 0, 0x28, 0xF3);  // channel fields 3 and 7 name no channel
    translateFullYm2612(*run, 0, 0x28, 0xF7);
    EXPECT_EQ(pairsSince(*run, from), "08=00 ");
    EXPECT_TRUE(run->played.lfo);
}

// The drums of a program: each start as "step:sides:number", each change of sides as
// "step:sides", and each table entry's count.
struct ProgramDrums {
    std::vector<std::string> starts;
    std::vector<std::string> sides;
    std::vector<unsigned> counts;
};

ProgramDrums drumsOf(const Bytes& program) {
    auto longAt = [&](std::size_t at) {
        return std::uint32_t(program[at] << 24 | program[at + 1] << 16 | program[at + 2] << 8 |
                             program[at + 3]);
    };
    ProgramDrums drums;
    if (program.size() < FULL_PLAYER_SIZE) return drums;
    const std::uint32_t bank = longAt(FULL_PLAYER_BANK_OFFSET);
    const std::size_t end = bank ? bank + 64 : program.size() - FULL_PLAYER_TAIL_SIZE;
    std::int64_t step = 0;
    for (std::size_t i = FULL_PLAYER_HEAD_SIZE; i + 1 < end; i += 2) {
        if (program[i] != 0) continue;
        if (program[i + 1] <= 0xEF) step += program[i + 1] + 1;
        if (program[i + 1] >= 0xF4 && program[i + 1] <= 0xF7)
            drums.sides.push_back(std::to_string(step) + ":" + std::to_string(program[i + 1] & 3));
        if (program[i + 1] < 0xF1 || program[i + 1] > 0xF3) continue;
        drums.starts.push_back(std::to_string(step) + ":" + std::to_string(program[i + 1] & 3) +
                               ":" + std::to_string(program[i + 2] << 8 | program[i + 3]));
        i += 2;
    }
    if (bank)
        for (std::size_t entry = end; entry < end + longAt(end); entry += 8)
            drums.counts.push_back(program[entry + 4] << 8 | program[entry + 5]);
    return drums;
}

Bytes dataBlock(const Bytes& data, std::uint32_t claimed = 0) {
    const std::uint32_t size = claimed ? claimed : std::uint32_t(data.size());
    return concat({{0x67, 0x66, 0x00, std::uint8_t(size), std::uint8_t(size >> 8),
                    std::uint8_t(size >> 16), std::uint8_t(size >> 24)},
                   data});
}

Bytes little(std::uint32_t value, int bytes) {
    Bytes out;
    for (int i = 0; i < bytes; ++i) out.push_back(std::uint8_t(value >> (8 * i)));
    return out;
}

TEST(FullDrums, EveryWayOfPlayingTheDacBecomesStartsOfSharedSamples) {
    ScratchDir dir;
    Bytes hit(400);
    for (std::size_t i = 0; i < hit.size(); ++i) hit[i] = std::uint8_t(128 + (i % 40) * 2);
    const Bytes on = {0x52, 0x2B, 0x80};
    const Bytes wait1000 = {0x61, 0xE8, 0x03};  // 1000 samples: 6.35 steps
    auto convert = [&](const Bytes& commands, std::int64_t maxSize = 1 << 20) {
        writeFile(dir.file("in.vgm"), makeVgm(concat({commands, {0x66}})));
        const ConvertRequest request{dir.file("in.vgm"), dir.file("in.x"), maxSize};
        const ConvertResult result = convertLog(request);
        EXPECT_EQ(result.error, "");
        const Bytes program = readFile(dir.file("in.x"));
        EXPECT_LE(std::int64_t(program.size()), maxSize);
        return std::pair(drumsOf(program), summaryLines({"in", "out", maxSize}, result));
    };
    // The bank played by 0x80-0x8F after seeks, three times with the pan of each moment; and
    // the same hit written with 0x2A: one sample for all four.
    Bytes banked = concat({dataBlock(hit), on, wait1000});
    for (const std::uint8_t pan : {0xC0, 0x80, 0x40}) {
        banked = concat(
            {banked, {0x53, 0xB6, pan, 0xE0, 0, 0, 0, 0}, Bytes(hit.size(), 0x81), wait1000});
    }
    for (const std::uint8_t value : hit) banked = concat({banked, {0x52, 0x2A, value, 0x70}});
    auto [drums, summary] = convert(banked);
    // At samples 1000, 2400, 3800 and 5200: the steps nearest (787/5 samples a step).
    EXPECT_EQ(drums.starts, (std::vector<std::string>{"6:3:0", "15:2:0", "24:1:0", "33:1:0"}));
    EXPECT_EQ(drums.counts, (std::vector<unsigned>{400 * 15625 / 44100 / 2 + 2}));
    EXPECT_NE(summary.find("; drums: 1 sample, 1 KiB ADPCM at 15.6 kHz;"), std::string::npos)
        << summary;
    EXPECT_TRUE(drums.sides.empty());

    // Channel 6's pan as it changes: a hit takes the pan written just after its first value in
    // the same sample; within a hit each change moves it at its step; a hit begun on neither
    // side that the pan brings in later starts muted. After a hit's end a change plays nothing.
    auto played = [&](std::initializer_list<std::pair<std::size_t, std::uint8_t>> pans) {
        Bytes commands;
        auto pan = pans.begin();
        for (std::size_t i = 0; i < hit.size(); ++i) {
            commands = concat({commands, {0x52, 0x2A, hit[i]}});
            for (; pan != pans.end() && pan->first == i; ++pan)
                commands = concat({commands, {0x53, 0xB6, pan->second}});
            commands = concat({commands, {0x70}});
        }
        return commands;
    };
    // Hit 1 at sample 1000, left, right at 1160, both at 1320; pan 0 at 1900 after its end;
    // hit 2 at 3400 on neither side, left at 3600.
    const Bytes panned = concat({on,
                                 wait1000,
                                 played({{0, 0x80}, {160, 0x40}, {320, 0xC0}}),
                                 {0x61, 0xF4, 0x01, 0x53, 0xB6, 0x00, 0x61, 0xDC, 0x05},
                                 played({{200, 0x80}})});
    std::tie(drums, summary) = convert(panned);
    EXPECT_EQ(drums.starts, (std::vector<std::string>{"6:2:0", "22:3:0"}));
    EXPECT_EQ(drums.sides, (std::vector<std::string>{"7:1", "8:3", "22:0", "23:2"}));

    // DAC streams: set up for the YM2612's DAC, started by offset and length, by block, and
    // looping until stopped; a start cuts the stream playing.
    const Bytes setUp = concat({{0x90, 0x00, 0x02, 0x00, 0x2A, 0x91, 0x00, 0x00, 0x01, 0x00},
                                {0x92, 0x00},
                                little(22050, 4)});
    const Bytes streams = concat({dataBlock(hit),
                                  dataBlock(Bytes(hit.begin(), hit.begin() + 80)),
                                  on,
                                  setUp,
                                  {0x93, 0x00},
                                  little(0, 4),
                                  {0x01},
                                  little(300, 4),
                                  wait1000,
                                  {0x95, 0x00, 0x01, 0x00, 0x01},
                                  wait1000,
                                  wait1000,
                                  wait1000,
                                  {0x94, 0x00},
                                  wait1000});
    std::tie(drums, summary) = convert(streams);
    // The 300 bytes at 22 050 Hz cut at 1000 samples (500 bytes would have played), then the
    // second block's 80 bytes over and over for 3000 samples.
    EXPECT_EQ(drums.starts, (std::vector<std::string>{"0:3:0", "6:3:1"}));
    ASSERT_EQ(drums.counts.size(), 2u);
    EXPECT_NEAR(drums.counts[0], 300 * 15625 / 22050 / 2 + 2, 2);
    EXPECT_NEAR(drums.counts[1], 1500 * 15625 / 22050 / 2 + 2, 2);

    // What a log may get wrong plays nothing it should not and no more than the limit holds:
    // a block claiming more than the file; streams naming a missing block, other chips, a
    // frequency of 0 or absurdly high, an offset beyond the bank, a length of 2^31; a DAC
    // enabled and never written.
    // The hit in the bank, the DAC on, then the commands and a wait.
    auto inBank = [&](std::initializer_list<Bytes> commands) {
        return concat({dataBlock(hit), on, concat(commands), wait1000});
    };
    const Bytes playBlock0 = {0x95, 0x00, 0x00, 0x00, 0x00};
    const struct {
        Bytes commands;
        std::size_t samples;
    } odd[] = {
        {inBank({setUp, {0x95, 0x00, 0x05, 0x00, 0x00}}), 0},
        {inBank({{0x90, 0x00, 0x00, 0x00, 0x2A, 0x91, 0x00, 0x00, 0x01, 0x00, 0x92, 0x00},
                 little(22050, 4),
                 playBlock0}),
         0},
        {inBank({setUp, {0x92, 0x00}, little(0, 4), playBlock0}), 0},
        {inBank({setUp, {0x92, 0x00}, little(0xFFFFFFFF, 4), playBlock0}), 0},
        {inBank({setUp, {0x93, 0x00}, little(5000, 4), {0x01}, little(300, 4)}), 0},
        {inBank({setUp, {0x93, 0x00}, little(0, 4), {0x01}, little(0x80000000, 4), wait1000}), 1},
        {concat({on, wait1000, wait1000}), 0},
    };
    for (const auto& [commands, samples] : odd) {
        std::tie(drums, summary) = convert(commands, 64 * 1024);
        EXPECT_EQ(drums.counts.size(), samples) << summary;
    }
    // A block that claims more than the file holds takes the end marker with it: a log cut
    // short with nothing heard, refused.
    writeFile(dir.file("claim.vgm"), makeVgm(concat({on, dataBlock(hit, 0x7FFFFFF0), {0x66}})));
    EXPECT_TRUE(convertLog({dir.file("claim.vgm"), dir.file("claim.x"), 64 * 1024})
                    .error.starts_with("the log is cut short: "));
    EXPECT_FALSE(std::filesystem::exists(dir.file("claim.x")));

    // A loop of 0.5 s with one hit, played twice, then a fade of 1 s: the fade's two hits play
    // copies numbered after the log's sample, as long as they are heard, each quieter than
    // the one before; the summary gives their cost, which counts towards --max-size.
    Bytes looped = on;
    for (const std::uint8_t value : hit) looped = concat({looped, {0x52, 0x2A, value, 0x70}});
    looped = concat({looped, {0x61, 0x92, 0x54, 0x66}});  // 21 650 samples more: 22 050
    writeFile(dir.file("in.vgm"), makeVgm(looped, 0x40 + 3 - 0x1C));
    for (const std::int64_t maxSize : {std::int64_t(1) << 20, std::int64_t(8 * 1024)}) {
        ConvertRequest request{dir.file("in.vgm"), dir.file("in.x"), maxSize};
        request.loops = 2;
        request.fadeSeconds = 1;
        const ConvertResult result = convertLog(request);
        ASSERT_EQ(result.error, "");
        const Bytes program = readFile(dir.file("in.x"));
        EXPECT_LE(std::int64_t(program.size()), maxSize);
        drums = drumsOf(program);
        ASSERT_EQ(drums.starts.size(), 3u);
        EXPECT_EQ(drums.starts[1].substr(drums.starts[1].size() - 2), ":1");
        EXPECT_EQ(drums.starts[2].substr(drums.starts[2].size() - 2), ":2");
        ASSERT_EQ(drums.counts.size(), 3u);
        EXPECT_LE(drums.counts[1], drums.counts[0]);
        EXPECT_LE(drums.counts[2], drums.counts[0]);
        summary = summaryLines({"in", "out", maxSize}, result);
        EXPECT_NE(summary.find("drums: 1 sample, 1 KiB ADPCM at 15.6 kHz, of which 1 KiB for the "
                               "fade's 2 attenuated copies;"),
                  std::string::npos)
            << summary;
    }
    {
        const Bytes program = readFile(dir.file("in.x"));
        const std::size_t bank = std::size_t(program[FULL_PLAYER_BANK_OFFSET] << 24 |
                                             program[FULL_PLAYER_BANK_OFFSET + 1] << 16 |
                                             program[FULL_PLAYER_BANK_OFFSET + 2] << 8 |
                                             program[FULL_PLAYER_BANK_OFFSET + 3]) +
                                 64;
        // The first copy starts with the fade, the second half way, 12 dB down.
        std::vector<double> powers;
        for (std::size_t entry = bank; entry < bank + 3 * 8; entry += 8) {
            const std::size_t at =
                bank + (std::size_t(program[entry]) << 24 | program[entry + 1] << 16 |
                        program[entry + 2] << 8 | program[entry + 3]);
            const std::size_t count = std::size_t(program[entry + 4] << 8 | program[entry + 5]);
            const std::vector<std::int16_t> decoded = adpcmDecode(
                std::vector<std::uint8_t>(program.begin() + std::ptrdiff_t(at),
                                          program.begin() + std::ptrdiff_t(at + count)));
            double power = 0;
            for (const std::int16_t value : decoded) power += double(value) * value;
            powers.push_back(power / double(std::max<std::size_t>(1, decoded.size())));
        }
        EXPECT_NEAR(powers[1] / powers[0], 1, 0.2);
        EXPECT_NEAR(10 * std::log10(powers[2] / powers[0]), -12, 2);
    }

    // A voice too long for the room: played at a lower rate, then left out; the hit stays.
    Bytes voice(44100 * 3);
    for (std::size_t i = 0; i < voice.size(); ++i) voice[i] = std::uint8_t(128 + (i % 50));
    const Bytes both = concat({dataBlock(concat({hit, voice})),
                               on,
                               setUp,
                               {0x93, 0x00},
                               little(0, 4),
                               {0x01},
                               little(400, 4),
                               wait1000,
                               {0x92, 0x00},
                               little(44100, 4),
                               {0x93, 0x00},
                               little(400, 4),
                               {0x03},
                               little(0, 4),
                               {0x61, 0xFF, 0xFF, 0x61, 0xFF, 0xFF, 0x61, 0xFF, 0xFF}});
    std::tie(drums, summary) = convert(both, 20 * 1024);
    EXPECT_NE(summary.find("drums: 2 samples, 15 KiB ADPCM: 1 at 15.6 kHz, 1 at 10.4 kHz; 18 KiB"),
              std::string::npos)
        << summary;
    std::tie(drums, summary) = convert(both, 8 * 1024);
    EXPECT_EQ(drums.counts.size(), 2u);
    EXPECT_EQ(drums.counts[1], 0u);
    EXPECT_NE(summary.find("left out: 1 long sample (3.0 s)"), std::string::npos) << summary;
}

TEST(FullDrums, CorpusSamplesPlayBackCloseToTheSourceResampled) {
    const std::vector<std::filesystem::path> logs = corpusFiles();
    if (logs.empty()) GTEST_SKIP() << "no corpus at " << corpusDir();
    for (const std::filesystem::path& log : logs) {
        auto capture = std::make_unique<DacCapture>();
        ASSERT_TRUE(gatherDacHits(log.string(), *capture));
        // Signal and error power over every sample, as the MSM6258 decodes the bank.
        double signal = 0, error = 0, worst = 1e9;
        for (const DacSample& sample : capture->samples) {
            const std::vector<std::int16_t> wanted = adpcmSignals(sample, AdpcmRate::hz15625);
            const std::vector<std::int16_t> played = adpcmDecode(adpcmEncode(wanted));
            double s = 0, e = 0;
            for (std::size_t i = 0; i < wanted.size(); ++i) {
                s += double(wanted[i]) * wanted[i];
                e += double(played[i] - wanted[i]) * (played[i] - wanted[i]);
            }
            signal += s;
            error += e;
            if (s > 0) worst = std::min(worst, 10 * std::log10(s / std::max(e, 1.0)));
        }
        if (capture->samples.empty()) continue;
        const double snr = 10 * std::log10(signal / std::max(error, 1.0));
        std::printf("%s: %zu samples, %zu hits, %.1f dB, worst sample %.1f dB\n",
                    log.filename().c_str(), capture->samples.size(), capture->hits.size(), snr,
                    worst);
        EXPECT_GE(snr, 18.0) << log;
    }
}

TEST(FullDrums, HitsStartOnTheNearestStep) {
    // A step is 787/5 samples: a hit starts on the step nearest its sample, the next one from
    // half a step on.
    const struct {
        std::int64_t sample, step;
    } hits[] = {
        {236, 1},    // 1.4994 steps
        {1338, 9},   // 8.5006
        {2000, 13},  // 12.706
        {3000, 19},  // 19.060
    };
    Bytes commands = {0x52, 0x2B, 0x80};  // DAC on
    std::int64_t now = 0;
    std::vector<std::string> wanted;
    for (const auto& [sample, step] : hits) {
        commands = concat({commands, {0x61}, little(std::uint32_t(sample - now), 2)});
        for (const std::uint8_t value : {0x90, 0x70, 0xA0, 0x60})
            commands = concat({commands, {0x52, 0x2A, value, 0x70}});  // a sample apart
        now = sample + 4;
        wanted.push_back(std::to_string(step) + ":3:0");
    }
    ScratchDir dir;
    writeFile(dir.file("in.vgm"), makeVgm(concat({commands, {0x66}})));
    const ConvertResult result = convertLog({dir.file("in.vgm"), dir.file("in.x"), 1 << 20});
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(drumsOf(readFile(dir.file("in.x"))).starts, wanted);
}

}  // namespace
