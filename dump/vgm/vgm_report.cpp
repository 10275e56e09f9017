// The --vgm summary as text and as one JSON line.
#include "dump/json_line.hpp"
#include "dump/text_format.hpp"
#include "dump/vgm/vgm_chips.hpp"
#include "dump/vgm/vgm_summary.hpp"
#include "translate/opm_image.hpp"

namespace {

std::string versionText(std::uint32_t version) {
    return format("%X.%02X", unsigned(version >> 8), unsigned(version & 0xFF));
}

std::string samplesText(std::uint64_t samples) {
    return format("%llu (%.3f s)", ull(samples), double(samples) / VGM_SAMPLE_RATE);
}

std::string loopText(const VgmSummary& s) {
    if (s.loopPoint == 0) return "none\n";
    std::string text =
        hexOffset(s.loopPoint) + " (loop offset field " + hexOffset(s.header.loopOffset) + "): ";
    if (!s.loopCommand) return text + "beyond the last command, so the conversion does not loop\n";
    if (*s.loopCommand == s.loopPoint) return text + "a command starts there\n";
    return text + "inside a command; the loop marker goes before the next one at " +
           hexOffset(*s.loopCommand) + "\n";
}

std::string endText(const VgmSummary& s) {
    if (!s.endOfData) return "none: the commands run to the end of the file\n";
    return "0x66 at " + hexOffset(*s.endOfData) +
           format(", %llu bytes follow\n", ull(s.fileLength - *s.endOfData - 1));
}

std::uint64_t kindCount(const VgmSummary& s, VgmCommandKind kind) {
    std::uint64_t count = 0;
    for (int c = 0; c < 256; ++c)
        if (vgmCommandKind(std::uint8_t(c)) == kind) count += s.commands[std::size_t(c)];
    return count;
}

// "0x54: 12, 0xA0: 3", each with its chip's name ("YM2151 (0x54): 12") where it has one and
// with its first offset when asked; "none" for none.
std::string commandList(const VgmSummary& s, VgmCommandKind kind, bool withOffsets) {
    std::string text;
    for (std::size_t c = 0; c < 256; ++c) {
        if (vgmCommandKind(std::uint8_t(c)) != kind || s.commands[c] == 0) continue;
        if (!text.empty()) text += ", ";
        if (const char* chip = vgmChipName(std::uint8_t(c)))
            text += format("%s (0x%02X): %llu", chip, unsigned(c), ull(s.commands[c]));
        else
            text += format("0x%02X: %llu", unsigned(c), ull(s.commands[c]));
        if (withOffsets) text += " (first at " + hexOffset(s.firstCommandAt[c]) + ")";
    }
    return text.empty() ? "none" : text;
}

std::string line(const char* label, const std::string& value) {
    return format("  %-38s ", label) + value + "\n";
}

std::string number(std::uint64_t value) {
    return std::to_string(value);
}

// What opmcast drops, in two groups: what opmcast-full plays of it, and what both drop.
std::string droppedText(const VgmSummary& s) {
    const VgmDropped& d = s.dropped;
    const auto psg = [&](std::size_t channel) {
        return number(d.psgBytes[channel]) + (d.psgAudible[channel] ? " (made audible)" : "");
    };
    const std::uint64_t blocks = kindCount(s, VgmCommandKind::dataBlock);
    return "dropped by opmcast, played by opmcast-full\n" +
           line("YM2612 DAC data (2A)", number(d.dacData)) +
           line("YM2612 DAC enable (2B)", number(d.dacEnable)) +
           line("DAC sample and wait (80-8F)",
                number(kindCount(s, VgmCommandKind::dacSampleWait))) +
           line("PCM data seeks (E0)", number(kindCount(s, VgmCommandKind::pcmSeek))) +
           line("YM2612 data blocks (67, type 00)",
                number(blocks - d.otherDataBlocks) + ", " +
                    number(d.dataBlockBytes - d.otherDataBlockBytes) + " bytes") +
           line("DAC stream control (90-95)", number(kindCount(s, VgmCommandKind::dacStream))) +
           line("YM2612 LFO depths (B4-B6)", number(d.lfoDepths) + " setting AMS or PMS") +
           line("SN76489 tone channel 2 bytes", psg(2)) +
           line("SN76489 noise bytes", psg(3) + ", " + number(d.psgPeriodicNoise) +
                                           " selecting periodic noise (the mode it starts in)") +
           "dropped by both\n" +
           line("other data blocks (67)",
                number(d.otherDataBlocks) + ", " + number(d.otherDataBlockBytes) + " bytes") +
           line("PCM RAM writes (68)", number(kindCount(s, VgmCommandKind::pcmRamWrite))) +
           line("YM2612 SSG-EG (90-9F)",
                number(d.ssgEg) + ", " + number(d.ssgEgOn) + " enabling it") +
           line("YM2612 channel 3 frequencies (A8-AF)", number(d.channel3Frequency) + ", " +
                                                            number(d.channel3ModeOn) +
                                                            " mode writes (27) turning it on") +
           line("other YM2612 registers", number(d.otherYm2612)) +
           line("Game Gear stereo (4F)", number(kindCount(s, VgmCommandKind::psgStereo))) +
           line("other chips", commandList(s, VgmCommandKind::otherChip, false)) +
           line("unknown command bytes", commandList(s, VgmCommandKind::unknown, true));
}

// A header clock; bit 31 marks a pair of the chip.
std::string clockText(const char* chip, std::uint32_t clock) {
    if (clock == 0) return std::string(chip) + " none";
    return format("%s %u Hz%s", chip, unsigned(clock & 0x7FFFFFFF),
                  (clock & 0x80000000) ? " (two chips)" : "");
}

// The header's clocks next to the Mega Drive's, from which both conversions work out pitch.
std::string clocksText(const VgmHeader& h) {
    std::string text = clockText("SN76489", h.psgClock) + ", " + clockText("YM2612", h.ym2612Clock);
    if (h.ym2151Clock != 0) text += ", " + clockText("YM2151", h.ym2151Clock);
    if (h.psgClock == PSG_CLOCK && h.ym2612Clock == FM_CLOCK)
        return text + " (the Mega Drive's, from which both conversions work out pitch)\n";
    return text + format("; both conversions work out pitch from the Mega Drive's, %d and %d Hz\n",
                         PSG_CLOCK, FM_CLOCK);
}

// The English text, with the Japanese in parentheses when it differs; either alone when the
// other is empty.
std::string bothLanguages(const std::string& english, const std::string& japanese) {
    if (english.empty()) return japanese;
    if (japanese.empty() || japanese == english) return english;
    return english + " (" + japanese + ")";
}

// One line for each field of the tag that holds text; a GD3 offset that finds no tag is said.
std::string tagText(const VgmSummary& s) {
    if (!s.tag) {
        if (s.header.gd3Offset == 0) return "";
        const std::uint64_t at = 0x14 + std::uint64_t(s.header.gd3Offset);
        return "GD3 tag        none: the GD3 offset field points to " + hexOffset(at) +
               (at >= s.fileLength ? ", beyond the end of the file\n"
                                   : ", where no \"Gd3 \" block starts\n");
    }
    const Gd3Tag& t = *s.tag;
    const std::pair<const char*, std::string> fields[] = {
        {"title", bothLanguages(t.titleEnglish, t.titleJapanese)},
        {"game", bothLanguages(t.gameEnglish, t.gameJapanese)},
        {"system", bothLanguages(t.systemEnglish, t.systemJapanese)},
        {"author", bothLanguages(t.authorEnglish, t.authorJapanese)},
        {"date", t.date},
        {"logged by", t.loggedBy},
    };
    std::string text;
    for (const auto& [label, value] : fields)
        if (!value.empty()) text += format("%-15s", label) + value + "\n";
    return text;
}

JsonLine tagJson(const Gd3Tag& t) {
    JsonLine json;
    jsonText(json, "titleEnglish", t.titleEnglish);
    jsonText(json, "titleJapanese", t.titleJapanese);
    jsonText(json, "gameEnglish", t.gameEnglish);
    jsonText(json, "gameJapanese", t.gameJapanese);
    jsonText(json, "systemEnglish", t.systemEnglish);
    jsonText(json, "systemJapanese", t.systemJapanese);
    jsonText(json, "authorEnglish", t.authorEnglish);
    jsonText(json, "authorJapanese", t.authorJapanese);
    jsonText(json, "date", t.date);
    jsonText(json, "loggedBy", t.loggedBy);
    jsonText(json, "notes", t.notes);
    return json;
}

JsonLine countsJson(const VgmSummary& s) {
    JsonLine counts;
    for (std::size_t c = 0; c < 256; ++c)
        if (s.commands[c] > 0)
            jsonNumber(counts, format("0x%02X", unsigned(c)).c_str(), s.commands[c]);
    return counts;
}

}  // namespace

