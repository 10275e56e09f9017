#include "dump/program/vgm_drums.hpp"

#include <algorithm>
#include <array>

#include "dump/program/stream_report.hpp"

namespace {

constexpr std::uint8_t VGM_DATA_BLOCK = 0x67;
constexpr std::uint8_t OKIM6258_BLOCK_TYPE = 0x04;
constexpr std::uint8_t OKIM6258_CHIP_TYPE = 0x17;
constexpr std::uint8_t OKIM6258_WRITE = 0xB7;
constexpr std::uint8_t OKIM6258_CONTROL = 0x00;  // bit 0 stop, bit 1 play
constexpr std::uint8_t OKIM6258_DATA = 0x01;
constexpr std::uint8_t OKIM6258_PAN = 0x02;  // port C bits 1-0: bit 0 mutes right, bit 1 left
constexpr std::uint8_t OKIM6258_DIVIDER = 0x0C;
constexpr std::uint8_t STREAM_SETUP = 0x90, STREAM_DATA = 0x91, STREAM_FREQUENCY = 0x92;
constexpr std::uint8_t STREAM_START = 0x93, STREAM_STOP = 0x94;
constexpr std::uint8_t LENGTH_IN_COMMANDS = 0x01;
constexpr std::uint32_t VGM_RATE = 44100;
constexpr std::uint8_t VGM_WAIT = 0x61;
constexpr std::uint32_t LONGEST_VGM_WAIT = 0xFFFF;

// Stream 0 plays the samples at divider 512, 1 those at 768, 2 those at 1024.
constexpr std::array<std::uint8_t, 3> STREAM_DIVIDER_BITS = {0x08, 0x04, 0x00};

std::uint8_t streamOf(std::uint8_t dividerBits) {
    return dividerBits == 0x08 ? 0 : dividerBits == 0x04 ? 1 : 2;
}

// Bytes a second the stream sends: the clock over twice the divider, rounded, as the chip
// takes two 4-bit codes a byte (7813, 5208, 3906).
std::uint32_t streamFrequency(std::uint8_t dividerBits) {
    const unsigned divider = drumDivider(dividerBits);
    return (OKIM6258_CLOCK + divider) / (2 * divider);
}

void putLittle(Bytes& vgm, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) vgm.push_back(std::uint8_t(value >> (8 * i)));
}

void putChip(Bytes& vgm, std::uint8_t reg, std::uint8_t value) {
    vgm.insert(vgm.end(), {OKIM6258_WRITE, reg, value});
}

void setDivider(VgmDrums& drums, Bytes& vgm, std::uint8_t dividerBits) {
    if (drums.divider == dividerBits) return;
    putChip(vgm, OKIM6258_DIVIDER, std::uint8_t(dividerBits >> 2));
    drums.divider = dividerBits;
}

// Where the divider of the next start is to be written: as soon as the chip is idle, and
// while it plays, at the latest DIVIDER_LEAD samples before that start; none when it is set.
std::optional<std::uint64_t> dividerTime(const VgmDrums& drums, std::uint64_t now) {
    if (drums.next >= drums.starts.size()) return std::nullopt;
    const PlannedStart& start = drums.starts[drums.next];
    if (start.dividerBits == drums.divider) return std::nullopt;
    if (!drums.playing) return now;
    return std::max(now, start.sample - std::min(start.sample, DIVIDER_LEAD));
}

}  // namespace

VgmDrums planDrums(const ExecutableStream& stream) {
    VgmDrums drums;
    if (!stream.bank) return drums;
    drums.bank = &*stream.bank;
    std::uint64_t step = 0;
    for (std::size_t i = 0; i < stream.pairs.size(); ++i) {
        const StreamPair& pair = stream.pairs[i];
        const PairGroup group = streamPairGroup(stream.player, pair);
        if (group == PairGroup::endMarker || group == PairGroup::fadeEnd ||
            group == PairGroup::reserved)
            break;
        if (group == PairGroup::loopMarker) drums.afterLoop = drums.starts.size();
        if (group == PairGroup::adpcmStart)
            if (const DrumSample* sample =
                    startedSample(*stream.bank, sampleNumberAfter(stream, i)))
                drums.starts.push_back({stepToSamples(stream.player, step), sample->dividerBits});
        step += streamPairSteps(stream.player, pair);
    }
    if (!drums.starts.empty()) drums.divider = drums.starts.front().dividerBits;
    return drums;
}

