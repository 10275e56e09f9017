// How opmcast-full gathers what a log plays on the YM2612's DAC into hits and shared samples.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "full/translate/dac_capture.hpp"

namespace {

using Values = std::vector<std::uint8_t>;

// Writes values at the given samples, each (sample, value).
void write(DacCapture& capture,
           std::initializer_list<std::pair<std::int64_t, std::uint8_t>> writes) {
    for (const auto& [sample, value] : writes) dacWrite(capture, sample, value);
}

TEST(FullDac, WritesBecomeHitsCutAtGapsAndSeeksAndIdenticalOnesShareASample) {
    DacCapture capture;
    write(capture, {{0, 0x90}});  // not enabled: channel 6 plays FM, nothing is heard
    dacEnable(capture, true);
    // The DAC holds each value to the next write; a write in the same sample replaces it.
    write(capture, {{100, 0x90}, {102, 0x70}, {103, 0x10}, {103, 0xA0}});
    // The same hit again after a gap of more than 10 ms, panned left.
    dacPan(capture, 999, 0x80);
    write(capture, {{1000, 0x90}, {1002, 0x70}, {1003, 0xA0}});
    // A different one, cut in two by a seek although its writes lie close together.
    write(capture, {{5000, 0x81}, {5001, 0x82}});
    dacSeek(capture, 0);
    write(capture, {{5002, 0x83}, {5003, 0x84}});
    // Writes of one unchanging value are not heard: no hit.
    write(capture, {{9000, 0x80}, {9010, 0x80}});
    // Pauses of 10 ms (441 samples) at most hold the value within the hit; one sample more
    // ends it.
    write(capture, {{12000, 0x11}, {12440, 0x22}, {12881, 0x33}, {13323, 0x44}, {13324, 0x55}});
    // Disabling the DAC ends a hit.
    write(capture, {{20000, 0x50}, {20001, 0x60}});
    dacEnable(capture, false);
    finishDacCapture(capture, 30000);

    ASSERT_EQ(capture.hits.size(), 7u);
    ASSERT_EQ(capture.samples.size(), 6u);
    EXPECT_EQ(capture.samples[0].values, (Values{0x90, 0x90, 0x70, 0xA0}));
    EXPECT_EQ(capture.samples[0].rate, 44100u);
    const std::int64_t starts[] = {100, 1000, 5000, 5002, 12000, 13323, 20000};
    const std::uint32_t indexes[] = {0, 0, 1, 2, 3, 4, 5};
    const std::uint8_t pans[] = {0xC0, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
    for (std::size_t i = 0; i < capture.hits.size(); ++i) {
        EXPECT_EQ(capture.hits[i].startSample, starts[i]) << i;
        EXPECT_EQ(capture.hits[i].sampleIndex, indexes[i]) << i;
        EXPECT_EQ(capture.hits[i].pan, pans[i]) << i;
    }
    EXPECT_EQ(capture.samples[1].values, (Values{0x81, 0x82}));
    EXPECT_EQ(capture.samples[3].values.size(), 882u);  // 0x11 440 times, 0x22 441, 0x33
    EXPECT_EQ(capture.samples[4].values, (Values{0x44, 0x55}));
}

TEST(FullDac, BankBytesAndStreamsPlayTheBankSafely) {
    DacCapture capture;
    dacEnable(capture, true);
    const Values bank = {0x80, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70};
    dacBankData(capture, bank);
    // 0x80-0x8F: the bank's bytes in turn from the seek; past the bank, nothing.
    dacSeek(capture, 5);
    for (std::int64_t sample = 10; sample < 14; ++sample) dacWriteFromBank(capture, sample);
    // A stream of 4 bytes from offset 1 at 22 050 Hz, stopped after 3 of them have played;
    // then one whose length runs past the bank (2^31) and plays to the end of the log; then
    // streams naming no byte of the bank, a frequency of 0 or one absurdly high: nothing.
    dacStreamStart(capture, 1000, 1, 4, 22050);
    dacStreamStop(capture, 1005);
    dacStreamStart(capture, 2000, 6, 0x80000000u, 8000);
    dacStreamStart(capture, 3000, 8, 4, 8000);
    dacStreamStart(capture, 3000, 0x80000000u, 4, 8000);
    dacStreamStart(capture, 3000, 1, 4, 0);
    dacStreamStart(capture, 3000, 1, 4, 0xFFFFFFFFu);
    // A new start ends the stream playing.
    dacStreamStart(capture, 4000, 2, 3, 11025);
    dacStreamStart(capture, 4100, 1, 2, 11025);
    finishDacCapture(capture, 100000);

    const Values expected[] = {
        {0x50, 0x60, 0x70}, {0x10, 0x20, 0x30}, {0x60, 0x70}, {0x20, 0x30, 0x40}, {0x10, 0x20}};
    const std::uint32_t rates[] = {44100, 22050, 8000, 11025, 11025};
    const std::int64_t starts[] = {10, 1000, 2000, 4000, 4100};
    ASSERT_EQ(capture.hits.size(), 5u);
    for (std::size_t i = 0; i < capture.hits.size(); ++i) {
        const DacSample& sample = capture.samples[capture.hits[i].sampleIndex];
        EXPECT_EQ(sample.values, expected[i]) << i;
        EXPECT_EQ(sample.rate, rates[i]) << i;
        EXPECT_EQ(capture.hits[i].startSample, starts[i]) << i;
    }
    // A long stream comes as hits of at most 6 s each, at their own times.
    DacCapture longOne;
    dacBankData(longOne, Values(100000, 0x00));
    longOne.bank[0] = 0xFF;  // so that no part is one unchanging value
    longOne.bank[48000] = 0xFF;
    longOne.bank[96000] = 0xFF;
    dacStreamStart(longOne, 0, 0, 100000, 8000);
    finishDacCapture(longOne, 44100 * 20);
    ASSERT_EQ(longOne.hits.size(), 3u);
    EXPECT_EQ(longOne.hits[1].startSample, 6 * 44100);
    EXPECT_EQ(longOne.samples[longOne.hits[2].sampleIndex].values.size(), 100000u - 96000u);
}

}  // namespace
