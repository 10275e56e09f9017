// The drums of a full program: each sample the stream starts against what DMA channel 3 and the
// MSM6258 played, and each side change against the writes of PPI port C.

#include <algorithm>
#include <cmath>
#include <limits>

#include "sim_machine.hpp"

namespace opmsim {

namespace {

// A command of the stream at its time in the run, loop passes unrolled.
struct TimedCommand {
    AdpcmCommand command;
    double ns = 0;
};

// The commands the run went through: the first pass, then the looped part for each pass (as
// long as the run lasted, for a song that loops until a key), then the fade, each with its time
// on the step grid from `originNs`, the stream's start.
std::vector<TimedCommand> unroll(const DecodedStream& stream, double originNs, double lastNs) {
    const double stepNs = TICK_NS / stream.stepsPerTick;
    const double lastStep = std::max(0.0, std::floor((lastNs - originNs) / stepNs));
    const std::uint32_t bound =
        lastStep >= double(UINT32_MAX - 1) ? UINT32_MAX - 1 : std::uint32_t(lastStep);
    std::vector<TimedCommand> commands;
    for (const AdpcmCommand& c : playedAdpcm(stream, bound))
        commands.push_back({c, originNs + c.step * stepNs});
    return commands;
}

bool isSideChange(const AdpcmCommand& c) {
    return c.command >= 0xF4;
}

// The sample a command starts, or nothing for a stop, a side change, a number beyond the table
// or a sample left out.
const BankSample* startedSample(const DecodedStream& stream, const AdpcmCommand& c) {
    if (c.command == 0xF0 || isSideChange(c) || c.sample >= stream.bank.size()) return nullptr;
    const BankSample& sample = stream.bank[c.sample];
    return sample.bytes.empty() ? nullptr : &sample;
}

void checkPlay(const DecodedStream& stream, double originNs, const TimedCommand& start,
               const AdpcmPlay& play, double cutNs, std::int64_t runCutNs, const BankSample& sample,
               std::vector<std::string>& problems) {
    const std::uint32_t step = start.command.step;
    const auto sampleNo = unsigned(start.command.sample);
    auto problem = [&](const std::string& text) {
        problems.push_back(
            format("sample %u started at step %u: %s", sampleNo, step, text.c_str()));
    };
    if (std::abs(double(play.startNs) - start.ns) > TICK_NS) {
        problem(format("played from step %.2f, more than a tick away",
                       (play.startNs - originNs) / (TICK_NS / stream.stepsPerTick)));
    }
    if (play.count != sample.bytes.size()) {
        problem(format("%u bytes asked of the DMA, the bank holds %zu", unsigned(play.count),
                       sample.bytes.size()));
    }
    // A sample the run was cut in (at the time limit, with the program still running) has
    // played the bank's first bytes only and needs no stop yet; nor does one that finished
    // less than a tick before the cut.
    const bool cutByRunEnd = runCutNs >= 0 && play.endNs < 0;
    const bool stopDue = runCutNs < 0 || (!cutByRunEnd && runCutNs > play.endNs + TICK_NS);
    const bool whole = play.bytes == sample.bytes;
    const bool prefix = play.bytes.size() <= sample.bytes.size() &&
                        std::equal(play.bytes.begin(), play.bytes.end(), sample.bytes.begin());
    if (!prefix || (!whole && !play.aborted && !cutByRunEnd))
        problem("the bytes played are not the bank's");
    const std::uint8_t wanted =
        std::uint8_t((sample.dividerBits & 0x0C) | (~start.command.command & 0x03));
    if ((play.portC & 0x0F) != wanted) {
        problem(format("port C bits 3-0 %X when told to play, the stream asks %X",
                       play.portC & 0x0F, wanted));
    }
    if (play.stopNs < 0) {
        if (stopDue) problem("never stopped");
    } else if (!play.aborted && play.stopNs > play.endNs + TICK_NS) {
        problem("stopped more than a tick after its last byte");
    }
    if (play.aborted && double(play.endNs) < cutNs - TICK_NS) problem("cut before its time");
    if (double(play.endNs) > cutNs + TICK_NS && play.stopNs > cutNs + TICK_NS)
        problem("still playing more than a tick after the next command or the end");
}

// The port C writes of a run that may answer side changes: all but the one each start makes
// as it plays (the first after the transfer starts), in order.
struct SideWrites {
    std::vector<const PortCWrite*> writes;
    std::vector<std::uint8_t> before;  // port C before each of them
    std::size_t next = 0;
};

SideWrites sideWrites(const SimResult& result) {
    SideWrites s;
    std::size_t play = 0;
    std::uint8_t before = PORT_C_AT_START;
    for (const PortCWrite& w : result.portC) {
        bool startsPlay = false;
        while (play < result.adpcm.size() && result.adpcm[play].startNs <= w.timeNs) {
            startsPlay = true;
            ++play;
        }
        if (!startsPlay) {
            s.writes.push_back(&w);
            s.before.push_back(before);
        }
        before = w.value;
    }
    return s;
}

// A side change (00 F4-F7) while `play`, the sample its stream started, is transferred: port C
// written within a tick of its step while the transfer runs, bits 1-0 the complement of the
// command's, bits 7-2 (joysticks and divider) as they were. Without a sample, or once its
// transfer is over, the player writes nothing: that is checked for every write (checkDrums).
void checkSideChange(const TimedCommand& change, const AdpcmPlay* play, SideWrites& side,
                     std::vector<std::string>& problems) {
    const std::uint8_t wanted = std::uint8_t(~change.command.command & 0x03);
    auto problem = [&](const std::string& text) {
        problems.push_back(format("side change 00 %02X at step %u: %s",
                                  unsigned(change.command.command), change.command.step,
                                  text.c_str()));
    };
    while (side.next < side.writes.size() &&
           double(side.writes[side.next]->timeNs) < change.ns - TICK_NS)
        ++side.next;
    const PortCWrite* found = nullptr;
    std::uint8_t before = 0;
    for (std::size_t k = side.next;
         k < side.writes.size() && double(side.writes[k]->timeNs) <= change.ns + TICK_NS; ++k)
        if (side.writes[k]->transferring) {
            found = side.writes[k];
            before = side.before[k];
            side.next = k + 1;
            break;
        }
    const bool runs =
        play != nullptr && (play->endNs < 0 || double(play->endNs) > change.ns + TICK_NS);
    if (found == nullptr) {
        if (runs) problem("port C not written within a tick while the sample played");
        return;
    }
    if ((found->value & 0x03) != wanted)
        problem(format("port C bits 1-0 %X at %.6f s, the stream asks %X", found->value & 0x03,
                       found->timeNs / 1e9, wanted));
    if ((found->value & 0xFC) != (before & 0xFC))
        problem(format("port C bits 7-2 changed from $%02X to $%02X", before & 0xFC,
                       found->value & 0xFC));
}

}  // namespace

void checkDrums(const DecodedStream& stream, const SimResult& result,
                std::vector<std::string>& problems, const std::vector<std::int64_t>& stopsNs) {
    // A key ends the run: commands more than a tick after it are not reached, those within a
    // tick of it may or may not be.
    const bool byKey = result.keyTakenNs >= 0;
    const double keyNs = byKey ? double(result.keyTakenNs) : std::numeric_limits<double>::max();
    const double originNs = double(streamStartNs(result));
    const std::vector<TimedCommand> commands =
        unroll(stream, originNs, std::min(keyNs, double(result.endNs)));
    // Where the song stops playing: the key, or the end of a song that does not loop (or that
    // fades after its passes).
    const double endNs = byKey ? keyNs
                               : originNs + double(songEndStep(stream).value_or(UINT32_MAX)) *
                                                TICK_NS / stream.stepsPerTick;
    const std::int64_t runCutNs = result.exited ? -1 : result.endNs;  // -1: the program exited
    std::size_t played = 0;
    const AdpcmPlay* current = nullptr;  // the play of the last start, while no stop follows
    SideWrites side = sideWrites(result);
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const TimedCommand& c = commands[i];
        if (c.ns > keyNs + TICK_NS) break;
        if (isSideChange(c.command)) {
            if (c.ns < keyNs - TICK_NS) checkSideChange(c, current, side, problems);
            continue;
        }
        current = nullptr;
        const BankSample* sample = startedSample(stream, c.command);
        if (sample == nullptr) continue;
        const bool optional = c.ns > keyNs - TICK_NS;
        if (played == result.adpcm.size() ||
            (optional && std::abs(double(result.adpcm[played].startNs) - c.ns) > TICK_NS)) {
            if (!optional) {
                problems.push_back(format("sample %u started at step %u never played",
                                          unsigned(c.command.sample), c.command.step));
            }
            break;
        }
        // What cuts a sample: the next start or stop, or the player's own stop; side changes
        // leave it playing.
        double cutNs = endNs;
        for (std::size_t k = i + 1; k < commands.size(); ++k)
            if (!isSideChange(commands[k].command)) {
                cutNs = std::min(commands[k].ns, endNs);
                break;
            }
        for (const std::int64_t stop : stopsNs)
            if (double(stop) > c.ns - TICK_NS) cutNs = std::min(cutNs, double(stop));
        current = &result.adpcm[played];
        checkPlay(stream, originNs, c, result.adpcm[played++], cutNs, runCutNs, *sample, problems);
    }
    // A side is turned on only while a transfer runs: a start, or a side change of the sample
    // playing; the stops and the exit mute both.
    for (const PortCWrite& w : result.portC)
        if (!w.transferring && (w.value & 0x03) != 0x03)
            problems.push_back(format("port C turned a side on at %.6f s with no transfer running",
                                      w.timeNs / 1e9));
    if (played < result.adpcm.size()) {
        problems.push_back(format("%zu samples played that the stream does not start",
                                  result.adpcm.size() - played));
    }
}

}  // namespace opmsim
