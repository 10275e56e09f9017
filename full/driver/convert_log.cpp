#include "full/driver/convert_log.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "channels/file_channels.hpp"
#include "driver/gd3_tag.hpp"
#include "driver/vgm_commands.hpp"
#include "full/driver/display_text.hpp"
#include "full/driver/first_pass.hpp"
#include "full/driver/job_runner.hpp"
#include "full/driver/vgm_reader.hpp"
#include "full/player/full_player.hpp"
#include "full/stream/fade_copy.hpp"
#include "full/translate/adpcm_bank.hpp"
#include "full/translate/msm6258_adpcm.hpp"

namespace {

namespace fs = std::filesystem;

constexpr double SAMPLE_RATE = 44100.0;
constexpr std::int64_t MAX_LOG_SIZE = std::int64_t(256) << 20;

// What the chips the VGM format numbers by command byte are called, for a log written for
// one of them.
const char* otherChipName(std::uint8_t command) {
    switch (command) {
        case 0x54:
            return "the YM2151";
        case 0x51:
            return "the YM2413";
        case 0x55:
            return "the YM2203";
        case 0x56:
        case 0x57:
            return "the YM2608";
        case 0x58:
        case 0x59:
            return "the YM2610";
        case 0x5A:
            return "the YM3812";
        case 0x5E:
        case 0x5F:
            return "the YMF262";
        case 0xA0:
            return "the AY-3-8910";
        case 0xB4:
            return "the NES APU";
        case 0xB3:
            return "the Game Boy";
        case 0xB7:
            return "the MSM6258";
        case 0xB8:
            return "the MSM6295";
        case 0xD2:
            return "the K051649";
        default:
            return nullptr;
    }
}

std::int64_t stepOf(std::int64_t sample) {
    return (sample * STEPS_PER_TICK + 787 / 2) / 787;
}

// The fade's length in steps: none for 0, else at least the steps it takes to fall to silence
// by a TL unit a step.
std::int64_t fadeSteps(double seconds) {
    if (seconds <= 0) return 0;
    return std::max<std::int64_t>(FADE_UNITS, std::llround(seconds * 44100 * STEPS_PER_TICK / 787));
}

// The copy of a sample that a drum of the fade plays: the values it is heard for, each at the
// fade's level at its step.
DacSample fadedDrum(const DacSample& source, const FadeDrumHit& hit, std::int64_t fadeSteps) {
    const double stepsPerValue = 44100.0 * STEPS_PER_TICK / 787 / std::max(1u, source.rate);
    const auto heard = std::size_t(std::ceil(double(hit.end - hit.start) / stepsPerValue)) + 1;
    const std::size_t from =
        std::min(source.values.size(), std::size_t(hit.skip * std::max(1u, source.rate) / 44100));
    DacSample copy{.values = {}, .rate = source.rate, .gains = {}};
    copy.values.assign(source.values.begin() + std::ptrdiff_t(from),
                       source.values.begin() +
                           std::ptrdiff_t(from + std::min(source.values.size() - from, heard)));
    copy.gains.resize(copy.values.size());
    std::int64_t lastStep = -1;
    float gain = 1;
    for (std::size_t i = 0; i < copy.gains.size(); ++i) {
        const auto step = hit.start + std::int64_t(double(i) * stepsPerValue);
        if (step != lastStep)
            gain = float(std::pow(10.0, -0.75 * fadeUnitsAt(step, fadeSteps) / 20));
        lastStep = step;
        copy.gains[i] = gain;
    }
    // The end that the fade takes below the ADPCM's least step (1 of its 12 bits) is left out.
    const double leastStep = 128.0 / (ADPCM_HEADROOM * ADPCM_SIGNAL_MAX);
    // (A copy keeps a value, so that its gains still mark it as one.)
    while (copy.values.size() > 1 &&
           copy.gains.back() * std::abs(copy.values.back() - 128) < leastStep) {
        copy.values.pop_back();
        copy.gains.pop_back();
    }
    return copy;
}

// After the last pass the stream goes on with the fade: the loop's first steps again, falling
// to silence, then 00 F8. Its drums play copies of their samples at its level, which
// run.fadeDrums holds, to follow run.dacSamples in the bank.
void appendFade(FullRun& run, std::int64_t steps, ConvertResult& result) {
    const std::int64_t before = streamLength(run.stream);
    FadeDrums drums;
    drums.firstNumber = std::uint32_t(run.dacSamples.size());
    // The hit still playing at the end of the pass, started within the loop, goes on.
    if (run.nextHit > 0 && run.sample < run.hitEndSample) {
        const DacHit& hit = run.hits[run.nextHit - 1];
        if (hit.startSample >= run.loopSample)
            drums.carried = FadeDrumHit{hit.sampleIndex, 0, 0, run.sample - hit.startSample};
        drums.carriedSides = run.hitSides;
    }
    const std::vector<std::uint8_t> fade = fadedLoopCopy(
        loopHeadOf(run.stream), !run.stream.loopHeadCut, run.stream.sent, steps, &drums);
    run.stream.pairs.insert(run.stream.pairs.end(), fade.begin(), fade.end());
    handOnPairs(run.stream);
    result.fadeBytes = streamLength(run.stream) - before;
    for (const FadeDrumHit& hit : drums.hits)
        run.fadeDrums.push_back(hit.source < run.dacSamples.size()
                                    ? fadedDrum(run.dacSamples[hit.source], hit, steps)
                                    : DacSample{});
}

// Whether channel 6's pan turns a side on while the hit that starts now plays, up to `end`.
bool heardLater(const FullRun& run, std::int64_t end) {
    for (std::size_t i = run.nextPanChange;
         i < run.panChanges.size() && run.panChanges[i].sample < end; ++i)
        if (run.panChanges[i].pan != 0) return true;
    return false;
}

// A hit starts at its step. One heard on neither side all through is not started, nor one
// whose sample the table cannot number; one that channel 6's pan brings in later starts muted.
void startHit(FullRun& run, const DacHit& hit) {
    const std::uint8_t sides = hit.pan >> 6;  // 0xB6 bit 7 left, bit 6 right
    const DacSample& sample = run.dacSamples[hit.sampleIndex];
    std::int64_t end =
        hit.startSample + std::int64_t(sample.values.size()) * 44100 / std::max(1u, sample.rate);
    if (run.nextHit < run.hits.size()) end = std::min(end, run.hits[run.nextHit].startSample);
    run.hitEndSample = hit.startSample;  // what played before is cut
    if (hit.sampleIndex > 0xFFFF || (sides == 0 && !heardLater(run, end))) return;
    const std::int64_t step = stepOf(hit.startSample);
    writeAdpcmStart(run.stream, step, sides == 0 ? 3 : sides, std::uint16_t(hit.sampleIndex));
    if (sides == 0) writeAdpcmSides(run.stream, step, 0);
    run.hitEndSample = end;
    run.hitSides = sides;
    ++run.played.drumStarts;
}

// The DAC's hits that start before `until` go into the stream at their steps, and channel 6's
// pan changes while one plays, at theirs: the hit's sides follow the pan.
void startHits(FullRun& run, std::int64_t until) {
    for (;;) {
        const bool hitDue =
            run.nextHit < run.hits.size() && run.hits[run.nextHit].startSample < until;
        const bool panDue = run.nextPanChange < run.panChanges.size() &&
                            run.panChanges[run.nextPanChange].sample < until;
        if (!hitDue && !panDue) return;
        // A hit first where both fall in one sample: it already takes the pan of its sample.
        if (hitDue && (!panDue || run.hits[run.nextHit].startSample <=
                                      run.panChanges[run.nextPanChange].sample)) {
            startHit(run, run.hits[run.nextHit++]);
            continue;
        }
        const DacPanChange& change = run.panChanges[run.nextPanChange++];
        const std::uint8_t sides = change.pan >> 6;
        if (change.sample < run.hitEndSample && sides != run.hitSides) {
            writeAdpcmSides(run.stream, stepOf(change.sample), sides);
            run.hitSides = sides;
        }
    }
}

// The log's time moves on by `samples`: the hits that start meanwhile go into the stream, and
// the voices that sound without a channel are counted as left out.
void passTime(FullRun& run, std::int64_t samples) {
    startHits(run, run.sample + samples);
    run.sample += samples;
    if (run.voicesWaiting)
        for (int v = 0; v < PSG_VOICES; ++v)
            if (voicesLeftOut(run) & (1 << v)) run.leftOut.voiceSamples[v] += samples;
}

// Before the log's time moves on, the changes made at this step reach the stream. Within the
// wait, a voice waiting for a channel takes one as soon as an FM channel falls silent, and one
// on a lent FM channel gives it back ahead of the song's key-on.
void advanceTime(FullRun& run, LookAhead& ahead, std::int64_t samples) {
    if (samples <= 0) return;
    flushRegisters(run.stream, currentStep(run));
    const std::int64_t end = run.sample + samples;
    if (!ahead.ended &&
        ahead.sample < end + LOOK_AHEAD_SAMPLES) {  // once in a buffer's worth of the log
        dropPastEvents(run);
        lookAheadTo(ahead, end + LOOK_AHEAD_SAMPLES);
    }
    for (std::int64_t next; (next = nextVoiceEvent(run)) < end;) {
        passTime(run, next - run.sample);
        allocateVoices(run);
        flushRegisters(run.stream, currentStep(run));
    }
    passTime(run, end - run.sample);
    if (run.voicesWaiting) allocateVoicesAfterWait(run);
}

// Pass 2's bulk: the chip writes and waits that lie whole in the channel's buffer, up to the
// loop point, in one tight loop. A run of waits is one wait, as nextVgmCommand gives it, and
// is left to it where it reaches the end of the buffer.
[[gnu::flatten]] void translateBufferedCommands(VgmReader& reader, FullRun& run, LookAhead& ahead,
                                                std::int64_t stopSample) {
    const VgmWindow window = vgmWindow(reader);
    int used = 0;
    while (used < window.limit) {
        const std::uint8_t* command = window.bytes + used;
        if (command[0] == VGM_YM2612_PORT0 || command[0] == VGM_YM2612_PORT1) {
            translateFullYm2612(run, command[0] == VGM_YM2612_PORT0 ? 0 : 1, command[1],
                                command[2]);
            used += 3;
        } else if (command[0] == VGM_PSG_WRITE) {
            translateFullSn76489(run, command[1]);
            used += 2;
        } else {
            std::int32_t samples = 0;
            bool dac = false;
            const int end = addWaits(window.bytes, used, window.limit, samples, dac);
            if (end == used || end >= window.limit) break;
            advanceTime(run, ahead, samples);
            used = end;
            if (run.sample >= stopSample) break;
        }
    }
    consumeVgmWindow(reader, used);
}

// --length: the program's own part of the log ends at the end of the first wait that reaches
// `at`. The stream ends there, after a loop position where the log had none before (the player
// goes on to the pairs after a pass's end only once it has seen one), and the fade follows,
// made of the music the log goes on with for the fade's length.
struct LengthCut {
    std::int64_t at = INT64_MAX;  // the log's sample, INT64_MAX without --length
    std::int64_t fadeSteps = 0;
    bool made = false;  // the log reached it
    std::int64_t sample = 0;
    std::array<std::uint16_t, 256> image{};  // the registers as the cut leaves them
    int output = OUTPUT_KEPT;                // where the stream went before the cut
    std::size_t heldFrom = 0;                // the music kept after the cut starts here
    std::int64_t fadeBytes = 0;
};

void startCutFade(FullRun& run, LengthCut& cut) {
    flushRegisters(run.stream, currentStep(run));
    if (run.loopSample < 0) writeLoopMarker(run.stream, currentStep(run));
    finishFullStream(run.stream, currentStep(run));
    handOnPairs(run.stream);
    cut.made = true;
    cut.sample = run.sample;
    cut.image = run.stream.sent;
    cut.output = run.stream.output;
    cut.heldFrom = run.stream.pairs.size();
    run.stream.output = OUTPUT_KEPT;  // the music after the cut is held for the fade
    run.stream.keepLoopSteps = 0;
}

// The music held since the cut becomes the fade.
void endCutFade(FullRun& run, LengthCut& cut) {
    flushRegisters(run.stream, currentStep(run));
    std::vector<std::uint8_t>& pairs = run.stream.pairs;
    const std::vector<std::uint8_t> music(pairs.begin() + std::ptrdiff_t(cut.heldFrom),
                                          pairs.end());
    pairs.resize(cut.heldFrom);
    const std::vector<std::uint8_t> fade = fadedLoopCopy(music, false, cut.image, cut.fadeSteps);
    pairs.insert(pairs.end(), fade.begin(), fade.end());
    cut.fadeBytes = std::int64_t(fade.size());
    run.stream.output = cut.output;
    handOnPairs(run.stream);
}

// Pass 2: the stream. False when it grows beyond what the program may hold.
bool translateSong(VgmReader& reader, FullRun& run, LookAhead& ahead, std::int64_t maxStream,
                   LengthCut& cut) {
    lookAheadTo(ahead, LOOK_AHEAD_SAMPLES);
    run.keyOns = &ahead.keyOns;
    run.psgNotes = &ahead.psgNotes;
    startFullRun(run);
    std::int64_t stopSample = cut.at;
    for (;;) {
        if (run.sample >= stopSample) {
            if (cut.made) break;
            startCutFade(run, cut);
            // The fade's steps, and one more, of the log's time.
            stopSample = run.sample + (cut.fadeSteps + 1) * 787 / STEPS_PER_TICK + 1;
        }
        // Beyond the room, the stream is only counted, for the size it would need.
        if (!cut.made && streamLength(run.stream) > maxStream) run.stream.output = OUTPUT_DROPPED;
        translateBufferedCommands(reader, run, ahead, stopSample);
        if (run.sample >= stopSample) continue;
        const VgmCommand command = nextVgmCommand(reader);
        if (command.atLoopPoint && !cut.made) {
            run.loopSample = run.sample;
            writeLoopMarker(run.stream, currentStep(run));
        }
        switch (command.event) {
            case VgmEvent::endOfData:
                if (cut.made) break;
                finishFullStream(run.stream, currentStep(run));
                handOnPairs(run.stream);
                return streamLength(run.stream) <= maxStream;
            case VgmEvent::ym2612:
                translateFullYm2612(run, command.port, command.reg, command.data);
                break;
            case VgmEvent::sn76489:
                translateFullSn76489(run, command.data);
                break;
            case VgmEvent::dacSample:
            case VgmEvent::wait:
                advanceTime(run, ahead, command.samples);
                break;
            default:
                break;
        }
        if (command.event == VgmEvent::endOfData) break;
    }
    endCutFade(run, cut);
    return streamLength(run.stream) <= maxStream;
}

// The header as far as the reader takes it (0x38 bytes), and the data it points to, must be in
// the file; "" or why not.
std::string headerCutShort(const LogRead& log) {
    constexpr std::int64_t HEADER_READ = 0x38;
    const std::string ends =
        "VGM header cut short: the file ends after " + std::to_string(log.logBytes) + " bytes";
    if (log.logBytes < HEADER_READ) return ends;
    if (log.reader.dataStart > log.logBytes)
        return ends + ", before the data its header places at byte " +
               std::to_string(log.reader.dataStart);
    return "";
}

// A log that ends without its end marker is kept when it holds a second or more of music with
// something heard in it (an FM key-on, a PSG voice's volume, a DAC hit); "" or why it is not.
std::string tooLittleKept(const LogRead& log) {
    const bool heard =
        log.facts.keyedFmChannels != 0 || log.facts.psgHeard || !log.dac->hits.empty();
    if (log.facts.samples >= std::int64_t(SAMPLE_RATE) && heard) return "";
    char text[160];
    std::snprintf(text, sizeof text, "at %.1f s", double(log.facts.samples) / SAMPLE_RATE);
    std::string why = "the log is cut short: it ends at byte " + std::to_string(log.logBytes) +
                      " without its end marker, " + text;
    if (log.reader.headerSamples > 0) {
        std::snprintf(text, sizeof text, " of the %.1f s its header gives",
                      double(log.reader.headerSamples) / SAMPLE_RATE);
        why += text;
    }
    return why + (heard ? "; too little to convert (less than a second)"
                        : "; nothing in it sounds, nothing to convert");
}

ConvertResult failed(std::string reason) {
    ConvertResult result;
    result.error = std::move(reason);
    return result;
}

}  // namespace

