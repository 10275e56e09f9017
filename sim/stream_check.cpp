// The register stream of a song: decoding it as the player replays it, and checking a run's OPM
// writes against it.

#include <algorithm>
#include <cmath>
#include <iterator>

#include "sim_machine.hpp"

namespace opmsim {

DecodedStream decodeStream(const std::uint8_t* data, std::size_t size, PlayerKind player) {
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
            AdpcmCommand command{step, second, 0};
            if (second >= 0xF1 && second <= 0xF3 && i + 3 < size) {
                i += 2;
                ++d.pairs;
                command.sample = std::uint16_t(data[i] << 8 | data[i + 1]);
            }
            d.adpcm.push_back(command);
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
            return d;
        }
    }
    d.endStep = step;
    d.error = "the stream has no end marker (00 FF)";
    return d;
}

namespace {

std::uint32_t be32(const std::vector<std::uint8_t>& file, std::size_t at) {
    return std::uint32_t(file[at]) << 24 | file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3];
}

// The bank of a full program whose player's bank offset is set: the table at that text offset,
// as many entries as the first one's offset holds, each sample within the text section.
std::string readBank(const std::vector<std::uint8_t>& file, std::uint64_t textEnd,
                     DecodedStream& d) {
    const std::uint64_t table = HEADER_SIZE + std::uint64_t(be32(file, 66));
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
        d.bank.push_back(std::move(sample));
    }
    return {};
}

}  // namespace

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
    DecodedStream d = decodeStream(file.data() + offset, end - offset, kind);
    d.drums = kind == PlayerKind::Full && be32(file, 66) != 0;
    if (d.drums) {
        std::string bankError = readBank(file, textEnd, d);
        if (!bankError.empty() && d.error.empty()) d.error = bankError;
    }
    return d;
}

ReplayCheck checkReplay(const DecodedStream& stream, const SimResult& result,
                        double tickTolerance) {
    constexpr std::size_t MAX_PROBLEMS = 20;
    ReplayCheck c;
    const bool full = stream.player == PlayerKind::Full;
    const char* unit = full ? "step" : "tick";
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
    // The start-up writes come first, before the stream's first pair; with drums, 0x1B with
    // CT1 clear (the ADPCM clock at 8 MHz) after them.
    std::vector<PlayerWrite> start(std::begin(PLAYER_START_WRITES), std::end(PLAYER_START_WRITES));
    if (stream.drums) start.push_back({0x1B, drums1B(result.systemCopy1B, result.systemCopy1B)});
    std::size_t startWrites = 0;
    for (const PlayerWrite& s : start) {
        if (startWrites < writes.size() && writes[startWrites].reg == s.reg &&
            writes[startWrites].value == s.value) {
            ++startWrites;
        } else {
            problem(format("start-up write %zu is not $%02X = $%02X", startWrites, s.reg, s.value));
            break;
        }
    }
    writes.erase(writes.begin(), writes.begin() + std::ptrdiff_t(startWrites));
    // Writes before the key was read are the replay; after it, or after the stream's last
    // write when the song ends by itself, comes the shutdown.
    std::size_t replayed = 0;
    if (result.keyTakenNs >= 0) {
        while (replayed < writes.size() && writes[replayed].timeNs < result.keyTakenNs) ++replayed;
    } else {
        if (stream.loops && result.exited) problem("a looping song ended without a key press");
        replayed = std::min(writes.size(), stream.events.size());
        if (result.exited && replayed < stream.events.size()) {
            problem(format("the song ended after %zu of its %zu writes", replayed,
                           stream.events.size()));
        }
    }

    std::size_t bodySize = stream.events.size() - stream.loopStart;
    for (std::size_t i = 0; i < replayed; ++i) {
        StreamEvent expected;
        std::uint32_t pass = 0;
        if (i < stream.events.size()) {
            expected = stream.events[i];
        } else if (stream.loops && bodySize > 0) {
            std::size_t k = i - stream.events.size();
            pass = std::uint32_t(1 + k / bodySize);
            expected = stream.events[stream.loopStart + k % bodySize];
            expected.step += pass * stream.loopSteps;
        } else {
            problem(format("write %zu ($%02X = $%02X) is beyond the end of the stream", i,
                           writes[i].reg, writes[i].value));
            break;
        }
        if (full && expected.reg == 0x1B) {
            expected.value = stream.drums ? drums1B(expected.value, result.systemCopy1B)
                                          : merged1B(expected.value, result.systemCopy1B);
        }
        const OpmWrite& got = writes[i];
        if (got.reg != expected.reg || got.value != expected.value) {
            problem(
                format("write %zu: register $%02X = $%02X, the stream has $%02X = $%02X "
                       "(%s %u)",
                       i, got.reg, got.value, expected.reg, expected.value, unit, expected.step));
            break;
        }
        const double ticks = double(got.timeNs) / TICK_NS;
        const double error = ticks - stepToTicks(stream, expected.step);
        c.maxTickError = std::max(c.maxTickError, std::abs(error));
        if (std::abs(error) > tickTolerance) {
            problem(format("write %zu ($%02X = $%02X) at %s %.3f, the stream puts it at %s %u", i,
                           got.reg, got.value, unit, ticks * stream.stepsPerTick, unit,
                           expected.step));
        }
        c.loopPasses = std::max(c.loopPasses, pass);
        ++c.streamWrites;
    }

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
