#include "dump/program/stream_report.hpp"

#include <iconv.h>

#include <cerrno>

#include "driver/executable.hpp"
#include "dump/json_line.hpp"
#include "dump/program/drum_report.hpp"
#include "dump/text_format.hpp"

namespace {

// The line that names the player of a full program; nothing for a classic one.
std::string playerText(const ExecutableStream& stream) {
    return stream.player == PlayerKind::full ? "player     full (opmcast-full)\n" : "";
}

std::string headerText(const ExecutableStream& stream) {
    const std::uint64_t streamBytes = 2 * stream.pairs.size();
    const std::string bank = std::string(stream.fadePairs > 0 ? "its fade, " : "") +
                             (stream.bank ? "the drums' bank, " : "") +
                             (stream.display ? "the display block, " : "");
    return playerText(stream) + format("length     %llu bytes\n", ull(stream.length)) +
           format("text size  %llu (0x%08X) at offset %d, the length less %llu\n",
                  ull(stream.sizeField), unsigned(stream.sizeField), TEXT_SIZE_FIELD,
                  ull(EXECUTABLE_HEADER_SIZE + stream.tailSize)) +
           format(
               "stream     %llu bytes (%llu pairs) at offset 0x%llX, then %sthe %llu-byte "
               "player tail\n",
               ull(streamBytes), ull(stream.pairs.size()), ull(stream.streamOffset), bank.c_str(),
               ull(stream.tailSize)) +
           drumBankLine(stream);
}

std::string loopText(const ExecutableStream& stream, const StreamStats& stats) {
    const PlayerKind player = stream.player;
    if (stats.stopsAtReserved)
        return std::string("none: the player ends the song at the ") +
               (stats.reservedCommand == FADE_END ? "end of the fade (00 F8)"
                                                  : "reserved command") +
               " at offset " + hexOffset(stats.reservedOffset) + "\n";
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

// The passes and the fade of a full program: "until a key", or the passes through the loop
// then the fade, with the time it all plays.
std::string passesText(const ExecutableStream& stream, const StreamStats& stats) {
    if (!stats.loops) return "once: the song does not loop\n";
    if (stream.loops == 0) return "until a key\n";
    const std::uint64_t all = playedSteps(stream, stats);
    const std::string fade =
        stream.fadePairs == 0
            ? std::string("no fade")
            : format("a fade of %llu steps (%.3f s), %llu bytes", ull(stats.fadeSteps),
                     stepToSeconds(PlayerKind::full, stats.fadeSteps), ull(stats.fadeBytes));
    return format("%u, then %s; %.3f s in all\n", unsigned(stream.loops), fade.c_str(),
                  stepToSeconds(PlayerKind::full, all));
}

// Shift-JIS (CP932) as UTF-8, a byte that does not convert as {0xNN}.
std::string shiftJisToUtf8(const std::string& bytes) {
    const iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == iconv_t(-1)) {
        std::string text;
        for (char c : bytes)
            text += (c & 0x80) ? format("{0x%02X}", unsigned(std::uint8_t(c))) : std::string(1, c);
        return text;
    }
    std::string text;
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    while (inLeft > 0) {
        char buffer[256];
        char* out = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t done = iconv(cd, &in, &inLeft, &out, &outLeft);
        text.append(buffer, std::size_t(out - buffer));
        if (done == std::size_t(-1) && errno != E2BIG) {
            text += format("{0x%02X}", unsigned(std::uint8_t(*in)));
            ++in;
            --inLeft;
        }
    }
    iconv_close(cd);
    return text;
}

std::string displaySummaryText(const ExecutableStream& stream) {
    if (stream.player != PlayerKind::full) return "";
    if (!stream.display) return "display    none\n";
    const DisplayBlock& d = *stream.display;
    std::string text = format("display    %llu bytes at offset %s; header:\n", ull(d.size),
                              hexOffset(d.at).c_str());
    std::string header = displayText(d.header);
    if (!header.empty() && header.back() != '\n') header += '\n';
    for (std::size_t at = 0; at < header.size();) {
        const std::size_t end = header.find('\n', at);
        text += "  " + header.substr(at, end - at) + "\n";
        at = end + 1;
    }
    return text + "  time line: " + displayText(d.timeLine) + "\n";
}

void displaySummaryJson(JsonLine& line, const ExecutableStream& stream) {
    if (!stream.display) return jsonNull(line, "display");
    JsonLine display;
    jsonNumber(display, "offset", stream.display->at);
    jsonNumber(display, "bytes", stream.display->size);
    jsonText(display, "header", displayText(stream.display->header));
    jsonText(display, "timeLine", displayText(stream.display->timeLine));
    jsonObject(line, "display", display);
}

}  // namespace

std::string displayText(const std::string& bytes) {
    std::string text;
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t end = at;
        while (end < bytes.size() && std::uint8_t(bytes[end]) >= 0x20) ++end;
        text += shiftJisToUtf8(bytes.substr(at, end - at));
        if (end == bytes.size()) break;
        const char c = bytes[end];
        if (c == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n') {
            text += '\n';
            ++end;
        } else {
            text += c == PATTERN_TIME   ? std::string("{time}")
                    : c == PATTERN_PASS ? std::string("{pass}")
                                        : format("{0x%02X}", unsigned(c));
        }
        at = end + 1;
    }
    return text;
}

