#include "dump/stream_report.hpp"

#include "driver/executable.hpp"
#include "dump/drum_report.hpp"
#include "dump/json_line.hpp"
#include "dump/text_format.hpp"

namespace {

// The line that names the player of a full program; nothing for a classic one.
std::string playerText(const ExecutableStream& stream) {
    return stream.player == PlayerKind::full ? "player     full (opmcast-full)\n" : "";
}

std::string headerText(const ExecutableStream& stream) {
    const std::uint64_t streamBytes = 2 * stream.pairs.size();
    const char* bank = stream.bank ? "the drums' bank and " : "";
    return playerText(stream) + format("length     %llu bytes\n", ull(stream.length)) +
           format("text size  %llu (0x%08X) at offset %d, the length less %llu\n",
                  ull(stream.sizeField), unsigned(stream.sizeField), TEXT_SIZE_FIELD,
                  ull(EXECUTABLE_HEADER_SIZE + stream.tailSize)) +
           format(
               "stream     %llu bytes (%llu pairs) at offset 0x%llX, then %sthe %llu-byte "
               "player tail\n",
               ull(streamBytes), ull(stream.pairs.size()), ull(stream.streamOffset), bank,
               ull(stream.tailSize)) +
           drumBankLine(stream);
}

std::string loopText(PlayerKind player, const StreamStats& stats) {
    if (stats.stopsAtReserved)
        return "none: the player ends the song at the reserved command at offset " +
               hexOffset(stats.reservedOffset) + "\n";
    if (!stats.loops) return "none\n";
    const std::uint64_t looped = stats.steps - stats.loopStep;
    const char* unit = stepName(player);
    return format("at %s %llu (%.3f s); looped part %llu %ss (%.3f s)\n", unit, ull(stats.loopStep),
                  stepToSeconds(player, stats.loopStep), ull(looped), unit,
                  stepToSeconds(player, looped));
}

// The JSON keys of times, named after the player's step.
struct StepKeys {
    const char* at;      // a pair's place in the stream
    const char* steps;   // a wait's length, and the summary's playing time
    const char* loopAt;  // the loop marker's place
    const char* looped;  // the length of the looped part
};

const StepKeys& stepKeys(PlayerKind player) {
    static const StepKeys CLASSIC = {"tick", "ticks", "loopTick", "loopedTicks"};
    static const StepKeys FULL = {"step", "steps", "loopStep", "loopedSteps"};
    return player == PlayerKind::full ? FULL : CLASSIC;
}

std::string channelList(const std::array<std::uint64_t, 8>& counts) {
    std::string json = "[";
    for (std::size_t c = 0; c < counts.size(); ++c) {
        if (c > 0) json += ',';
        json += std::to_string(counts[c]);
    }
    return json + "]";
}

}  // namespace

StreamStats streamStats(const ExecutableStream& stream) {
    StreamStats stats;
    for (std::size_t i = 0; i < stream.pairs.size(); ++i) {
        const StreamPair& pair = stream.pairs[i];
        const PairGroup group = streamPairGroup(stream.player, pair);
        ++stats.pairs;
        ++stats.byGroup[std::size_t(group)];
        if (group == PairGroup::adpcmStart) {
            ++stats.drumStarts;
            if (!startedSample(stream.bank, sampleNumberAfter(stream, i))) ++stats.silentStarts;
        }
        if (group == PairGroup::adpcmSides) ++stats.sideChanges;
        if (group == PairGroup::keyOnOff) {
            auto& counts = keysOn(pair.second) ? stats.keyOns : stats.keyOffs;
            ++counts[std::size_t(pair.second & 0x07)];
        } else if (stats.stopsAtReserved) {
            continue;
        } else if (group == PairGroup::loopMarker) {
            stats.loops = true;
            stats.loopStep = stats.steps;
        } else if (group == PairGroup::reserved) {
            stats.stopsAtReserved = true;
            stats.reservedOffset = pair.offset;
            stats.loops = false;
        }
        stats.steps += streamPairSteps(stream.player, pair);
    }
    return stats;
}

std::string dumpText(const ExecutableStream& stream) {
    std::string text = headerText(stream) + format("\n    %s  seconds   offset  pair   meaning\n",
                                                   stepName(stream.player));
    std::uint64_t step = 0;
    for (std::size_t i = 0; i < stream.pairs.size(); ++i) {
        const StreamPair& pair = stream.pairs[i];
        text +=
            format("%8llu %8.3f %8s  %02X %02X  ", ull(step), stepToSeconds(stream.player, step),
                   hexOffset(pair.offset).c_str(), unsigned(pair.first), unsigned(pair.second)) +
            describeStreamPair(stream, i) + "\n";
        step += streamPairSteps(stream.player, pair);
    }
    return text;
}

