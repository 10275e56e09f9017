// The register stream of a song: decoding it as the player replays it, and checking a run's OPM
// writes against it.

#include <algorithm>
#include <cmath>
#include <iterator>

#include "sim_machine.hpp"

namespace opmsim {

namespace {

// A full stream's ADPCM command at pair `i` (00 F0-F7), with the sample number that follows
// 00 F1-F3 (the index moved past it).
AdpcmCommand readAdpcm(const std::uint8_t* data, std::size_t size, std::size_t& i,
                       std::uint32_t step, std::size_t& pairs) {
    const std::uint8_t second = data[i + 1];
    AdpcmCommand command{step, second, 0};
    if (second >= 0xF1 && second <= 0xF3 && i + 3 < size) {
        i += 2;
        ++pairs;
        command.sample = std::uint16_t(data[i] << 8 | data[i + 1]);
    }
    return command;
}

// The fade of a full stream, from `at` (the pair after the end marker) up to its 00 F8 (or a
// reserved 00 F9-FD, where the player ends too). The player reads a loop marker or an end
// marker there and goes on: neither changes anything once the last pass is over.
void decodeFade(const std::uint8_t* data, std::size_t size, std::size_t at, DecodedStream& d) {
    std::uint32_t step = 0;
    for (std::size_t i = at; i + 1 < size; i += 2) {
        const std::uint8_t first = data[i], second = data[i + 1];
        ++d.fadePairs;
        if (first != 0) {
            d.named[first] = true;
            if (fullPlayerWrites(first)) d.fadeEvents.push_back({step, first, second});
        } else if (second <= FULL_LONGEST_WAIT) {
            step += second + 1u;
        } else if (second <= 0xF7) {
            d.fadeAdpcm.push_back(readAdpcm(data, size, i, step, d.fadePairs));
        } else if (second <= 0xFD) {
            d.fadeSteps = step;
            return;
        }
    }
    d.fadeSteps = step;
    d.error = "the fade after the end marker has no end (00 F8)";
}

}  // namespace

DecodedStream decodeStream(const std::uint8_t* data, std::size_t size, PlayerKind player,
                           std::uint16_t passes) {
    const bool full = player == PlayerKind::Full;
    const std::uint8_t longestWait = full ? FULL_LONGEST_WAIT : 0xFD;
    DecodedStream d;
    d.player = player;
    d.stepsPerTick = full ? FULL_STEPS_PER_TICK : CLASSIC_STEPS_PER_TICK;
    d.named.assign(256, false);
    std::uint32_t step = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        std::uint8_t first = data[i], second = data[i + 1];
        ++d.pairs;
        if (first != 0) {
            d.named[first] = true;
            if (full ? fullPlayerWrites(first) : playerWrites(first)) {
                d.events.push_back({step, first, second});
            }
        } else if (second <= longestWait) {
            step += second + 1u;
        } else if (full && second <= 0xF7) {
            // The ADPCM: 00 F0 stops it, 00 F1-F3 start the sample the next pair numbers,
            // 00 F4-F7 move the sample playing to other sides.
            d.adpcm.push_back(readAdpcm(data, size, i, step, d.pairs));
        } else if (second == 0xFE) {
            d.loops = true;
            d.loopStart = d.events.size();
            d.adpcmLoopStart = d.adpcm.size();
            d.loopStep = step;
        } else {
            // The end marker, or a reserved command of the full player: the song ends there,
            // and a reserved command ends it without looping.
            if (second != 0xFF) d.loops = false;
            d.endCommand = second;
            d.endStep = step;
            d.loopSteps = d.loops ? step - d.loopStep : 0;
            // The full player with a number of passes: after the last one, the fade.
            if (full && d.loops && passes > 0) {
                d.passes = passes;
                d.fades = true;
                decodeFade(data, size, i + 2, d);
            } else if (full) {
                d.passes = passes;
            }
            return d;
        }
    }
    d.endStep = step;
    d.passes = full ? passes : 0;
    d.error = "the stream has no end marker (00 FF)";
    return d;
}

