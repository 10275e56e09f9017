// The two walks through a VGM log besides the translation: the first pass, which finds what
// the translation needs in advance and the DAC's hits, and the look-ahead, which reads a little
// ahead of the translation for the FM key-ons and PSG notes to come.
#include "full/driver/first_pass.hpp"

#include <array>

#include "driver/vgm_commands.hpp"

namespace {

// How the first pass steps over each command in the channel's buffer: the chip writes and the
// waits; every other command stops it, for nextVgmCommand to read.
enum class Step : std::uint8_t { stop, oneByteWait, wait, psgWrite, ym2612Port0, ym2612Port1 };
constexpr std::array<Step, 256> STEP_OVER = [] {
    std::array<Step, 256> step{};
    for (int code = 0; code < 256; ++code)
        if (ONE_BYTE_WAIT[std::size_t(code)] >= 0) step[std::size_t(code)] = Step::oneByteWait;
    step[VGM_WAIT] = Step::wait;
    step[VGM_PSG_WRITE] = Step::psgWrite;
    step[VGM_YM2612_PORT0] = Step::ym2612Port0;
    step[VGM_YM2612_PORT1] = Step::ym2612Port1;
    return step;
}();

// A write of data to YM2612 register 0x28: bits 7-4 the operators keyed on, bits 2-0 the
// channel (4-6 on the second half; 3 and 7 name none).
// The look-ahead also keeps each key-on from every operator off.
void noteKeyOn(SongFacts& facts, FmKeyOns* keyOns, std::int64_t sample, std::uint8_t data) {
    if ((data & 0x03) == 0x03) return;
    const int channel = ((data & 0x04) ? 3 : 0) + (data & 0x03);
    const auto bit = std::uint8_t(1 << channel);
    if (data & 0xF0) facts.keyedFmChannels |= bit;
    if (!keyOns) return;
    const bool wasKeyed = keyOns->keyed & bit;
    keyOns->keyed = std::uint8_t((data & 0xF0) ? keyOns->keyed | bit : keyOns->keyed & ~bit);
    std::vector<std::int64_t>& samples = keyOns->samples[std::size_t(channel)];
    if ((data & 0xF0) && !wasKeyed && samples.size() < EVENTS_KEPT) samples.push_back(sample);
}

// An SN76489 latch byte 1cc1vvvv sets voice cc's attenuation; 15 is off.
constexpr bool psgVolumeOn(std::uint8_t data) {
    return (data & 0x90) == 0x90 && (data & 0x0F) != 0x0F;
}

// A walk through the log: pass 1, for what the translation needs in advance, whether the log
// can be played, and the DAC's hits; the look-ahead, for the key-ons and PSG notes. The chip
// writes and waits that lie whole in the channel's buffer, up to the loop point, are stepped
// over in one tight loop, which keeps the log's time.
struct Scan {
    SongFacts facts;
    DacCapture* dac = nullptr;          // pass 1
    FmKeyOns* keyOns = nullptr;         // the look-ahead
    PsgNoteEvents* psgNotes = nullptr;  // the look-ahead
    std::int64_t sample = 0;
};

// A YM2612 write as the first pass takes it: the key-ons, and what drives the DAC.
[[gnu::always_inline]] inline void scanYm2612Write(Scan& scan, std::int64_t sample,
                                                   std::uint8_t port, std::uint8_t reg,
                                                   std::uint8_t data) {
    if (reg == 0x28 && port == 0) noteKeyOn(scan.facts, scan.keyOns, sample, data);
    if (!scan.dac) return;
    if (port == 1) {
        if (reg == 0xB6) dacPan(*scan.dac, sample, data);
        return;
    }
    if (reg == 0x2A) dacWrite(*scan.dac, sample, data);
    if (reg == 0x2B) dacEnable(*scan.dac, data & 0x80);
}

// An SN76489 write as the first pass takes it: where each voice's notes start and stop.
void scanPsgWrite(Scan& scan, std::int64_t sample, std::uint8_t data) {
    if (!scan.psgNotes) return;
    const PsgChange change = applyPsgWrite(scan.psgNotes->chip, data);
    if (!change.noteStarts && !change.soundingChanged) return;
    std::vector<std::int64_t>& samples = scan.psgNotes->samples[std::size_t(change.voice)];
    if (samples.size() < EVENTS_KEPT && (samples.empty() || samples.back() != sample))
        samples.push_back(sample);
}

void scanBufferedCommands(VgmReader& reader, Scan& scan) {
    const VgmWindow window = vgmWindow(reader);
    const std::uint8_t* bytes = window.bytes;
    int used = 0;
    bool chipWritten = false;
    std::int64_t sample = scan.sample;
    while (used < window.limit) {
        const std::uint8_t* command = bytes + used;
        switch (STEP_OVER[command[0]]) {
            case Step::ym2612Port0:
                scanYm2612Write(scan, sample, 0, command[1], command[2]);
                chipWritten = true;
                used += 3;
                continue;
            case Step::ym2612Port1:
                scanYm2612Write(scan, sample, 1, command[1], command[2]);
                chipWritten = true;
                used += 3;
                continue;
            case Step::psgWrite:
                scanPsgWrite(scan, sample, command[1]);
                scan.facts.psgWritten = true;
                scan.facts.psgHeard |= psgVolumeOn(command[1]);
                chipWritten = true;
                used += 2;
                continue;
            case Step::wait:
                sample += command[1] | command[2] << 8;
                used += 3;
                continue;
            case Step::oneByteWait:  // a run of them, the bulk of a log with DAC samples
                do {
                    const std::uint8_t code = bytes[used];
                    if (code >= 0x80 && scan.dac) dacWriteFromBank(*scan.dac, sample);
                    sample += ONE_BYTE_WAIT[code];
                    ++used;
                } while (used < window.limit && STEP_OVER[bytes[used]] == Step::oneByteWait);
                continue;
            case Step::stop:
                break;
        }
        break;
    }
    scan.sample = sample;
    scan.facts.sourceChipWritten |= chipWritten;
    consumeVgmWindow(reader, used);
}

// One command the tight loop left; false at the end of the data.
bool scanCommand(Scan& scan, const VgmCommand& command) {
    switch (command.event) {
        case VgmEvent::endOfData:
            return false;
        case VgmEvent::ym2612:
            scan.facts.sourceChipWritten = true;
            scanYm2612Write(scan, scan.sample, command.port, command.reg, command.data);
            break;
        case VgmEvent::sn76489:
            scan.facts.sourceChipWritten = true;
            scan.facts.psgWritten = true;
            scan.facts.psgHeard |= psgVolumeOn(command.data);
            scanPsgWrite(scan, scan.sample, command.data);
            break;
        case VgmEvent::otherChip:
            if (!scan.facts.otherChipCommand) scan.facts.otherChipCommand = command.code;
            ++scan.facts.otherChipCommands;
            break;
        case VgmEvent::unknown:
            ++scan.facts.unknownCommands;
            break;
        case VgmEvent::dacSample:  // the first of a run of them, then the run as waits
            if (scan.dac) dacWriteFromBank(*scan.dac, scan.sample);
            scan.sample += command.samples;
            break;
        case VgmEvent::wait:
            scan.sample += command.samples;
            break;
        case VgmEvent::dacSeek:
            if (scan.dac) dacSeek(*scan.dac, command.value);
            break;
        case VgmEvent::dacStream:
            if (scan.dac)
                dacStreamControl(*scan.dac, scan.sample, command.code, command.operands.data());
            break;
        case VgmEvent::dataBlock:
        case VgmEvent::passedOver:
            break;
    }
    return true;
}

}  // namespace