std::string vgmSummaryText(const VgmSummary& s) {
    const VgmHeader& h = s.header;
    std::string text =
        tagText(s) + "version        " + versionText(h.version) + "\n" +
        format("file length    %llu bytes; end-of-file field 0x%X puts the end at %llu\n",
               ull(s.fileLength), unsigned(h.eofOffset), ull(std::uint64_t(h.eofOffset) + 4)) +
        "data start     " + hexOffset(s.dataStart) + " (data offset field " +
        hexOffset(h.dataOffset) + ")\n" + "loop point     " + loopText(s) + "end of data    " +
        endText(s) + "clocks         " + clocksText(h) +
        format("%-15s%-30s%s\n", "", "header", "commands") +
        format("%-15s%-30s%s\n", "total samples", samplesText(h.totalSamples).c_str(),
               samplesText(s.samples).c_str()) +
        format("%-15s%-30s%s\n", "loop samples", samplesText(h.loopSamples).c_str(),
               s.loopCommand ? samplesText(s.samples - s.samplesBeforeLoop).c_str() : "none") +
        "commands\n";
    for (int k = 0; k < VGM_COMMAND_KINDS; ++k) {
        const auto kind = VgmCommandKind(k);
        if (const std::uint64_t count = kindCount(s, kind); count > 0)
            text += line(vgmCommandKindNames(kind).label, number(count));
    }
    return text + droppedText(s);
}