namespace {

// Unrolls `items` (writes or ADPCM commands) as the player goes through them: all once, the
// loop's part (from `loopStart`) again at every return to the loop position, the fade's after
// the last pass; while the steps stay at or below `lastStep` and fewer than `maxCount` were
// handed to `take(item, returns, fade)`.
template <class Item, class Take>
void unroll(const DecodedStream& stream, const std::vector<Item>& items, std::size_t loopStart,
            const std::vector<Item>& fadeItems, std::uint32_t lastStep, std::size_t maxCount,
            Take take) {
    std::size_t count = 0;
    auto put = [&](Item item, std::uint64_t step, std::uint32_t returns, bool fade) {
        if (step > lastStep || count >= maxCount) return false;
        item.step = std::uint32_t(step);
        take(item, returns, fade);
        ++count;
        return true;
    };
    for (const Item& item : items)
        if (!put(item, item.step, 0, false)) return;
    // A song that loops until a key repeats its loop as long as the bounds allow: a loop that
    // takes no step only with a count to stop at, and with no bound at all not again.
    const bool bounded =
        stream.fades || maxCount != SIZE_MAX || (lastStep != UINT32_MAX && stream.loopSteps > 0);
    const std::uint32_t returns = stream.fades ? stream.passes - 1u : UINT32_MAX;
    if (stream.loops && items.size() > loopStart && bounded) {
        for (std::uint32_t k = 1; k <= returns; ++k)
            for (std::size_t i = loopStart; i < items.size(); ++i)
                if (!put(items[i], items[i].step + std::uint64_t(k) * stream.loopSteps, k, false))
                    return;
    }
    if (!stream.fades) return;
    const std::uint64_t fadeStart =
        stream.endStep + std::uint64_t(stream.passes - 1u) * stream.loopSteps;
    for (const Item& item : fadeItems)
        if (!put(item, fadeStart + item.step, returns, true)) return;
}

}  // namespace

std::vector<PlayedEvent> playedEvents(const DecodedStream& stream, std::uint32_t lastStep,
                                      std::size_t maxCount) {
    std::vector<PlayedEvent> played;
    unroll(stream, stream.events, stream.loopStart, stream.fadeEvents, lastStep, maxCount,
           [&played](const StreamEvent& e, std::uint32_t returns, bool fade) {
               played.push_back({e, returns, fade});
           });
    return played;
}

std::vector<AdpcmCommand> playedAdpcm(const DecodedStream& stream, std::uint32_t lastStep,
                                      std::size_t maxCount) {
    std::vector<AdpcmCommand> played;
    unroll(stream, stream.adpcm, stream.adpcmLoopStart, stream.fadeAdpcm, lastStep, maxCount,
           [&played](const AdpcmCommand& c, std::uint32_t, bool) { played.push_back(c); });
    return played;
}

std::optional<std::uint32_t> songEndStep(const DecodedStream& stream) {
    if (!stream.loops) return stream.endStep;
    if (!stream.fades) return std::nullopt;
    const std::uint64_t end =
        stream.endStep + std::uint64_t(stream.passes - 1u) * stream.loopSteps + stream.fadeSteps;
    return std::uint32_t(std::min<std::uint64_t>(end, UINT32_MAX));
}

namespace {

std::uint32_t be32(const std::vector<std::uint8_t>& file, std::size_t at) {
    return std::uint32_t(file[at]) << 24 | file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3];
}

}  // namespace

std::string readBank(const std::vector<std::uint8_t>& file, std::uint64_t textEnd,
                     std::vector<BankSample>& bank) {
    const std::uint64_t table = HEADER_SIZE + std::uint64_t(be32(file, FULL_PLAYER_BANK_OFFSET));
    if (table % 2 != 0 || table + 8 > textEnd) return "the bank's table lies outside the text";
    const std::uint64_t entries = be32(file, table) / 8;
    if (table + 8 * entries > textEnd) return "the bank's table runs past the text";
    for (std::uint64_t e = 0; e < entries; ++e) {
        const std::size_t at = std::size_t(table + 8 * e);
        const std::uint64_t begin = table + be32(file, at);
        const std::uint64_t count = std::uint64_t(file[at + 4]) << 8 | file[at + 5];
        if (count != 0 && begin + count > textEnd)
            return format("sample %llu of the bank lies outside the text", (unsigned long long)e);
        BankSample sample;
        sample.dividerBits = file[at + 6];
        if (count != 0)
            sample.bytes.assign(file.begin() + long(begin), file.begin() + long(begin + count));
        bank.push_back(std::move(sample));
    }
    return {};
}