StreamStats streamStats(const ExecutableStream& stream) {
    StreamStats stats;
    const std::size_t pass = passPairs(stream);
    for (std::size_t i = 0; i < stream.pairs.size(); ++i) {
        const StreamPair& pair = stream.pairs[i];
        const PairGroup group = streamPairGroup(stream.player, pair);
        const bool fade = i >= pass;
        ++stats.pairs;
        ++stats.byGroup[std::size_t(group)];
        if (group == PairGroup::adpcmStart) {
            ++stats.drumStarts;
            if (!startedSample(stream.bank, sampleNumberAfter(stream, i))) ++stats.silentStarts;
        }
        if (group == PairGroup::adpcmSides) ++stats.sideChanges;
        if (fade) {
            stats.fadeSteps += streamPairSteps(stream.player, pair);
            stats.fadeBytes += 2;
        }
        if (group == PairGroup::keyOnOff) {
            auto& counts = keysOn(pair.second) ? stats.keyOns : stats.keyOffs;
            ++counts[std::size_t(pair.second & 0x07)];
        } else if (stats.stopsAtReserved || fade) {
            continue;
        } else if (group == PairGroup::loopMarker) {
            stats.loops = true;
            stats.loopStep = stats.steps;
        } else if (group == PairGroup::reserved || group == PairGroup::fadeEnd) {
            stats.stopsAtReserved = true;
            stats.reservedOffset = pair.offset;
            stats.reservedCommand = pair.second;
            stats.loops = false;
        }
        if (!fade) stats.steps += streamPairSteps(stream.player, pair);
    }
    return stats;
}

std::uint64_t playedSteps(const ExecutableStream& stream, const StreamStats& stats) {
    if (!stats.loops || stream.loops == 0) return stats.steps;
    return stats.loopStep + stream.loops * (stats.steps - stats.loopStep) + stats.fadeSteps;
}

std::string dumpText(const ExecutableStream& stream) {
    return headerText(stream) + "\n" + timelineText(stream);
}

std::string timelineText(const ExecutableStream& stream) {
    std::string text =
        format("    %s  seconds   offset  pair   meaning\n", stepName(stream.player));
    std::uint64_t step = 0;
    for (std::size_t i = 0; i < stream.pairs.size(); ++i) {
        const StreamPair& pair = stream.pairs[i];
        if (i == passPairs(stream) && stream.fadePairs > 0)
            text += format("fade after pass %u (of %u), played once to its end\n",
                           unsigned(stream.loops), unsigned(stream.loops));
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
    if (stream.player == PlayerKind::full) {
        jsonOptional(header, "bankOffset",
                     stream.bank ? std::optional(stream.bank->at) : std::nullopt);
        jsonOptional(header, "displayOffset",
                     stream.display ? std::optional(stream.display->at) : std::nullopt);
        jsonNumber(header, "loops", stream.loops);
        jsonNumber(header, "fadePairs", stream.fadePairs);
    }
    return jsonEnd(header) + pairsJson(stream, 0);
}

std::string pairsJson(const ExecutableStream& stream, std::uint64_t track) {
    std::string text;
    const StepKeys& keys = stepKeys(stream.player);
    std::uint64_t step = 0;
    for (std::size_t i = 0; i < stream.pairs.size(); ++i) {
        const StreamPair& pair = stream.pairs[i];
        const PairGroup group = streamPairGroup(stream.player, pair);
        const unsigned steps = streamPairSteps(stream.player, pair);
        JsonLine line;
        jsonText(line, "type", "pair");
        if (track > 0) jsonNumber(line, "track", track);
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
        if (i >= passPairs(stream)) jsonBool(line, "fade", true);
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
    text += "loop       " + loopText(stream, stats);
    if (stream.player == PlayerKind::full) text += "passes     " + passesText(stream, stats);
    return text + drumSummaryText(stream, stats) + displaySummaryText(stream);
}

std::string summaryJson(const ExecutableStream& stream) {
    JsonLine line;
    jsonText(line, "type", "summary");
    summaryFields(line, stream);
    return jsonEnd(line);
}

void summaryFields(JsonLine& line, const ExecutableStream& stream) {
    const StreamStats stats = streamStats(stream);
    jsonText(line, "player", playerName(stream.player));
    jsonNumber(line, "length", stream.length);
    jsonNumber(line, "textSize", stream.sizeField);
    jsonNumber(line, "pairs", stats.pairs);
    // Every group but those this player's stream cannot hold: reserved and ADPCM commands are
    // waits to the classic player, and the full player's stream never writes the timers.
    const bool full = stream.player == PlayerKind::full;
    const auto possible = [full](PairGroup g) {
        const bool fullOnly = g == PairGroup::reserved || g == PairGroup::fadeEnd ||
                              g == PairGroup::adpcmStop || g == PairGroup::adpcmStart ||
                              g == PairGroup::adpcmSides || g == PairGroup::sampleNumber;
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
    if (stream.player == PlayerKind::full) {
        jsonOptional(line, "reservedOffset",
                     stats.stopsAtReserved ? std::optional(stats.reservedOffset) : std::nullopt);
        jsonNumber(line, "loops", stream.loops);
        jsonNumber(line, "fadeSteps", stats.fadeSteps);
        jsonSeconds(line, "fadeSeconds", stepToSeconds(player, stats.fadeSteps));
        jsonNumber(line, "fadeBytes", stats.fadeBytes);
    }
    drumSummaryJson(line, stream, stats);
    if (stream.player == PlayerKind::full) displaySummaryJson(line, stream);
}
