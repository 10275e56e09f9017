#include "full/driver/summary.hpp"

#include "full/driver/display_text.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <string_view>
#include <vector>

namespace {

std::string format(const char* pattern, double value) {
    char text[96];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string seconds(std::int64_t samples) {
    return format("%.1f s", double(samples) / 44100.0);
}

// Adds a fixed text to a list. Out of line: GCC 12, inlining a string literal's copy into the
// vector across files, warns of a read beyond it that never happens.
[[gnu::noinline]] void addText(std::vector<std::string>& list, std::string_view text) {
    list.emplace_back(text);
}

std::string join(const std::vector<std::string>& parts, const char* between) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : between) + part;
    return text;
}

}  // namespace

std::vector<std::string> songParts(const ConvertResult& result) {
    std::vector<std::string> parts;
    std::string length = format("%.1f s", result.seconds);
    if (result.cutShort)
        length += result.headerSeconds > 0
                      ? format(" (cut short: the header gives %.1f s)", result.headerSeconds)
                      : " (cut short)";
    if (result.loopSeconds >= 0) length += format(", loops at %.1f s", result.loopSeconds);
    if (result.cutSeconds > 0) {  // --length: "first 60.0 s of 7200.0 s + 5 s fade: 1:05"
        length = format("first %.1f s", result.cutSeconds);
        if (result.headerSeconds > result.cutSeconds)
            length += format(" of %.1f s", result.headerSeconds);
        length += " + " + format("%g s", result.fadeSeconds) +
                  " fade: " + clockText(result.playingSeconds);
    }
    parts.push_back(length);
    if (result.loops > 0 && result.cutSeconds == 0) {
        std::string plays = std::to_string(result.loops) + (result.loops == 1 ? " loop" : " loops");
        if (result.fadeSeconds > 0) plays += " + " + format("%g s", result.fadeSeconds) + " fade";
        parts.push_back(plays + ": " + clockText(result.playingSeconds));
    }
    std::vector<std::string> voices;
    if (int fm = std::popcount(unsigned(result.played.fmChannels)); fm > 0)
        voices.push_back("FM " + std::to_string(fm));
    const int psg = std::popcount(unsigned(result.played.psgVoices));
    if (psg > 0 || result.played.noise)
        voices.push_back("PSG " + std::to_string(psg) + (result.played.noise ? " + noise" : ""));
    if (result.played.lfo) voices.push_back("LFO");
    if (!voices.empty()) parts.push_back(join(voices, ", "));
    return parts;
}

std::string drumsPart(const Drums& drums, const std::string& afterCount) {
    char text[128];
    std::snprintf(text, sizeof text, "drums: %d sample%s%s, %lld KiB ADPCM", drums.samples,
                  drums.samples == 1 ? "" : "s", afterCount.c_str(),
                  static_cast<long long>(std::max<std::int64_t>(1, (drums.bytes + 512) / 1024)));
    std::string part = text;
    if (drums.lowered == 0) {
        part += " at 15.6 kHz";
    } else {  // lowered to fit: how many play at each rate
        static const char* const RATES[3] = {"15.6", "10.4", "7.8"};
        std::vector<std::string> rates;
        for (int r = 0; r < 3; ++r)
            if (drums.atRate[r] > 0)
                rates.push_back(std::to_string(drums.atRate[r]) + " at " + RATES[r] + " kHz");
        part += ": " + join(rates, ", ");
    }
    if (drums.fadeCopies > 0) {
        std::snprintf(
            text, sizeof text, ", of which %lld KiB for the fade's %d attenuated cop%s",
            static_cast<long long>(std::max<std::int64_t>(1, (drums.fadeBytes + 512) / 1024)),
            drums.fadeCopies, drums.fadeCopies == 1 ? "y" : "ies");
        part += text;
    }
    return part;
}

std::string programSizeText(std::int64_t bytes) {
    if (bytes < (1 << 20))
        return std::to_string(std::max<std::int64_t>(1, (bytes + 512) / 1024)) + " KiB";
    return format("%.1f MiB", double(bytes) / (1 << 20));
}

std::string leftOutLine(const ConvertResult& result) {
    const LeftOut& out = result.leftOut;
    const Drums& drums = result.drums;
    std::vector<std::string> left;
    static const char* const VOICE_NAMES[PSG_VOICES] = {"PSG tone 0", "PSG tone 1", "PSG tone 2",
                                                        "periodic noise"};
    for (int v = 0; v < PSG_VOICES; ++v)
        if (out.voiceSamples[v] > 0)
            left.push_back(std::string(VOICE_NAMES[v]) + " " + seconds(out.voiceSamples[v]));
    if (drums.leftOut > 0) {
        char text[96];
        std::snprintf(text, sizeof text, "%d long sample%s (%.1f s)", drums.leftOut,
                      drums.leftOut == 1 ? "" : "s", drums.leftOutSeconds);
        left.push_back(text);
    }
    if (drums.hitsLeftOut > 0)
        left.push_back(format("%.0f DAC hits beyond 32 MiB of samples", double(drums.hitsLeftOut)));
    if (out.channel3Mode) addText(left, "YM2612 channel 3 special mode");
    if (out.ssgEg) addText(left, "SSG-EG");
    if (out.lfoRateBeyondReach) addText(left, "LFO rate 7 (83 Hz, played at 59 Hz)");
    if (result.otherChipCommands > 0)
        left.push_back(std::to_string(result.otherChipCommands) + " writes to other chips");
    if (result.unknownCommands > 0)
        left.push_back(std::to_string(result.unknownCommands) + " unknown command bytes");
    if (left.empty()) return "";
    return "  left out: " + join(left, ", ") + "\n";
}

std::string summaryLines(const ConvertRequest& request, const ConvertResult& result) {
    std::vector<std::string> parts = songParts(result);
    if (result.drums.samples > 0) parts.push_back(drumsPart(result.drums));
    parts.push_back(programSizeText(result.programSize));
    return request.input + " -> " + request.output +
           (result.title.empty() ? "" : " \"" + result.title + "\"") + ": " + join(parts, "; ") +
           "\n" + leftOutLine(result);
}

std::string cutShortWarning(const std::string& input, const ConvertResult& result) {
    std::string text = input + ": warning: the log is cut short: it ends at byte " +
                       std::to_string(result.logBytes) + " without its end marker, " +
                       format("at %.1f s", result.seconds);
    text += result.headerSeconds > 0
                ? format(" of the %.1f s its header gives", result.headerSeconds)
                : "";
    return text + "; converted as far as it goes\n";
}
