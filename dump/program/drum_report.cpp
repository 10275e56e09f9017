#include "dump/program/drum_report.hpp"

#include <array>

#include "dump/text_format.hpp"

namespace {

// The samples, bytes and seconds of the bank's samples that play, in all or at one rate.
struct DrumTotals {
    std::uint64_t samples = 0;
    std::uint64_t bytes = 0;
    double seconds = 0;
};

constexpr std::array<std::uint8_t, 3> DIVIDER_BITS = {0x08, 0x04, 0x00};

DrumTotals totalsOf(const DrumBank& bank, std::optional<std::uint8_t> dividerBits) {
    DrumTotals totals;
    for (const DrumSample& sample : bank.samples) {
        if (sample.bytes == 0 || (dividerBits && sample.dividerBits != *dividerBits)) continue;
        ++totals.samples;
        totals.bytes += sample.bytes;
        totals.seconds += drumSeconds(sample);
    }
    return totals;
}

std::string totalsText(const char* label, const DrumTotals& t) {
    return format("  %-22s %8llu sample%s, %llu bytes, %.3f s\n", label, ull(t.samples),
                  t.samples == 1 ? "" : "s", ull(t.bytes), t.seconds);
}

std::string totalsJson(const DrumTotals& t) {
    JsonLine line;
    jsonNumber(line, "samples", t.samples);
    jsonNumber(line, "bytes", t.bytes);
    jsonSeconds(line, "seconds", t.seconds);
    return line.text;
}

}  // namespace

std::uint16_t sampleNumberAfter(const ExecutableStream& stream, std::size_t index) {
    // A stream that ends with a start (never one readExecutable accepts) starts no sample.
    if (index + 1 >= stream.pairs.size()) return 0xFFFF;
    const StreamPair& number = stream.pairs[index + 1];
    return std::uint16_t(number.first << 8 | number.second);
}

std::string drumBankLine(const ExecutableStream& stream) {
    if (!stream.bank) return "";
    const DrumBank& bank = *stream.bank;
    return format("drums      bank of %zu samples, %llu bytes at offset %s (text offset %s)\n",
                  bank.samples.size(), ull(bank.size), hexOffset(bank.at).c_str(),
                  hexOffset(bank.at - 64).c_str());
}

std::string describeStreamPair(const ExecutableStream& stream, std::size_t index) {
    const StreamPair& pair = stream.pairs[index];
    switch (streamPairGroup(stream.player, pair)) {
        case PairGroup::sampleNumber:
            return "sample number " + std::to_string(pair.first << 8 | pair.second);
        case PairGroup::adpcmStart:
            return drumStartText(stream.bank, pair.second, sampleNumberAfter(stream, index));
        default:
            return describePair(stream.player, pair.first, pair.second);
    }
}

void drumPairJson(JsonLine& line, const ExecutableStream& stream, std::size_t index) {
    const StreamPair& pair = stream.pairs[index];
    const PairGroup group = streamPairGroup(stream.player, pair);
    if (group == PairGroup::sampleNumber)
        jsonNumber(line, "sample", std::uint64_t(pair.first << 8 | pair.second));
    if (group == PairGroup::adpcmSides) jsonText(line, "sides", adpcmSidesName(pair.second));
    if (group != PairGroup::adpcmStart) return;
    const std::uint16_t number = sampleNumberAfter(stream, index);
    jsonNumber(line, "sample", number);
    jsonText(line, "sides", drumSides(pair.second));
    const DrumSample* sample = startedSample(stream.bank, number);
    jsonBool(line, "plays", sample != nullptr);
    if (!sample) return;
    jsonNumber(line, "rate", drumRateHz(sample->dividerBits));
    jsonNumber(line, "bytes", sample->bytes);
    jsonSeconds(line, "sampleSeconds", drumSeconds(*sample));
}

std::string drumSummaryText(const ExecutableStream& stream, const StreamStats& stats) {
    if (stream.player != PlayerKind::full) return "";
    if (!stream.bank) return "drums      none\n";
    const DrumBank& bank = *stream.bank;
    const DrumTotals all = totalsOf(bank, std::nullopt);
    std::string text =
        format("drums      %zu samples in a bank of %llu bytes at offset %s, %llu left out\n",
               bank.samples.size(), ull(bank.size), hexOffset(bank.at).c_str(),
               ull(bank.samples.size() - all.samples));
    for (std::uint8_t bits : DIVIDER_BITS) {
        const DrumTotals t = totalsOf(bank, bits);
        if (t.samples > 0) text += totalsText(format("%u Hz", drumRateHz(bits)).c_str(), t);
    }
    text += totalsText("in all", all);
    return text +
           format("  %-22s %8llu, %llu of them play nothing\n", "starts", ull(stats.drumStarts),
                  ull(stats.silentStarts)) +
           format("  %-22s %8llu\n", "side changes", ull(stats.sideChanges));
}

void drumSummaryJson(JsonLine& line, const ExecutableStream& stream, const StreamStats& stats) {
    if (stream.player != PlayerKind::full) return;
    if (!stream.bank) return jsonNull(line, "drums");
    const DrumBank& bank = *stream.bank;
    const DrumTotals all = totalsOf(bank, std::nullopt);
    JsonLine drums;
    jsonNumber(drums, "bankOffset", bank.at);
    jsonNumber(drums, "bankBytes", bank.size);
    jsonNumber(drums, "entries", bank.samples.size());
    jsonNumber(drums, "leftOut", bank.samples.size() - all.samples);
    drums.text += ',' + totalsJson(all).substr(1);
    std::string rates = "[";
    for (std::uint8_t bits : DIVIDER_BITS) {
        const DrumTotals t = totalsOf(bank, bits);
        if (t.samples == 0) continue;
        if (rates.size() > 1) rates += ',';
        rates += format("{\"rate\":%u,", drumRateHz(bits)) + totalsJson(t).substr(1) + "}";
    }
    jsonRaw(drums, "rates", rates + "]");
    jsonNumber(drums, "starts", stats.drumStarts);
    jsonNumber(drums, "silentStarts", stats.silentStarts);
    jsonNumber(drums, "sideChanges", stats.sideChanges);
    jsonObject(line, "drums", drums);
}
