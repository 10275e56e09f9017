#include "full/driver/x68k_names.hpp"

#include <iconv.h>

#include <cctype>
#include <clocale>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t STEM_BYTES = 18;
constexpr std::size_t EXTENSION_BYTES = 3;
// Characters Human68k does not take in a name (besides control characters and the blank).
constexpr const char* RESERVED = "\"*+,/:;<=>?[\\]|";

// `text` converted by iconv from UTF-8 to `encoding`; false when a character has no
// counterpart there (or the text is not UTF-8).
bool convertText(const std::string& text, const char* encoding, std::string& converted) {
    const iconv_t cd = iconv_open(encoding, "UTF-8");
    if (cd == iconv_t(-1)) return false;
    std::vector<char> in(text.begin(), text.end());
    std::vector<char> out(text.size() * 4 + 16);
    char* from = in.data();
    char* to = out.data();
    std::size_t fromLeft = in.size();
    std::size_t toLeft = out.size();
    const std::size_t done = iconv(cd, &from, &fromLeft, &to, &toLeft);
    iconv_close(cd);
    if (done == std::size_t(-1)) return false;
    converted.assign(out.data(), std::size_t(to - out.data()));
    return true;
}

std::string lowerAscii(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string x68kNameProblem(const std::string& name) {
    std::string sjis;
    if (!convertText(name, "CP932", sjis)) return "characters Shift-JIS lacks";
    const std::size_t dot = sjis.rfind('.');
    const std::string stem = dot == sjis.npos ? sjis : sjis.substr(0, dot);
    const std::size_t extension = dot == sjis.npos ? 0 : sjis.size() - dot - 1;
    std::vector<std::string> problems;
    if (stem.find(' ') != stem.npos) problems.push_back("blanks");
    bool reserved = false;
    for (std::size_t i = 0; i < stem.size(); ++i) {
        const auto byte = static_cast<unsigned char>(stem[i]);
        if ((byte >= 0x81 && byte <= 0x9F) || byte >= 0xE0) {  // a two-byte character
            ++i;
            continue;
        }
        reserved |= byte < 0x20 || byte == '.' || std::strchr(RESERVED, stem[i]) != nullptr;
    }
    if (reserved) problems.push_back("characters Human68k reserves");
    if (stem.size() > STEM_BYTES)
        problems.push_back(std::to_string(stem.size()) + " bytes before the dot, 18 at most");
    if (extension > EXTENSION_BYTES) problems.push_back("more than 3 bytes after the dot");
    std::string text;
    for (const std::string& problem : problems) text += (text.empty() ? "" : ", ") + problem;
    return text;
}

std::string x68kStem(const std::string& stem, std::set<std::string>& taken) {
    // glibc transliterates (é to e, — to -) only under a UTF-8 locale.
    const std::string previous = std::setlocale(LC_CTYPE, nullptr);
    std::setlocale(LC_CTYPE, "C.UTF-8");
    std::string ascii;
    if (!convertText(stem, "ASCII//TRANSLIT", ascii)) ascii.clear();
    std::setlocale(LC_CTYPE, previous.c_str());
    if (ascii.empty()) {  // not UTF-8: each byte outside ASCII becomes "_"
        for (const char c : stem) ascii += static_cast<unsigned char>(c) < 0x80 ? c : '_';
    }
    std::string name;
    for (const char c : ascii) {
        const bool kept = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
        const char put = kept ? c : '_';
        if (put == '_' && (name.empty() || name.back() == '_')) continue;  // no runs of _
        name += put;
    }
    while (!name.empty() && name.back() == '_') name.pop_back();
    if (name.empty()) name = "song";
    if (name.size() > STEM_BYTES) name.resize(STEM_BYTES);
    std::string unique = name;
    for (int n = 2; taken.count(lowerAscii(unique)); ++n) {
        const std::string suffix = "_" + std::to_string(n);
        unique = name.substr(0, STEM_BYTES - suffix.size()) + suffix;
    }
    taken.insert(lowerAscii(unique));
    return unique;
}
