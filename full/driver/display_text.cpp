#include "full/driver/display_text.hpp"

#include <iconv.h>
#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

std::size_t utf8Length(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    if (lead >= 0xE0 && lead <= 0xEF) length = 3;
    if (lead >= 0xF0 && lead <= 0xF4) length = 4;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    if (length == 0 || at + length > text.size()) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return length;
}

namespace {

// `utf8` converted by iconv to `encoding`, each character that has no counterpart there and
// each byte that is not UTF-8 as "?".
std::string convertLeniently(const std::string& utf8, const char* encoding) {
    const iconv_t cd = iconv_open(encoding, "UTF-8");
    if (cd == iconv_t(-1)) {  // no such converter: keep ASCII only
        std::string ascii;
        for (const char c : utf8) ascii += static_cast<unsigned char>(c) < 0x80 ? c : '?';
        return ascii;
    }
    std::string converted;
    std::string in = utf8;
    char* from = in.data();
    std::size_t fromLeft = in.size();
    char buffer[256];
    while (fromLeft > 0) {
        char* to = buffer;
        std::size_t toLeft = sizeof buffer;
        const std::size_t done = iconv(cd, &from, &fromLeft, &to, &toLeft);
        const int error = errno;
        converted.append(buffer, std::size_t(to - buffer));
        if (done != std::size_t(-1) || error == E2BIG) continue;
        // A character it lacks, or bytes that are not UTF-8: "?" and on past them.
        const std::size_t at = std::size_t(from - in.data());
        const std::size_t skip = std::max<std::size_t>(1, utf8Length(in, at));
        converted += '?';
        from += std::min(skip, fromLeft);
        fromLeft -= std::min(skip, fromLeft);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return converted;
}

// Bytes of the screen character starting at `at`: 2 for a Shift-JIS lead byte and its trail.
std::size_t sjisLength(const std::string& text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const bool twoBytes = (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC);
    return twoBytes && at + 1 < text.size() ? 2 : 1;
}

std::string joined(const std::string& first, const std::string& second) {
    if (first.empty() || second.empty()) return first + second;
    return first + " - " + second;
}

bool hasLoop(const DisplaySong& song) {
    return song.loopSeconds >= 0;
}
double fadeOf(const DisplaySong& song) {
    return song.fadeSeconds > 0 ? song.fadeSeconds : 0;
}

// The fade's length as "5 s" or "2.5 s".
std::string fadeText(double seconds) {
    const double tenths = std::round(seconds * 10);
    char text[32];
    if (std::fmod(tenths, 10) == 0)
        std::snprintf(text, sizeof text, "%.0f s", tenths / 10);
    else
        std::snprintf(text, sizeof text, "%.1f s", tenths / 10);
    return text;
}

}  // namespace

std::string shiftJisText(const std::string& utf8) {
    return convertLeniently(utf8, "CP932");
}

std::string asciiText(const std::string& utf8) {
    // glibc transliterates (é to e) by the tables of LC_CTYPE: a UTF-8 locale for this thread
    // alone while it converts.
    const locale_t utf8Locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    const locale_t previous = utf8Locale ? uselocale(utf8Locale) : locale_t(0);
    std::string text = convertLeniently(utf8, "ASCII//TRANSLIT");
    if (utf8Locale) {
        uselocale(previous);
        freelocale(utf8Locale);
    }
    return text;
}

std::string clockText(double seconds) {
    // Nothing beyond 9999 hours: past that the cast below would overflow.
    const long long whole =
        seconds >= 0 ? (long long)std::floor(std::min(seconds, 9999 * 3600.0)) : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

double playingSeconds(const DisplaySong& song) {
    if (!hasLoop(song) || song.loops <= 0) return song.seconds;
    return song.loopSeconds + song.loops * (song.seconds - song.loopSeconds) + fadeOf(song);
}

std::string screenText(const std::string& utf8, bool japanese, int columns) {
    // ESC and the other control characters would drive the console: "?" instead. A byte
    // below 0x80 is always a character of its own in UTF-8.
    std::string plain = utf8;
    for (char& c : plain)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    std::string text = japanese ? shiftJisText(plain) : asciiText(plain);
    for (char& c :
         text)  // a transliteration never brings controls, but the screen must not see one
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';

    // Cut to the columns, with "..." at the end so the reader sees the cut.
    std::vector<std::size_t> ends;  // the byte after each character
    std::vector<int> widths;        // the columns up to and including it
    int width = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = sjisLength(text, at);
        at += length;
        width += int(length);
        ends.push_back(at);
        widths.push_back(width);
    }
    if (width <= columns) return text;
    const int dots = std::clamp(columns, 0, 3);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < ends.size() && widths[i] <= columns - dots; ++i) kept = ends[i];
    return text.substr(0, kept) + std::string(std::size_t(dots), '.');
}

std::vector<std::string> displayHeader(const DisplaySong& song, const std::string& prefix) {
    const auto pick = [&](const std::string& english, const std::string& japanese) {
        const std::string& first = song.japanese ? japanese : english;
        return first.empty() ? (song.japanese ? english : japanese) : first;
    };
    std::vector<std::string> lines;
    std::string names, maker;
    if (song.tag) {
        const Gd3Tag& tag = *song.tag;
        names = joined(pick(tag.titleEnglish, tag.titleJapanese),
                       pick(tag.gameEnglish, tag.gameJapanese));
        maker = joined(pick(tag.systemEnglish, tag.systemJapanese),
                       pick(tag.authorEnglish, tag.authorJapanese));
    }
    lines.push_back(screenText(prefix + (names.empty() ? song.fileName : names), song.japanese));
    if (!maker.empty()) lines.push_back(screenText(maker, song.japanese));

    std::string length = clockText(song.seconds);
    if (hasLoop(song)) {
        length += ", loops at " + clockText(song.loopSeconds);
        if (song.loops > 0) {
            length +=
                "; plays " + std::to_string(song.loops) + (song.loops == 1 ? " loop" : " loops");
            if (fadeText(fadeOf(song)) != "0 s") length += " + " + fadeText(fadeOf(song)) + " fade";
            length += ": " + clockText(playingSeconds(song));
        }
    }
    lines.push_back(screenText(length, song.japanese));
    return lines;
}

std::string displayTimeLine(const DisplaySong& song) {
    const std::string elapsed(1, DISPLAY_ELAPSED), pass(1, DISPLAY_PASS);
    if (!hasLoop(song)) return elapsed + " / " + clockText(song.seconds);
    if (song.loops <= 0) return elapsed + "  loop " + pass;
    return elapsed + " / " + clockText(playingSeconds(song)) + "  loop " + pass + " of " +
           std::to_string(song.loops);
}

std::vector<std::uint8_t> displayBlock(const DisplaySong& song, const std::string& prefix) {
    std::string block;
    for (const std::string& line : displayHeader(song, prefix)) block += line + "\r\n";
    block += '\0';
    block += displayTimeLine(song);
    block += '\0';
    if (block.size() % 2 != 0) block += '\0';
    return std::vector<std::uint8_t>(block.begin(), block.end());
}