DecodedStream decodeExecutableStream(const std::vector<std::uint8_t>& file,
                                     std::optional<PlayerKind> player) {
    XHeader h;
    std::string error = parseXHeader(file, h);
    const PlayerKind kind = player.value_or(detectPlayer(file));
    const std::size_t offset = streamOffset(kind);
    if (error.empty() && std::uint64_t(h.textSize) + HEADER_SIZE < offset) {
        error = "text section ends before the stream position";
    } else if (error.empty() && file.size() < offset) {
        error = "file ends before the stream position";
    }
    if (!error.empty()) {
        DecodedStream d;
        d.named.assign(256, false);
        d.error = error;
        return d;
    }
    const std::uint64_t textEnd =
        std::min<std::uint64_t>(file.size(), HEADER_SIZE + std::uint64_t(h.textSize));
    std::size_t end =
        std::min<std::uint64_t>(file.size(), std::uint64_t(HEADER_SIZE) + h.textSize + h.dataSize);
    // The loops word, read as the player reads it (also when a test holds a modified player to
    // the full player's rules).
    const std::uint16_t passes = kind == PlayerKind::Full
                                     ? std::uint16_t(file[FULL_PLAYER_LOOPS_OFFSET] << 8 |
                                                     file[FULL_PLAYER_LOOPS_OFFSET + 1])
                                     : 0;
    DecodedStream d = decodeStream(file.data() + offset, end - offset, kind, passes);
    d.drums = kind == PlayerKind::Full && be32(file, FULL_PLAYER_BANK_OFFSET) != 0;
    if (d.drums) {
        std::string bankError = readBank(file, textEnd, d.bank);
        if (!bankError.empty() && d.error.empty()) d.error = bankError;
    }
    return d;
}

std::vector<PlayerWrite> playerStartWrites(bool drums, std::uint8_t systemCopy1B) {
    std::vector<PlayerWrite> start(std::begin(PLAYER_START_WRITES), std::end(PLAYER_START_WRITES));
    if (drums) start.push_back({0x1B, drums1B(systemCopy1B, systemCopy1B)});
    return start;
}

std::size_t matchSongWrites(const DecodedStream& stream, const std::vector<OpmWrite>& writes,
                            std::int64_t originNs, const SongStop& stop, std::uint8_t systemCopy1B,
                            double tickTolerance, ReplayCheck& c,
                            const std::function<void(const std::string&)>& problem) {
    const bool full = stream.player == PlayerKind::Full;
    const char* unit = full ? "step" : "tick";
    // Writes before the key was read are the replay; after it, or after the song's last write
    // when the song ends by itself, comes the shutdown.
    const std::optional<std::uint32_t> songEnd = songEndStep(stream);
    std::size_t replayed = 0;
    std::vector<PlayedEvent> expectedWrites;
    if (stop.keyNs >= 0) {
        while (replayed < writes.size() && writes[replayed].timeNs < stop.keyNs) ++replayed;
        expectedWrites = playedEvents(stream, UINT32_MAX, replayed);
    } else {
        if (!songEnd && stop.stopped) problem("a looping song ended without a key press");
        expectedWrites = playedEvents(stream, UINT32_MAX, writes.size());
        replayed = std::min(writes.size(), expectedWrites.size());
        if (stop.stopped && replayed < expectedWrites.size()) {
            problem(format("the song ended after %zu of its %zu writes", replayed,
                           expectedWrites.size()));
        }
        // The shutdown (or the exit) comes once the song's last wait is over.
        const std::int64_t firstAfter = replayed < writes.size() ? writes[replayed].timeNs
                                        : stop.stopped           ? stop.stopNs
                                                                 : -1;
        if (songEnd && firstAfter >= 0 &&
            double(firstAfter - originNs) / TICK_NS <
                stepToTicks(stream, *songEnd) - tickTolerance) {
            problem(format("the song stopped at %s %.3f, before its end at %s %u", unit,
                           double(firstAfter - originNs) / TICK_NS * stream.stepsPerTick, unit,
                           *songEnd));
        }
    }
    for (std::size_t i = 0; i < replayed; ++i) {
        if (i >= expectedWrites.size()) {
            problem(format("write %zu ($%02X = $%02X) is beyond the end of the stream", i,
                           writes[i].reg, writes[i].value));
            break;
        }
        StreamEvent expected = expectedWrites[i].event;
        const std::uint32_t pass = expectedWrites[i].loopReturns;
        if (full && expected.reg == 0x1B) {
            expected.value = stream.drums ? drums1B(expected.value, systemCopy1B)
                                          : merged1B(expected.value, systemCopy1B);
        }
        const OpmWrite& got = writes[i];
        if (got.reg != expected.reg || got.value != expected.value) {
            problem(
                format("write %zu: register $%02X = $%02X, the stream has $%02X = $%02X "
                       "(%s %u)",
                       i, got.reg, got.value, expected.reg, expected.value, unit, expected.step));
            break;
        }
        const double ticks = double(got.timeNs - originNs) / TICK_NS;
        const double error = ticks - stepToTicks(stream, expected.step);
        c.maxTickError = std::max(c.maxTickError, std::abs(error));
        if (std::abs(error) > tickTolerance) {
            problem(format("write %zu ($%02X = $%02X) at %s %.3f, the stream puts it at %s %u", i,
                           got.reg, got.value, unit, ticks * stream.stepsPerTick, unit,
                           expected.step));
        }
        c.loopPasses = std::max(c.loopPasses, pass);
        ++c.streamWrites;
        if (expectedWrites[i].fade) ++c.fadeWrites;
    }

    return replayed;
}