std::string sizeText(std::int64_t bytes) {
    if (bytes % (1 << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

ProgramFile::~ProgramFile() {
    if (channel == 0) return;
    fileClose(channel);
    fileRemove(temporary);
}

std::string startProgram(const std::string& output, ProgramFile& program) {
    if (!fileReplaceable(output))
        return "cannot write " + output + ": it is a folder or a file this user may not replace";
    const int channel = fileFreeNumber();
    if (channel == 0 || !fileCreateTemporary(output, channel, program.temporary))
        return "cannot write " + output + ": the folder is missing or not writable";
    program.channel = channel;
    fileWrite(channel, 0, fullPlayerBytes().data(), int(FULL_PLAYER_HEAD_SIZE));
    return "";
}

std::string finishProgram(const std::string& output, ProgramFile& program,
                          std::span<const std::uint8_t> head,
                          std::initializer_list<std::span<const std::uint8_t>> rest) {
    for (const std::span<const std::uint8_t> part : rest)
        fileWrite(program.channel, 0, part.data(), int(part.size()));
    // File channel positions count from 1.
    const bool patched = fileWrite(program.channel, 1, head.data(), int(head.size())) == FILE_OK;
    const bool written = fileClose(program.channel) == FILE_OK && patched;
    if (!written) program.writeError = errno;
    program.channel = 0;
    holdInterrupts();  // from the rename on, the program and its line go together
    if (!written || !fileRename(program.temporary, output)) {
        releaseInterrupts();
        fileRemove(program.temporary);
        return "cannot write " + output + ": the disk is full or the folder not writable";
    }
    return "";
}

bool makeBank(const std::vector<DacSample>& dacSamples, std::int64_t hitsLeftOut, std::int64_t room,
              Drums& drums, std::vector<std::uint8_t>& bytes) {
    drums.hitsLeftOut = hitsLeftOut;
    if (dacSamples.empty()) return true;
    // Each sample costs its table entry and its closing byte, and the bank one byte of padding.
    room -= std::int64_t(dacSamples.size()) * 9 + 1;
    if (room < 0) return false;
    const AdpcmBank bank = buildAdpcmBank(dacSamples, std::size_t(room));
    if (!bank.fits) return false;
    std::vector<FullBankSample> samples(bank.samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i].bytes = bank.samples[i].bytes;
        samples[i].bytes.resize(std::min(samples[i].bytes.size(), FULL_BANK_SAMPLE_LIMIT));
        samples[i].dividerBits = adpcmDividerBits(bank.samples[i].rate);
    }
    bytes = fullBankBytes(samples);
    drums.samples = int(samples.size()) - bank.leftOut;
    drums.bytes = std::int64_t(bank.bytes);
    drums.lowered = bank.lowered;
    for (std::size_t i = 0; i < bank.samples.size(); ++i)
        if (!bank.samples[i].bytes.empty()) ++drums.atRate[int(bank.samples[i].rate)];
    drums.leftOut = bank.leftOut;
    drums.leftOutSeconds = bank.leftOutSeconds;
    // The fade's copies on their own; one left out (a long sample's, to fit) goes unheard.
    for (std::size_t i = 0; i < dacSamples.size(); ++i) {
        if (dacSamples[i].gains.empty()) continue;
        if (bank.samples[i].bytes.empty() && bank.samples[i].seconds < SHORT_HIT_SECONDS) {
            --drums.samples;  // all of it below the ADPCM's least step: nothing to play
        } else if (bank.samples[i].bytes.empty()) {
            --drums.leftOut;
            drums.leftOutSeconds -= bank.samples[i].seconds;
        } else {
            --drums.samples;
            --drums.atRate[int(bank.samples[i].rate)];
            ++drums.fadeCopies;
            drums.fadeBytes += std::int64_t(bank.samples[i].bytes.size());
        }
    }
    return true;
}

std::string tooLargeReason(const std::string& what, std::int64_t maxSize, std::int64_t smallest,
                           std::int64_t& smallestFit) {
    const std::int64_t kib = (smallest + 1023) / 1024;
    smallestFit = kib * 1024;
    if (kib * 1024 > FULL_MAX_PROGRAM_SIZE)
        return "the " + what + " would be larger than " + sizeText(maxSize) +
               " (--max-size) and needs " + std::to_string(kib) +
               " KiB, more than an X68000 can load (12 MiB); --length SECONDS converts the "
               "log's beginning, with a fade";
    return "the " + what + " would be larger than " + sizeText(maxSize) +
           " (--max-size); it fits in " + std::to_string(kib) + " KiB (--max-size " +
           std::to_string(kib) + "K)";
}

std::string readLog(const std::string& inputName, LogRead& log) {
    std::error_code error;
    const fs::file_status status = fs::status(inputName, error);
    if (!fs::exists(status)) return "no such file";
    if (!fs::is_regular_file(status)) return "not a file";
    log.input.number = fileFreeNumber();
    if (log.input.number == 0 ||
        fileOpen(inputName, log.input.number, FileAccess::readUnpacked) != FILE_OK) {
        log.input.number = 0;
        return "cannot be read";
    }
    // Compressed data is read through once first, so that damage is found before anything,
    // and so is a log too long for any song, such as a small gzip file that unpacks to
    // gigabytes: both passes would take minutes over it.
    fileSkip(log.input.number, MAX_LOG_SIZE);
    if (fileDamaged(log.input.number)) return "damaged gzip data (corrupt or cut short)";
    if (!fileAtEnd(log.input.number)) return "larger than 256 MiB (unpacked), too long for a song";
    log.logBytes = fileOffset(log.input.number);
    if (log.logBytes == 0) return "empty file";

    if (!startVgmReader(log.reader, log.input.number)) return "not a VGM log";
    if (std::string cut = headerCutShort(log); !cut.empty()) return cut;
    log.facts = scanSong(log.reader, *log.dac);
    log.endMarker = log.reader.endMarker;
    const bool otherChipsOnly = !log.facts.sourceChipWritten && log.facts.otherChipCommand;
    if (!log.endMarker && !otherChipsOnly)
        if (std::string cut = tooLittleKept(log); !cut.empty()) return cut;
    if (!log.facts.sourceChipWritten) {
        std::string message = "no YM2612 or SN76489 data";
        if (const char* chip =
                log.facts.otherChipCommand ? otherChipName(log.facts.otherChipCommand) : nullptr)
            message += std::string(" (it writes ") + chip + ")";
        else if (log.facts.otherChipCommand)
            message += " (it writes other chips)";
        return message;
    }
    // Read a second time, a little ahead of the translation, where PSG voices need placing.
    if (log.facts.psgWritten && !startLookAhead(*log.ahead, inputName)) return "cannot be read";
    return "";
}

SongStream translateLog(const ConvertRequest& request, LogRead& log,
                        std::span<const DacSample> samples, std::span<const DacHit> hits,
                        int output, std::int64_t maxStream, ConvertResult& result) {
    SongStream song;
    rewindVgmReader(log.reader);
    auto run = std::make_unique<FullRun>();
    run->facts = log.facts;
    run->stream.output = output;
    run->hits = hits;
    run->panChanges = log.dac->panChanges;
    run->dacSamples = samples;
    run->ownerLog = request.ownerLog;
    if (request.loops > 0) run->stream.keepLoopSteps = fadeSteps(request.fadeSeconds);
    LengthCut cut;
    if (request.lengthSeconds > 0) cut.at = std::llround(request.lengthSeconds * SAMPLE_RATE);
    cut.fadeSteps = fadeSteps(request.fadeSeconds);
    song.fits = translateSong(log.reader, *run, *log.ahead, maxStream, cut);
    result.seconds = double(cut.made ? cut.sample : run->sample) / SAMPLE_RATE;
    if (run->loopSample >= 0) result.loopSeconds = double(run->loopSample) / SAMPLE_RATE;
    if (cut.made) {  // one pass, to the cut, then the fade: the program does not loop
        result.cutSeconds = result.seconds;
        result.loopSeconds = -1;
        result.loops = 1;
        result.fadeSeconds = request.fadeSeconds;
        result.fadeBytes = cut.fadeBytes;
    } else if (request.loops > 0 && run->loopSample >= 0) {
        appendFade(*run, fadeSteps(request.fadeSeconds), result);
        result.loops = request.loops;
        result.fadeSeconds = request.fadeSeconds;
    }
    song.tagged = readGd3Tag(request.input, song.tag);
    if (song.tagged)
        result.title =
            !song.tag.titleEnglish.empty() ? song.tag.titleEnglish : song.tag.titleJapanese;
    song.shown = DisplaySong{.tag = nullptr,
                             .fileName = fs::path(request.input).filename().string(),
                             .japanese = request.japanese,
                             .seconds = result.seconds,
                             .loopSeconds = result.loopSeconds,
                             .loops = result.loops,
                             .fadeSeconds = result.fadeSeconds};
    if (cut.made) {  // the screen shows how long it plays
        song.shown.seconds = result.seconds + request.fadeSeconds;
        song.shown.loopSeconds = -1;
        song.shown.loops = 0;
        song.shown.fadeSeconds = 0;
    }
    result.playingSeconds = playingSeconds(song.shown);
    song.length = streamLength(run->stream);
    song.fadeDrums = std::move(run->fadeDrums);
    result.played = run->played;
    result.cutShort = !log.endMarker;
    result.headerSeconds = double(log.reader.headerSamples) / SAMPLE_RATE;
    result.leftOut = run->leftOut;
    result.otherChipCommands = log.facts.otherChipCommands;
    result.unknownCommands = log.facts.unknownCommands;
    result.logBytes = log.logBytes;
    return song;
}

ConvertResult convertLog(const ConvertRequest& request) {
    auto log = std::make_unique<LogRead>();
    if (std::string why = readLog(request.input, *log); !why.empty()) return failed(why);
    keepDrumsOfFirstPart(*log->dac, request);

    // The program is written as the stream is made. Where it cannot be, the stream is still
    // made and counted: a program too large is reported as such first.
    ProgramFile program;
    const std::string cannotWrite = startProgram(request.output, program);
    const std::int64_t maxStream = request.maxSize - std::int64_t(FULL_PLAYER_SIZE);
    ConvertResult result;
    SongStream song =
        translateLog(request, *log, log->dac->samples, log->dac->hits,
                     program.channel != 0 ? program.channel : OUTPUT_DROPPED, maxStream, result);
    song.shown.tag = song.tagged ? &song.tag : nullptr;
    std::vector<std::uint8_t> display;
    if (request.display) display = displayBlock(song.shown);
    const std::int64_t length = song.length;
    const std::int64_t room = maxStream - length - std::int64_t(display.size());
    std::vector<std::uint8_t> bank;
    std::vector<DacSample>& samples = log->dac->samples;
    samples.insert(samples.end(), std::make_move_iterator(song.fadeDrums.begin()),
                   std::make_move_iterator(song.fadeDrums.end()));
    if (!song.fits || room < 0 ||
        !makeBank(log->dac->samples, log->dac->hitsLeftOut, room, result.drums, bank)) {
        ConvertResult refused;
        refused.error =
            tooLargeReason("program", request.maxSize,
                           std::int64_t(FULL_PLAYER_SIZE) + length + std::int64_t(display.size()) +
                               smallestBankBytes(log->dac->samples),
                           refused.smallestFit);
        return refused;
    }
    if (!cannotWrite.empty()) return failed(cannotWrite);
    const std::array<std::uint8_t, FULL_PLAYER_HEAD_SIZE> head = fullProgramHead(
        std::uint64_t(length), bank.size(), display.size(), std::uint16_t(result.loops));
    result.programSize = std::int64_t(FULL_PLAYER_SIZE) + length + std::int64_t(bank.size()) +
                         std::int64_t(display.size());
    if (std::string failure =
            finishProgram(request.output, program, head,
                          {bank, display, fullPlayerBytes().subspan(FULL_PLAYER_HEAD_SIZE)});
        !failure.empty()) {
        ConvertResult unwritten = failed(failure);
        unwritten.writeError = program.writeError;
        unwritten.programSize = result.programSize;
        return unwritten;
    }
    return result;
}

void keepDrumsOfFirstPart(DacCapture& dac, const ConvertRequest& request) {
    if (request.lengthSeconds <= 0) return;
    const std::int64_t end =
        std::llround((request.lengthSeconds + request.fadeSeconds + 1) * SAMPLE_RATE);
    std::erase_if(dac.hits, [end](const DacHit& hit) { return hit.startSample >= end; });
    std::vector<std::uint32_t> number(dac.samples.size(), UINT32_MAX);
    std::vector<DacSample> kept;
    for (DacHit& hit : dac.hits) {
        std::uint32_t& renumbered = number[hit.sampleIndex];
        if (renumbered == UINT32_MAX) {
            renumbered = std::uint32_t(kept.size());
            kept.push_back(std::move(dac.samples[hit.sampleIndex]));
        }
        hit.sampleIndex = renumbered;
    }
    dac.samples = std::move(kept);
}

bool gatherDacHits(const std::string& input, DacCapture& capture) {
    InputChannel channel;
    channel.number = fileFreeNumber();
    if (channel.number == 0 ||
        fileOpen(input, channel.number, FileAccess::readUnpacked) != FILE_OK) {
        channel.number = 0;
        return false;
    }
    VgmReader reader;
    if (!startVgmReader(reader, channel.number)) return false;
    scanSong(reader, capture);
    return true;
}
