#include "full/translate/dac_capture.hpp"

#include <algorithm>

namespace {

constexpr std::uint32_t HIGHEST_STREAM_RATE = 1000000;  // far above any DAC stream

std::uint64_t hashOf(const DacSample& sample) {
    std::uint64_t hash = 0xCBF29CE484222325u ^ sample.rate;  // FNV-1a
    for (const std::uint8_t value : sample.values) hash = (hash ^ value) * 0x100000001B3u;
    return hash;
}

// Keeps a hit unless it is one unchanging value, which the ear does not hear.
void addHit(DacCapture& capture, std::int64_t start, std::uint8_t pan, DacSample&& sample) {
    const auto [low, high] = std::minmax_element(sample.values.begin(), sample.values.end());
    if (low == sample.values.end() || *low == *high) return;
    const std::uint64_t hash = hashOf(sample);
    auto [match, end] = capture.samplesByHash.equal_range(hash);
    for (; match != end; ++match) {
        const DacSample& known = capture.samples[match->second];
        if (known.rate == sample.rate && known.values == sample.values) break;
    }
    std::uint32_t index = 0;
    if (match != end) {
        index = match->second;
    } else if (capture.keptValues + sample.values.size() > DAC_CAPTURE_LIMIT) {
        ++capture.hitsLeftOut;
        return;
    } else {
        capture.keptValues += sample.values.size();
        index = std::uint32_t(capture.samples.size());
        capture.samples.push_back(std::move(sample));
        capture.samplesByHash.emplace(hash, index);
    }
    capture.hits.push_back({start, index, pan});
}

void finishWrites(DacCapture& capture) {
    if (capture.writesStart < 0) return;
    addHit(capture, capture.writesStart, capture.writesPan, {std::move(capture.writes), 44100});
    capture.writes.clear();
    capture.writesStart = -1;
}

}  // namespace

void dacBankData(DacCapture& capture, std::span<const std::uint8_t> bytes) {
    capture.bank.insert(capture.bank.end(), bytes.begin(), bytes.end());
}

void dacSeek(DacCapture& capture, std::uint32_t offset) {
    finishWrites(capture);
    capture.bankOffset = offset;
}

void dacEnable(DacCapture& capture, bool on) {
    if (!on) finishWrites(capture);
    capture.enabled = on;
}

void dacPan(DacCapture& capture, std::uint8_t outputs) {
    capture.pan = outputs & 0xC0;
}

void dacWrite(DacCapture& capture, std::int64_t sample, std::uint8_t value) {
    if (!capture.enabled) return;  // channel 6 plays FM; the DAC is not heard
    if (capture.writesStart >= 0 && (sample - capture.lastWrite > DAC_HIT_GAP ||
                                     std::size_t(sample - capture.writesStart) >= DAC_HIT_LONGEST))
        finishWrites(capture);
    if (capture.writesStart < 0) {
        capture.writesStart = sample;
        capture.writesPan = capture.pan;
    }
    // The DAC holds the last value up to this sample; a write in the same sample replaces it.
    const auto at = std::size_t(sample - capture.writesStart);
    const std::uint8_t held = capture.writes.empty() ? value : capture.writes.back();
    capture.writes.resize(at + 1, held);
    capture.writes[at] = value;
    capture.lastWrite = sample;
}

void dacWriteFromBank(DacCapture& capture, std::int64_t sample) {
    if (capture.bankOffset >= capture.bank.size()) return;
    dacWrite(capture, sample, capture.bank[capture.bankOffset++]);
}

void dacStreamStart(DacCapture& capture, std::int64_t sample, std::uint32_t offset,
                    std::uint32_t length, std::uint32_t rate) {
    dacStreamStop(capture, sample);
    finishWrites(capture);
    if (rate == 0 || rate > HIGHEST_STREAM_RATE || offset >= capture.bank.size()) return;
    capture.streaming = true;
    capture.streamStart = sample;
    capture.streamRate = rate;
    capture.streamFirst = offset;
    capture.streamEnd =
        std::uint32_t(std::min<std::uint64_t>(std::uint64_t(offset) + length, capture.bank.size()));
    capture.streamPan = capture.pan;
}

void dacStreamStop(DacCapture& capture, std::int64_t sample) {
    if (!capture.streaming) return;
    capture.streaming = false;
    // The bytes played by this sample, each in a hit of at most DAC_HIT_LONGEST of time.
    const std::uint64_t elapsed =
        std::uint64_t(std::max<std::int64_t>(sample - capture.streamStart, 0));
    const std::uint64_t played = std::min<std::uint64_t>(
        (elapsed * capture.streamRate + 44099) / 44100, capture.streamEnd - capture.streamFirst);
    const std::uint64_t perHit =
        std::max<std::uint64_t>(DAC_HIT_LONGEST * capture.streamRate / 44100, 1);
    for (std::uint64_t done = 0; done < played; done += perHit) {
        const std::uint64_t count = std::min(perHit, played - done);
        const auto first = capture.bank.begin() + std::ptrdiff_t(capture.streamFirst + done);
        addHit(
            capture, capture.streamStart + std::int64_t(done * 44100 / capture.streamRate),
            capture.streamPan,
            {std::vector<std::uint8_t>(first, first + std::ptrdiff_t(count)), capture.streamRate});
    }
}

void finishDacCapture(DacCapture& capture, std::int64_t sample) {
    dacStreamStop(capture, sample);
    finishWrites(capture);
    std::stable_sort(
        capture.hits.begin(), capture.hits.end(),
        [](const DacHit& a, const DacHit& b) { return a.startSample < b.startSample; });
}