std::string vgmSummaryJson(const VgmSummary& s) {
    const VgmHeader& h = s.header;
    const VgmDropped& d = s.dropped;
    JsonLine json;
    jsonText(json, "type", "vgm");
    jsonText(json, "version", versionText(h.version));
    jsonNumber(json, "length", s.fileLength);
    jsonNumber(json, "eofOffset", h.eofOffset);
    jsonNumber(json, "dataOffset", h.dataOffset);
    jsonNumber(json, "dataStart", s.dataStart);
    jsonNumber(json, "loopOffset", h.loopOffset);
    jsonOptional(json, "loopPoint",
                 s.loopPoint > 0 ? std::optional<std::uint64_t>(s.loopPoint) : std::nullopt);
    jsonOptional(json, "loopCommand", s.loopCommand);
    jsonOptional(json, "endOfData", s.endOfData);
    jsonNumber(json, "psgClock", h.psgClock);
    jsonNumber(json, "ym2612Clock", h.ym2612Clock);
    jsonNumber(json, "ym2151Clock", h.ym2151Clock);
    jsonNumber(json, "headerSamples", h.totalSamples);
    jsonNumber(json, "headerLoopSamples", h.loopSamples);
    jsonNumber(json, "samples", s.samples);
    jsonSeconds(json, "seconds", double(s.samples) / VGM_SAMPLE_RATE);
    jsonOptional(json, "loopSamples",
                 s.loopCommand ? std::optional<std::uint64_t>(s.samples - s.samplesBeforeLoop)
                               : std::nullopt);
    JsonLine kinds;
    for (int k = 0; k < VGM_COMMAND_KINDS; ++k)
        jsonNumber(kinds, vgmCommandKindNames(VgmCommandKind(k)).id,
                   kindCount(s, VgmCommandKind(k)));
    jsonObject(json, "kinds", kinds);
    jsonObject(json, "commands", countsJson(s));
    JsonLine dropped;
    jsonNumber(dropped, "dacData", d.dacData);
    jsonNumber(dropped, "dacEnable", d.dacEnable);
    jsonNumber(dropped, "dataBlockBytes", d.dataBlockBytes);
    jsonNumber(dropped, "ssgEg", d.ssgEg);
    jsonNumber(dropped, "ssgEgOn", d.ssgEgOn);
    jsonNumber(dropped, "channel3Frequency", d.channel3Frequency);
    jsonNumber(dropped, "channel3ModeOn", d.channel3ModeOn);
    jsonNumber(dropped, "otherYm2612", d.otherYm2612);
    jsonNumber(dropped, "lfoDepths", d.lfoDepths);
    jsonNumber(dropped, "otherDataBlocks", d.otherDataBlocks);
    jsonNumber(dropped, "otherDataBlockBytes", d.otherDataBlockBytes);
    jsonNumber(dropped, "psgPeriodicNoise", d.psgPeriodicNoise);
    jsonNumber(dropped, "psgTone2", d.psgBytes[2]);
    jsonBool(dropped, "psgTone2Audible", d.psgAudible[2]);
    jsonNumber(dropped, "psgNoise", d.psgBytes[3]);
    jsonBool(dropped, "psgNoiseAudible", d.psgAudible[3]);
    jsonObject(json, "dropped", dropped);
    jsonNumber(json, "gd3Offset", h.gd3Offset);
    if (s.tag) {
        jsonObject(json, "tag", tagJson(*s.tag));
    } else {
        jsonNull(json, "tag");
    }
    return jsonEnd(json);
}