SongFacts scanSong(VgmReader& reader, DacCapture& dac) {
    Scan scan;
    scan.dac = &dac;
    reader.dacBank = &dac.bank;
    reader.dacBlockStarts = &dac.blockStarts;
    do scanBufferedCommands(reader, scan);
    while (scanCommand(scan, nextVgmCommand(reader)));
    reader.dacBank = nullptr;
    reader.dacBlockStarts = nullptr;
    finishDacCapture(dac, scan.sample);
    scan.facts.samples = scan.sample;
    return scan.facts;
}

LookAhead::~LookAhead() {
    if (reader.channel) fileClose(reader.channel);
}

bool startLookAhead(LookAhead& ahead, const std::string& input) {
    const int channel = fileFreeNumber();
    if (channel == 0 || fileOpen(input, channel, FileAccess::readUnpacked) != FILE_OK) return false;
    ahead.reader.channel = channel;
    ahead.ended = !startVgmReader(ahead.reader, channel);
    return !ahead.ended;
}

void lookAheadTo(LookAhead& ahead, std::int64_t sample) {
    Scan scan;
    scan.keyOns = &ahead.keyOns;
    scan.psgNotes = &ahead.psgNotes;
    scan.sample = ahead.sample;
    while (!ahead.ended && scan.sample < sample) {
        scanBufferedCommands(ahead.reader, scan);
        ahead.ended = !scanCommand(scan, nextVgmCommand(ahead.reader));
    }
    ahead.sample = scan.sample;
}