std::optional<Problem> putDrumBank(const VgmDrums& drums, Bytes& vgm) {
    const DrumBank& bank = *drums.bank;
    for (int i = 0; i < 4; ++i)
        vgm[0x90 + std::size_t(i)] = std::uint8_t(OKIM6258_CLOCK >> (8 * i));
    vgm[0x94] = std::uint8_t(OKIM6258_FLAGS | drums.divider >> 2);
    if (bank.data.size() >= 0x80000000u)
        return Problem{"the drums' bank is too large for a VGM data block (2 GiB)", bank.dataAt};
    vgm.insert(vgm.end(), {VGM_DATA_BLOCK, 0x66, OKIM6258_BLOCK_TYPE});
    putLittle(vgm, std::uint32_t(bank.data.size()));
    vgm.insert(vgm.end(), bank.data.begin(), bank.data.end());
    std::array<bool, 3> used{};
    for (const DrumSample& sample : bank.samples)
        if (sample.bytes > 0) used[streamOf(sample.dividerBits)] = true;
    for (std::uint8_t s = 0; s < used.size(); ++s) {
        if (!used[s]) continue;
        vgm.insert(vgm.end(), {STREAM_SETUP, s, OKIM6258_CHIP_TYPE, 0x00, OKIM6258_DATA});
        vgm.insert(vgm.end(), {STREAM_DATA, s, OKIM6258_BLOCK_TYPE, 0x01, 0x00});
        vgm.insert(vgm.end(), {STREAM_FREQUENCY, s});
        putLittle(vgm, streamFrequency(STREAM_DIVIDER_BITS[s]));
    }
    return std::nullopt;
}

void putVgmWait(Bytes& vgm, std::uint64_t samples) {
    while (samples > 0) {
        const auto n = std::uint32_t(std::min<std::uint64_t>(samples, LONGEST_VGM_WAIT));
        vgm.insert(vgm.end(), {VGM_WAIT, std::uint8_t(n), std::uint8_t(n >> 8)});
        samples -= n;
    }
}

void advanceDrums(VgmDrums& drums, Bytes& vgm, std::uint64_t from, std::uint64_t to) {
    for (;;) {
        const std::optional<std::uint64_t> divideAt = dividerTime(drums, from);
        const bool stopFirst = drums.playing && (!divideAt || drums.endSample <= *divideAt);
        const std::uint64_t at =
            stopFirst ? std::max(from, drums.endSample) : divideAt.value_or(to + 1);
        if (at > to) break;
        putVgmWait(vgm, at - from);
        from = at;
        if (stopFirst) {
            stopDrum(drums, vgm);
        } else {
            setDivider(drums, vgm, drums.starts[drums.next].dividerBits);
        }
    }
    putVgmWait(vgm, to - from);
}

void stopDrum(VgmDrums& drums, Bytes& vgm) {
    if (!drums.playing) return;
    vgm.insert(vgm.end(), {STREAM_STOP, drums.stream});
    putChip(vgm, OKIM6258_CONTROL, 0x01);
    putChip(vgm, OKIM6258_PAN, 0x03);
    drums.playing = false;
}

void startDrum(VgmDrums& drums, Bytes& vgm, std::uint8_t code, std::uint16_t number,
               std::uint64_t sample) {
    // As the player does, a start cuts the sample playing, even one that plays nothing.
    const DrumSample* played = drums.bank ? startedSample(*drums.bank, number) : nullptr;
    stopDrum(drums, vgm);
    if (!played) return;
    ++drums.next;
    setDivider(drums, vgm, played->dividerBits);
    drums.stream = streamOf(played->dividerBits);
    putChip(vgm, OKIM6258_PAN, std::uint8_t(~code & 0x03));
    putChip(vgm, OKIM6258_CONTROL, 0x02);
    vgm.insert(vgm.end(), {STREAM_START, drums.stream});
    putLittle(vgm, std::uint32_t(played->at - drums.bank->dataAt));
    vgm.push_back(LENGTH_IN_COMMANDS);
    putLittle(vgm, played->bytes);
    const std::uint32_t frequency = streamFrequency(played->dividerBits);
    drums.playing = true;
    drums.endSample =
        sample + (std::uint64_t(played->bytes) * VGM_RATE + frequency - 1) / frequency;
}

void sidesDrum(const VgmDrums& drums, Bytes& vgm, std::uint8_t code) {
    if (drums.playing) putChip(vgm, OKIM6258_PAN, std::uint8_t(~code & 0x03));
}

void endDrums(VgmDrums& drums, Bytes& vgm, bool loops) {
    stopDrum(drums, vgm);
    if (!loops || drums.afterLoop >= drums.starts.size()) return;
    drums.next = drums.afterLoop;
    setDivider(drums, vgm, drums.starts[drums.next].dividerBits);
}