ReplayCheck checkReplay(const DecodedStream& stream, const SimResult& result,
                        double tickTolerance) {
    constexpr std::size_t MAX_PROBLEMS = 20;
    ReplayCheck c;
    const bool full = stream.player == PlayerKind::Full;
    auto problem = [&c](const std::string& text) {
        if (c.problems.size() < MAX_PROBLEMS) c.problems.push_back(text);
    };
    for (const std::string& e : result.errors) problem("harness: " + e);
    if (!stream.error.empty()) problem("stream: " + stream.error);
    if (!result.exited) problem("the program did not exit");

    std::vector<OpmWrite> writes;
    for (const OpmWrite& w : result.writes) {
        if (!isTimerRegister(w.reg)) writes.push_back(w);
    }
    std::size_t startWrites = 0;
    for (const PlayerWrite& s : playerStartWrites(stream.drums, result.systemCopy1B)) {
        if (startWrites < writes.size() && writes[startWrites].reg == s.reg &&
            writes[startWrites].value == s.value) {
            ++startWrites;
        } else {
            problem(format("start-up write %zu is not $%02X = $%02X", startWrites, s.reg, s.value));
            break;
        }
    }
    writes.erase(writes.begin(), writes.begin() + std::ptrdiff_t(startWrites));
    SongStop stop{result.keyTakenNs, result.exited, result.endNs};
    const std::size_t replayed = matchSongWrites(stream, writes, streamStartNs(result), stop,
                                                 result.systemCopy1B, tickTolerance, c, problem);

    // The shutdown: key off and TL 127 everywhere; the full player also turns the noise off,
    // releases the LFO reset, sets both LFO depths to 0 and writes the system's copy back into
    // 0x1B.
    bool keyedOff[8] = {};
    bool silent[32] = {};
    bool noiseOff = false, lfoReleased = false, amdZero = false, pmdZero = false;
    bool controlRestored = false;
    for (std::size_t i = replayed; i < writes.size(); ++i) {
        const OpmWrite& w = writes[i];
        if (keysOff(w.reg, w.value)) {
            keyedOff[w.value & 7] = true;
        } else if (mutesSlot(w.reg, w.value)) {
            silent[w.reg - 0x60] = true;
        } else if (full && stopsNoise(w.reg, w.value)) {
            noiseOff = true;
        } else if (full && releasesLfoReset(w.reg, w.value)) {
            lfoReleased = true;
        } else if (full && clearsLfoDepth(w.reg, w.value)) {
            (w.value & 0x80 ? pmdZero : amdZero) = true;
        } else if (full && w.reg == 0x1B && w.value == result.systemCopy1B) {
            controlRestored = true;
        } else {
            problem(format("after the replay: register $%02X = $%02X", w.reg, w.value));
        }
    }
    if (result.exited) {
        if (std::count(std::begin(keyedOff), std::end(keyedOff), true) != 8) {
            problem("not every channel was keyed off at the end");
        }
        if (std::count(std::begin(silent), std::end(silent), true) != 32) {
            problem("not every slot's TL was set to 127 at the end");
        }
        if (full && !noiseOff) problem("the noise was not turned off at the end ($0F = $00)");
        if (full && !lfoReleased) problem("the LFO reset was not released at the end ($01 = $00)");
        if (full && !(amdZero && pmdZero)) {
            problem("the LFO depths were not both set to 0 at the end ($19 = $00, $19 = $80)");
        }
        if (full && !controlRestored) {
            problem(format("register $1B was not set back to the system's copy $%02X at the end",
                           result.systemCopy1B));
        }
    }
    if (stream.drums) {
        std::vector<std::string> drums;
        checkDrums(stream, result, drums);
        for (const std::string& d : drums) problem("drums: " + d);
    }
    return c;
}

}  // namespace opmsim
