#include "full/translate/dac_capture.hpp"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t HIGHEST_STREAM_RATE = 1000000;  // far above any DAC stream

// Eight values at a time, multiplied and folded: a hash to find identical hits by.
std::uint64_t hashOf(const DacSample& sample) {
    std::uint64_t hash = 0x9E3779B97F4A7C15u ^ sample.rate ^ sample.values.size() << 32;
    const std::uint8_t* values = sample.values.data();
    const std::size_t count = sample.values.size();
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        std::uint64_t eight;
        std::memcpy(&eight, values + i, 8);
        hash = (hash ^ eight) * 0xFF51AFD7ED558CCDu;
        hash ^= hash >> 29;
    }
    for (; i < count; ++i) hash = (hash ^ values[i]) * 0x100000001B3u;
    return hash;
}

// Keeps a hit unless it is one unchanging value, which the ear does not hear.
void addHit(DacCapture& capture, std::int64_t start, std::uint8_t pan, DacSample&& sample) {
    const std::vector<std::uint8_t>& values = sample.values;
    if (values.empty() || std::all_of(values.begin(), values.end(),
                                      [first = values[0]](std::uint8_t v) { return v == first; }))
        return;
    if (capture.hits.size() >= DAC_HITS_LIMIT) {
        ++capture.hitsLeftOut;
        return;
    }
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
    addHit(capture, capture.writesStart, capture.writesPan, {std::move(capture.writes), 44100, {}});
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

void dacPan(DacCapture& capture, std::int64_t sample, std::uint8_t outputs) {
    const auto pan = std::uint8_t(outputs & 0xC0);
    if (pan == capture.pan) return;
    capture.pan = pan;
    if (capture.panChanges.size() < DAC_HITS_LIMIT) capture.panChanges.push_back({sample, pan});
}

void dacWriteAny(DacCapture& capture, std::int64_t sample, std::uint8_t value) {
    if (!capture.enabled) return;  // channel 6 plays FM; the DAC is not heard
    if (capture.writesStart >= 0 && (sample - capture.lastWrite > DAC_HIT_GAP ||
                                     std::size_t(sample - capture.writesStart) >= DAC_HIT_LONGEST))
        finishWrites(capture);
    if (capture.writesStart < 0) {
        capture.writesStart = sample;
        capture.writesPan = capture.pan;
    }
    // The DAC holds the last value up to this sample; a write in the same sample replaces it.
    std::vector<std::uint8_t>& writes = capture.writes;
    const auto at = std::size_t(sample - capture.writesStart);
    if (at < writes.size()) {
        writes[at] = value;
    } else {
        const std::uint8_t held = writes.empty() ? value : writes.back();
        while (writes.size() < at) writes.push_back(held);
        writes.push_back(value);
    }
    capture.lastWrite = sample;
}

void dacStreamStart(DacCapture& capture, std::int64_t sample, std::uint32_t offset,
                    std::uint32_t length, std::uint32_t rate, std::uint32_t stride, bool loops) {
    dacStreamStop(capture, sample);
    finishWrites(capture);
    if (rate == 0 || rate > HIGHEST_STREAM_RATE || offset >= capture.bank.size() || length == 0)
        return;
    capture.streaming = true;
    capture.streamLoops = loops;
    capture.streamStride = std::max<std::uint32_t>(stride, 1);
    capture.streamStart = sample;
    capture.streamRate = rate;
    capture.streamFirst = offset;
    capture.streamEnd = std::uint32_t(std::min<std::uint64_t>(
        std::uint64_t(offset) + std::uint64_t(length) * capture.streamStride, capture.bank.size()));
    capture.streamPan = capture.pan;
}

void dacStreamStop(DacCapture& capture, std::int64_t sample) {
    if (!capture.streaming) return;
    capture.streaming = false;
    capture.streamId = -1;
    // The commands played by this sample, each in a hit of at most DAC_HIT_LONGEST of time; a
    // loop plays the stretch over again, as one signal, for at most DAC_CAPTURE_LIMIT values.
    const std::uint32_t stride = capture.streamStride;
    const std::uint64_t stretch = (capture.streamEnd - capture.streamFirst + stride - 1) / stride;
    const std::uint64_t elapsed =
        std::uint64_t(std::max<std::int64_t>(sample - capture.streamStart, 0));
    std::uint64_t played = (elapsed * capture.streamRate + 44099) / 44100;
    played = capture.streamLoops ? std::min<std::uint64_t>(played, DAC_CAPTURE_LIMIT)
                                 : std::min(played, stretch);
    const std::uint64_t perHit =
        std::max<std::uint64_t>(DAC_HIT_LONGEST * capture.streamRate / 44100, 1);
    for (std::uint64_t done = 0; done < played; done += perHit) {
        const std::uint64_t count = std::min(perHit, played - done);
        std::vector<std::uint8_t> values(count);
        for (std::uint64_t i = 0; i < count; ++i)
            values[i] = capture.bank[capture.streamFirst + (done + i) % stretch * stride];
        addHit(capture, capture.streamStart + std::int64_t(done * 44100 / capture.streamRate),
               capture.streamPan, {std::move(values), capture.streamRate, {}});
    }
}

void dacStreamControl(DacCapture& capture, std::int64_t sample, std::uint8_t code,
                      const std::uint8_t* operands) {
    auto longAt = [&](int at) {
        return std::uint32_t(operands[at] | operands[at + 1] << 8 | operands[at + 2] << 16) |
               std::uint32_t(operands[at + 3]) << 24;
    };
    const std::uint8_t id = operands[0];
    DacStreamSetup& setup = capture.streamSetups[id];
    auto start = [&](std::uint32_t offset, std::uint32_t commands, bool loops) {
        if (!setup.toDac || !setup.fromBank) return;
        dacStreamStart(capture, sample, offset + setup.stepBase, commands, setup.rate,
                       setup.stepSize, loops);
        if (capture.streaming) capture.streamId = id;
    };
    switch (code) {
        case 0x90:  // ss tt pp cc: chip type (0x02 the first YM2612), port, register
            setup.toDac = operands[1] == 0x02 && operands[2] == 0 && operands[3] == 0x2A;
            break;
        case 0x91:  // ss dd ll bb: data bank type, step size, step base
            setup.fromBank = operands[1] == 0x00;
            setup.stepSize = operands[2];
            setup.stepBase = operands[3];
            break;
        case 0x92:  // ss ffffffff: frequency
            setup.rate = longAt(1);
            break;
        case 0x93: {  // ss aaaaaaaa mm llllllll: offset, length mode, length
            const std::uint32_t offset = longAt(1), length = longAt(6);
            const std::uint8_t mode = operands[5];
            const std::uint32_t stride = std::max<std::uint32_t>(setup.stepSize, 1);
            const std::uint32_t toEnd = offset < capture.bank.size()
                                            ? std::uint32_t(capture.bank.size() - offset) / stride
                                            : 0;
            switch (mode & 0x03) {
                case 1:  // commands
                    start(offset, length, mode & 0x80);
                    break;
                case 2:  // milliseconds
                    start(offset,
                          std::uint32_t(std::min<std::uint64_t>(
                              std::uint64_t(length) * setup.rate / 1000, UINT32_MAX)),
                          mode & 0x80);
                    break;
                case 3:  // to the end of the data
                    start(offset, toEnd, mode & 0x80);
                    break;
                default:  // the length is kept: not a start this capture follows
                    break;
            }
            break;
        }
        case 0x94:  // ss: stop (0xFF: every stream)
            if (id == 0xFF || id == capture.streamId) dacStreamStop(capture, sample);
            break;
        case 0x95: {  // ss bbbb ff: the whole of data block bbbb, bit 0 of ff to loop
            const std::uint32_t block = operands[1] | operands[2] << 8;
            if (block >= capture.blockStarts.size()) break;
            const std::uint32_t first = capture.blockStarts[block];
            const std::uint32_t end = block + 1 < capture.blockStarts.size()
                                          ? capture.blockStarts[block + 1]
                                          : std::uint32_t(capture.bank.size());
            const std::uint32_t stride = std::max<std::uint32_t>(setup.stepSize, 1);
            start(first, (end - first) / stride, operands[3] & 0x01);
            break;
        }
        default:
            break;
    }
}

void finishDacCapture(DacCapture& capture, std::int64_t sample) {
    dacStreamStop(capture, sample);
    finishWrites(capture);
    std::stable_sort(
        capture.hits.begin(), capture.hits.end(),
        [](const DacHit& a, const DacHit& b) { return a.startSample < b.startSample; });
    // A log may write the pan just after a hit's first value, in the same sample: the hit
    // plays on the sides in effect once that sample is written.
    const std::vector<DacPanChange>& changes = capture.panChanges;
    for (DacHit& hit : capture.hits) {
        const auto after = std::upper_bound(
            changes.begin(), changes.end(), hit.startSample,
            [](std::int64_t start, const DacPanChange& change) { return start < change.sample; });
        if (after != changes.begin()) hit.pan = std::prev(after)->pan;
    }
}
