// The YM2612's DAC as a log drives it, gathered into hits for the X68000's ADPCM: each hit a
// stretch of the 8-bit DAC signal, at the log's time, with the pan of its start; identical
// hits share one sample.
//
// A log plays the DAC three ways: 0x2A writes timed by the waits around them; 0x80-0x8F,
// which write the data bank's next byte; and DAC streams, which play a stretch of the bank at
// a set frequency. The DAC holds each value until the next, so writes become a signal at the
// log's 44 100 Hz; a stream's bytes are a signal at its own frequency.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

// A stretch of the DAC signal: unsigned 8-bit values, 0x80 the centre.
struct DacSample {
    std::vector<std::uint8_t> values;
    std::uint32_t rate = 44100;  // values a second
    // A copy the fade plays: each value's amplitude factor (empty for the log's own samples).
    std::vector<float> gains;
};

struct DacHit {
    std::int64_t startSample = 0;  // in 1/44100 s
    std::uint32_t sampleIndex = 0;
    // YM2612 channel 6's 0xB6 bits 7-6 (left, right) in effect once every write of the hit's
    // first sample is made.
    std::uint8_t pan = 0xC0;
};

// Channel 6's pan (0xB6 bits 7-6) changes at `sample`, after the writes before it in that sample.
struct DacPanChange {
    std::int64_t sample = 0;
    std::uint8_t pan = 0xC0;
};

// Writes more than this far apart end a hit: 10 ms.
inline constexpr std::int64_t DAC_HIT_GAP = 441;
// A hit longer than this is cut, so that no sample outgrows what one DMA transfer may count
// (65 535 bytes, 8.4 s at 15.6 kHz): 6 s.
inline constexpr std::size_t DAC_HIT_LONGEST = 6 * 44100;

// The distinct samples' values kept at most: 32 MiB, over twelve minutes at 44 100 Hz. A hit
// that would need more is left out and counted: a log that is all DAC writes far apart could
// otherwise ask for a hundred times its size.
inline constexpr std::size_t DAC_CAPTURE_LIMIT = std::size_t(32) << 20;

// The hits kept at most: 1 048 576 (16 MiB). A program holds 4 bytes of stream for each, so
// no program within any sane limit plays more; the hits beyond are counted as left out.
inline constexpr std::size_t DAC_HITS_LIMIT = std::size_t(1) << 20;

// How a DAC stream (VGM 0x90-0x92) is set up, as far as it plays the YM2612's DAC.
struct DacStreamSetup {
    bool toDac = false;     // 0x90: the first YM2612, port 0, register 0x2A
    bool fromBank = false;  // 0x91: data bank type 0x00
    std::uint8_t stepSize = 1, stepBase = 0;
    std::uint32_t rate = 0;  // 0x92: commands a second
};

struct DacCapture {
    std::vector<std::uint8_t> bank;          // the data blocks of type 0x00, one after the other
    std::vector<std::uint32_t> blockStarts;  // where each of those blocks starts in the bank
    std::uint32_t bankOffset = 0;            // where 0x80-0x8F read next (0xE0 sets it)
    std::uint8_t pan = 0xC0;
    bool enabled = false;  // 0x2B bit 7: the DAC replaces channel 6

    // The hit being gathered from writes: its values at 44 100 Hz up to the last write, which
    // holds until the next write or the hit's end.
    std::vector<std::uint8_t> writes;
    std::int64_t writesStart = -1;  // -1 while no hit is being gathered
    std::int64_t lastWrite = 0;
    std::uint8_t writesPan = 0xC0;

    std::array<DacStreamSetup, 256> streamSetups{};
    int streamId = -1;  // the stream playing, if one was started by a stream command
    // The stream playing: bank bytes [streamFirst, streamEnd) at streamRate from streamStart,
    // one every streamStride, over again if it loops.
    bool streaming = false;
    bool streamLoops = false;
    std::uint32_t streamStride = 1;
    std::int64_t streamStart = 0;
    std::uint32_t streamRate = 0;
    std::uint32_t streamFirst = 0, streamEnd = 0;
    std::uint8_t streamPan = 0xC0;

    std::vector<DacSample> samples;
    std::vector<DacHit> hits;
    std::vector<DacPanChange> panChanges;  // in the log's order, at most DAC_HITS_LIMIT
    std::unordered_multimap<std::uint64_t, std::uint32_t> samplesByHash;
    std::size_t keptValues = 0;
    std::int64_t hitsLeftOut = 0;  // over DAC_CAPTURE_LIMIT
};

// 0x67 with type 0x00: more bytes for the bank.
void dacBankData(DacCapture& capture, std::span<const std::uint8_t> bytes);
// 0xE0: where 0x80-0x8F read next. Also begins a new hit.
void dacSeek(DacCapture& capture, std::uint32_t offset);
// 0x2B.
void dacEnable(DacCapture& capture, bool on);
// YM2612 port 1 0xB6 at `sample`.
void dacPan(DacCapture& capture, std::int64_t sample, std::uint8_t outputs);
// 0x2A: the DAC's value from this sample on.
void dacWriteAny(DacCapture& capture, std::int64_t sample, std::uint8_t value);
inline void dacWrite(DacCapture& capture, std::int64_t sample, std::uint8_t value) {
    // The common case, kept inline: the next value of the hit being gathered, a sample or a
    // few after the last, the last held up to it.
    const std::int64_t since = sample - capture.lastWrite;
    if (capture.enabled && capture.writesStart >= 0 && since > 0 && since <= DAC_HIT_GAP &&
        std::size_t(sample - capture.writesStart) < DAC_HIT_LONGEST) {
        std::vector<std::uint8_t>& writes = capture.writes;
        const std::uint8_t held = writes.back();
        for (std::int64_t s = 1; s < since; ++s) writes.push_back(held);
        writes.push_back(value);
        capture.lastWrite = sample;
        return;
    }
    dacWriteAny(capture, sample, value);
}
// 0x80-0x8F: the bank's next byte, then the offset moves on (past the bank: nothing).
inline void dacWriteFromBank(DacCapture& capture, std::int64_t sample) {
    if (capture.bankOffset < capture.bank.size())
        dacWrite(capture, sample, capture.bank[capture.bankOffset++]);
}
// A DAC stream starts (0x93, 0x95): length bytes of the bank from offset, at rate values a
// second; what lies beyond the bank is dropped. A stream playing is ended first.
void dacStreamStart(DacCapture& capture, std::int64_t sample, std::uint32_t offset,
                    std::uint32_t length, std::uint32_t rate, std::uint32_t stride = 1,
                    bool loops = false);
// 0x94, or a stream's end: what it played up to this sample becomes a hit.
void dacStreamStop(DacCapture& capture, std::int64_t sample);
// A DAC stream control command (0x90-0x95, operands after the command byte). Streams that play
// other chips, other registers or other data banks are passed over; reversed playing is
// played forwards.
void dacStreamControl(DacCapture& capture, std::int64_t sample, std::uint8_t code,
                      const std::uint8_t* operands);
// The end of the log: the hits being gathered are finished, and each takes the pan in effect
// after the writes of its first sample.
void finishDacCapture(DacCapture& capture, std::int64_t sample);
