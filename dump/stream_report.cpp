#include "dump/stream_report.hpp"

#include "driver/executable.hpp"
#include "dump/json_line.hpp"
#include "dump/text_format.hpp"
#include "translate/opm_image.hpp"

namespace {

// The line that names the player of a full program; nothing for a classic one.
std::string playerText(const ExecutableStream& stream) {
    return stream.player == PlayerKind::full ? "player     full (opmcast-full)\n" : "";
}

std::string headerText(const ExecutableStream& stream) {
    const std::uint64_t streamBytes = 2 * stream.pairs.size();
    return playerText(stream) + format("length     %llu bytes\n", ull(stream.length)) +
           format("text size  %llu (0x%08X) at offset %d, the length less 76\n",
                  ull(stream.sizeField), unsigned(stream.sizeField), TEXT_SIZE_FIELD) +
           format(
               "stream     %llu bytes (%llu pairs) at offset 0x%X, then the %d-byte player "
               "tail\n",
               ull(streamBytes), ull(stream.pairs.size()), STUB_HEAD_SIZE, STUB_TAIL_SIZE);
}

std::string loopText(const StreamStats& stats) {
    if (stats.stopsAtReserved)
        return "none: the player ends the song at the reserved command at offset " +
               hexOffset(stats.reservedOffset) + "\n";
    if (!stats.loops) return "none\n";
    const std::uint64_t looped = stats.ticks - stats.loopTick;
    return format("at tick %llu (%.3f s); looped part %llu ticks (%.3f s)\n", ull(stats.loopTick),
                  ticksToSeconds(stats.loopTick), ull(looped), ticksToSeconds(looped));
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

double ticksToSeconds(std::uint64_t ticks) {
    return double(ticks) * SAMPLES_PER_TICK / VGM_SAMPLE_RATE;
}

StreamStats streamStats(const ExecutableStream& stream) {
    StreamStats stats;
    for (const StreamPair& pair : stream.pairs) {
        const PairGroup group = pairGroup(stream.player, pair.first, pair.second);
        ++stats.pairs;
        ++stats.byGroup[std::size_t(group)];
        if (group == PairGroup::keyOnOff) {
            auto& counts = keysOn(pair.second) ? stats.keyOns : stats.keyOffs;
            ++counts[std::size_t(pair.second & 0x07)];
        } else if (stats.stopsAtReserved) {
            continue;
        } else if (group == PairGroup::loopMarker) {
            stats.loops = true;
            stats.loopTick = stats.ticks;
        } else if (group == PairGroup::reserved) {
            stats.stopsAtReserved = true;
            stats.reservedOffset = pair.offset;
            stats.loops = false;
        }
        stats.ticks += waitTicks(stream.player, pair.first, pair.second);
    }
    return stats;
}

std::string dumpText(const ExecutableStream& stream) {
    std::string text = headerText(stream) + "\n    tick  seconds   offset  pair   meaning\n";
    std::uint64_t tick = 0;
    for (const StreamPair& pair : stream.pairs) {
        text +=
            format("%8llu %8.3f %8s  %02X %02X  ", ull(tick), ticksToSeconds(tick),
                   hexOffset(pair.offset).c_str(), unsigned(pair.first), unsigned(pair.second)) +
            describePair(stream.player, pair.first, pair.second) + "\n";
        tick += waitTicks(stream.player, pair.first, pair.second);
    }
    return text;
}

std::string dumpJson(const ExecutableStream& stream) {
    JsonLine header;
    jsonText(header, "type", "header");
    jsonText(header, "player", playerName(stream.player));
    jsonNumber(header, "length", stream.length);
    jsonNumber(header, "textSize", stream.sizeField);
    jsonNumber(header, "streamOffset", STUB_HEAD_SIZE);
    jsonNumber(header, "pairs", stream.pairs.size());
    std::string text = jsonEnd(header);
    std::uint64_t tick = 0;
    for (const StreamPair& pair : stream.pairs) {
        const PairGroup group = pairGroup(stream.player, pair.first, pair.second);
        const unsigned ticks = waitTicks(stream.player, pair.first, pair.second);
        JsonLine line;
        jsonText(line, "type", "pair");
        jsonNumber(line, "offset", pair.offset);
        jsonNumber(line, "tick", tick);
        jsonSeconds(line, "seconds", ticksToSeconds(tick));
        jsonNumber(line, "register", pair.first);
        jsonNumber(line, "value", pair.second);
        jsonText(line, "group", groupNames(group).id);
        jsonText(line, "meaning", describePair(stream.player, pair.first, pair.second));
        if (group == PairGroup::wait) jsonNumber(line, "ticks", ticks);
        const int channel = pairChannel(pair.first, pair.second);
        if (channel >= 0) jsonNumber(line, "channel", std::uint64_t(channel));
        const int op = pairOperator(pair.first);
        if (op >= 0) jsonNumber(line, "operator", std::uint64_t(op));
        if (group == PairGroup::keyOnOff) jsonText(line, "ops", keyOperators(pair.second));
        text += jsonEnd(line);
        tick += ticks;
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
    text +=
        format("duration   %llu ticks (%.3f s)\n", ull(stats.ticks), ticksToSeconds(stats.ticks));
    return text + "loop       " + loopText(stats);
}

std::string summaryJson(const ExecutableStream& stream) {
    const StreamStats stats = streamStats(stream);
    JsonLine line;
    jsonText(line, "type", "summary");
    jsonText(line, "player", playerName(stream.player));
    jsonNumber(line, "length", stream.length);
    jsonNumber(line, "textSize", stream.sizeField);
    jsonNumber(line, "pairs", stats.pairs);
    // Every group but the one this player's stream cannot hold: reserved commands are waits
    // to the classic player, and the full player's stream never writes the timers.
    const PairGroup impossible =
        stream.player == PlayerKind::full ? PairGroup::timer : PairGroup::reserved;
    JsonLine groups;
    for (int g = 0; g < PAIR_GROUPS; ++g)
        if (PairGroup(g) != impossible)
            jsonNumber(groups, groupNames(PairGroup(g)).id, stats.byGroup[std::size_t(g)]);
    jsonObject(line, "groups", groups);
    jsonRaw(line, "keyOn", channelList(stats.keyOns));
    jsonRaw(line, "keyOff", channelList(stats.keyOffs));
    jsonNumber(line, "ticks", stats.ticks);
    jsonSeconds(line, "seconds", ticksToSeconds(stats.ticks));
    if (stats.loops) {
        jsonNumber(line, "loopTick", stats.loopTick);
        jsonSeconds(line, "loopSeconds", ticksToSeconds(stats.loopTick));
        jsonNumber(line, "loopedTicks", stats.ticks - stats.loopTick);
        jsonSeconds(line, "loopedSeconds", ticksToSeconds(stats.ticks - stats.loopTick));
    } else {
        for (const char* key : {"loopTick", "loopSeconds", "loopedTicks", "loopedSeconds"})
            jsonNull(line, key);
    }
    if (stream.player == PlayerKind::full)
        jsonOptional(line, "reservedOffset",
                     stats.stopsAtReserved ? std::optional(stats.reservedOffset) : std::nullopt);
    return jsonEnd(line);
}