std::string dumpJson(const ExecutableStream& stream) {
    JsonLine header;
    jsonText(header, "type", "header");
    jsonText(header, "player", playerName(stream.player));
    jsonNumber(header, "length", stream.length);
    jsonNumber(header, "textSize", stream.sizeField);
    jsonNumber(header, "streamOffset", stream.streamOffset);
    jsonNumber(header, "pairs", stream.pairs.size());
    if (stream.player == PlayerKind::full)
        jsonOptional(header, "bankOffset",
                     stream.bank ? std::optional(stream.bank->at) : std::nullopt);
    std::string text = jsonEnd(header);
    const StepKeys& keys = stepKeys(stream.player);
    std::uint64_t step = 0;
    for (std::size_t i = 0; i < stream.pairs.size(); ++i) {
        const StreamPair& pair = stream.pairs[i];
        const PairGroup group = streamPairGroup(stream.player, pair);
        const unsigned steps = streamPairSteps(stream.player, pair);
        JsonLine line;
        jsonText(line, "type", "pair");
        jsonNumber(line, "offset", pair.offset);
        jsonNumber(line, keys.at, step);
        jsonSeconds(line, "seconds", stepToSeconds(stream.player, step));
        jsonNumber(line, "register", pair.first);
        jsonNumber(line, "value", pair.second);
        jsonText(line, "group", groupNames(group).id);
        jsonText(line, "meaning", describeStreamPair(stream, i));
        if (group == PairGroup::wait) jsonNumber(line, keys.steps, steps);
        const int channel = pairChannel(pair.first, pair.second);
        if (channel >= 0) jsonNumber(line, "channel", std::uint64_t(channel));
        const int op = pairOperator(pair.first);
        if (op >= 0) jsonNumber(line, "operator", std::uint64_t(op));
        if (group == PairGroup::keyOnOff) jsonText(line, "ops", keyOperators(pair.second));
        drumPairJson(line, stream, i);
        text += jsonEnd(line);
        step += steps;
    }
    return text;
}

std::string summaryText(const ExecutableStream& stream) {
    const StreamStats stats = streamStats(stream);
    std::string text = playerText(stream) + format("pairs      %llu\n", ull(stats.pairs));
    for (int g = 0; g < PAIR_GROUPS; ++g)
        if (stats.byGroup[std::size_t(g)] > 0)
            text += format("  %-22s %8llu\n", groupNames(PairGroup(g)).label,
                           ull(stats.byGroup[std::size_t(g)]));
    text += "key on / key off by channel\n";
    for (std::size_t c = 0; c < 8; ++c)
        text += format("  ch%zu %8llu / %llu\n", c, ull(stats.keyOns[c]), ull(stats.keyOffs[c]));
    text += format("duration   %llu %ss (%.3f s)\n", ull(stats.steps), stepName(stream.player),
                   stepToSeconds(stream.player, stats.steps));
    return text + "loop       " + loopText(stream.player, stats) + drumSummaryText(stream, stats);
}

std::string summaryJson(const ExecutableStream& stream) {
    const StreamStats stats = streamStats(stream);
    JsonLine line;
    jsonText(line, "type", "summary");
    jsonText(line, "player", playerName(stream.player));
    jsonNumber(line, "length", stream.length);
    jsonNumber(line, "textSize", stream.sizeField);
    jsonNumber(line, "pairs", stats.pairs);
    // Every group but those this player's stream cannot hold: reserved and ADPCM commands are
    // waits to the classic player, and the full player's stream never writes the timers.
    const bool full = stream.player == PlayerKind::full;
    const auto possible = [full](PairGroup g) {
        const bool fullOnly = g == PairGroup::reserved || g == PairGroup::adpcmStop ||
                              g == PairGroup::adpcmStart || g == PairGroup::adpcmSides ||
                              g == PairGroup::sampleNumber;
        return full ? g != PairGroup::timer : !fullOnly;
    };
    JsonLine groups;
    for (int g = 0; g < PAIR_GROUPS; ++g)
        if (possible(PairGroup(g)))
            jsonNumber(groups, groupNames(PairGroup(g)).id, stats.byGroup[std::size_t(g)]);
    jsonObject(line, "groups", groups);
    jsonRaw(line, "keyOn", channelList(stats.keyOns));
    jsonRaw(line, "keyOff", channelList(stats.keyOffs));
    const PlayerKind player = stream.player;
    const StepKeys& keys = stepKeys(player);
    jsonNumber(line, keys.steps, stats.steps);
    jsonSeconds(line, "seconds", stepToSeconds(player, stats.steps));
    if (stats.loops) {
        jsonNumber(line, keys.loopAt, stats.loopStep);
        jsonSeconds(line, "loopSeconds", stepToSeconds(player, stats.loopStep));
        jsonNumber(line, keys.looped, stats.steps - stats.loopStep);
        jsonSeconds(line, "loopedSeconds", stepToSeconds(player, stats.steps - stats.loopStep));
    } else {
        for (const char* key : {keys.loopAt, "loopSeconds", keys.looped, "loopedSeconds"})
            jsonNull(line, key);
    }
    if (stream.player == PlayerKind::full)
        jsonOptional(line, "reservedOffset",
                     stats.stopsAtReserved ? std::optional(stats.reservedOffset) : std::nullopt);
    drumSummaryJson(line, stream, stats);
    return jsonEnd(line);
}
