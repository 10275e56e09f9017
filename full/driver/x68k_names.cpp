#include "full/driver/x68k_names.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "full/driver/display_text.hpp"

namespace {

constexpr std::size_t STEM_BYTES = 18;
constexpr std::size_t EXTENSION_BYTES = 3;
// Characters Human68k does not take in a name (besides control characters and the blank).
constexpr const char* RESERVED = "\"*+,/:;<=>?[\\]|";
// Shift-JIS's ideographic space, a blank as much as the ASCII one.
constexpr const char* WIDE_BLANK = "\x81\x40";

// One character of a name: its UTF-8 bytes, and its Shift-JIS bytes ("" when Shift-JIS lacks
// it, or when the byte is not UTF-8).
struct NameChar {
    std::string utf8, sjis;
};

std::vector<NameChar> nameChars(const std::string& utf8) {
    std::vector<NameChar> chars;
    for (std::size_t at = 0; at < utf8.size();) {
        const std::size_t length = utf8Length(utf8, at);
        NameChar c{utf8.substr(at, std::max<std::size_t>(length, 1)), ""};
        if (length == 1) c.sjis = c.utf8;
        if (length > 1) c.sjis = shiftJisText(c.utf8);
        if (length > 1 && c.sjis == "?") c.sjis.clear();  // Shift-JIS lacks it
        at += c.utf8.size();
        chars.push_back(c);
    }
    return chars;
}

// Whether Human68k takes the character (its Shift-JIS bytes) in a name: no control character,
// blank, dot or reserved character.
bool heldInName(const std::string& sjis) {
    if (sjis.empty() || sjis == WIDE_BLANK) return false;
    if (sjis.size() > 1) return true;
    const auto byte = static_cast<unsigned char>(sjis[0]);
    return byte > ' ' && byte != 0x7F && byte != '.' && std::strchr(RESERVED, byte) == nullptr;
}

std::string lowerAscii(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// `name` made to fit, as x68kStem says; `fallback` when nothing of it is left.
std::string fittedName(const std::string& name, const std::string& fallback,
                       std::set<std::string>& taken) {
    std::vector<NameChar> kept;
    bool gap = false;  // characters left out since the last kept: one "_" for them
    const auto put = [&](const NameChar& c) {
        if (!heldInName(c.sjis)) {
            gap = true;
            return;
        }
        if (gap && !kept.empty() && kept.back().utf8 != "_") kept.push_back({"_", "_"});
        gap = false;
        kept.push_back(c);
    };
    for (const NameChar& c : nameChars(name)) {
        if (!c.sjis.empty() || c.utf8.size() == 1) {
            put(c);
            continue;
        }
        for (const char letter : asciiText(c.utf8))
            put({std::string(1, letter), std::string(1, letter)});
    }
    if (kept.empty()) kept = nameChars(fallback);
    // The name's first characters that take `bytes` bytes of Shift-JIS at most.
    const auto cut = [&](std::size_t bytes) {
        std::string text;
        std::size_t used = 0;
        for (const NameChar& c : kept) {
            if (used + c.sjis.size() > bytes) break;
            used += c.sjis.size();
            text += c.utf8;
        }
        return text;
    };
    std::string unique = cut(STEM_BYTES);
    for (int n = 2; taken.count(lowerAscii(unique)); ++n) {
        const std::string suffix = "_" + std::to_string(n);
        unique = cut(STEM_BYTES - suffix.size()) + suffix;
    }
    taken.insert(lowerAscii(unique));
    return unique;
}

}  // namespace

std::string x68kNameProblem(const std::string& name) {
    const std::vector<NameChar> chars = nameChars(name);
    std::size_t dot = chars.size();
    for (std::size_t i = 0; i < chars.size(); ++i) {
        if (chars[i].sjis.empty()) return "characters Shift-JIS lacks";
        if (chars[i].sjis == ".") dot = i;
    }
    bool blanks = false, reserved = false;
    std::size_t stemBytes = 0, extensionBytes = 0;
    for (std::size_t i = 0; i < chars.size(); ++i) {
        if (i == dot) continue;
        const std::string& c = chars[i].sjis;
        (i < dot ? stemBytes : extensionBytes) += c.size();
        if (c == " " || c == WIDE_BLANK)
            blanks = true;
        else if (!heldInName(c))
            reserved = true;
    }
    std::vector<std::string> problems;
    if (blanks) problems.push_back("blanks");
    if (reserved) problems.push_back("characters Human68k reserves");
    if (stemBytes == 0) problems.push_back("nothing before the dot");
    if (stemBytes > STEM_BYTES)
        problems.push_back(std::to_string(stemBytes) + " bytes before the dot, 18 at most");
    if (extensionBytes > EXTENSION_BYTES) problems.push_back("more than 3 bytes after the dot");
    std::string text;
    for (const std::string& problem : problems) text += (text.empty() ? "" : ", ") + problem;
    return text;
}

std::string x68kStem(const std::string& stem, std::set<std::string>& taken) {
    return fittedName(stem, "song", taken);
}

std::string x68kFolderName(const std::string& name, std::set<std::string>& taken) {
    if (x68kNameProblem(name).empty() && !taken.count(lowerAscii(name))) {
        taken.insert(lowerAscii(name));
        return name;
    }
    return fittedName(name, "folder", taken);
}
