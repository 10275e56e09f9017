#include "dump/program/vgm_gd3.hpp"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace {

// `text` converted by iconv between two encodings; a byte that does not convert becomes
// `unknown` and the rest goes on.
std::string convert(const std::string& text, const char* to, const char* from,
                    const std::string& unknown) {
    const iconv_t cd = iconv_open(to, from);
    if (cd == iconv_t(-1)) return text;
    std::string in = text, out;
    char* at = in.data();
    std::size_t left = in.size();
    char buffer[256];
    while (left > 0) {
        char* put = buffer;
        std::size_t room = sizeof buffer;
        const std::size_t done = iconv(cd, &at, &left, &put, &room);
        const int error = errno;
        out.append(buffer, std::size_t(put - buffer));
        if (done != std::size_t(-1) || error == E2BIG) continue;
        out += unknown;
        ++at;
        --left;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return out;
}

bool isAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The header's lines, without their CR LF.
std::vector<std::string> headerLines(const std::string& header) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < header.size()) {
        std::size_t end = header.find("\r\n", from);
        if (end == std::string::npos) end = header.size();
        lines.push_back(header.substr(from, end - from));
        from = end + 2;
    }
    return lines;
}

// An album track's number in front of its first line: "3/8  ".
std::string withoutTrackNumber(const std::string& line) {
    std::size_t at = 0;
    const auto digits = [&] {
        const std::size_t from = at;
        while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) ++at;
        return at > from;
    };
    if (digits() && at < line.size() && line[at] == '/' && (++at, digits()) &&
        line.compare(at, 2, "  ") == 0)
        return line.substr(at + 2);
    return line;
}

bool endsWithLogExtension(const std::string& line) {
    if (line.size() < 4) return false;
    std::string end = line.substr(line.size() - 4);
    for (char& c : end) c = char(std::tolower(static_cast<unsigned char>(c)));
    return end == ".vgm" || end == ".vgz";
}

// "first - second" split at its first " - " into the two fields of one language.
void putPair(const std::string& screen, std::string& firstEnglish, std::string& firstJapanese,
             std::string& secondEnglish, std::string& secondJapanese) {
    const bool japanese = !isAscii(screen);
    const std::string utf8 = japanese ? convert(screen, "UTF-8", "CP932", "?") : screen;
    const std::size_t dash = utf8.find(" - ");
    const std::string first = utf8.substr(0, dash);
    const std::string second = dash == std::string::npos ? "" : utf8.substr(dash + 3);
    (japanese ? firstJapanese : firstEnglish) = first;
    (japanese ? secondJapanese : secondEnglish) = second;
}

// Every track's text of one field when they all agree, else empty.
std::string shared(const std::vector<std::optional<Gd3Tag>>& tracks, std::string Gd3Tag::*field) {
    std::optional<std::string> common;
    for (const std::optional<Gd3Tag>& tag : tracks) {
        const std::string text = tag ? (*tag).*field : "";
        if (common && *common != text) return "";
        common = text;
    }
    return common.value_or("");
}

void putLong(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + std::size_t(i)] = std::uint8_t(value >> (8 * i));
}

}  // namespace

std::optional<Gd3Tag> tagFromDisplay(const std::string& header) {
    const std::vector<std::string> lines = headerLines(header);
    // The last line gives the length; the names come before it.
    if (lines.size() < 2) return std::nullopt;
    const std::string names = withoutTrackNumber(lines[0]);
    const bool maker = lines.size() >= 3;
    // A log's file name stands in for a title and game the tag lacks.
    const bool fileName = names.empty() || endsWithLogExtension(names);
    if (fileName && !maker) return std::nullopt;
    Gd3Tag tag;
    if (!fileName)
        putPair(names, tag.titleEnglish, tag.titleJapanese, tag.gameEnglish, tag.gameJapanese);
    if (maker)
        putPair(lines[1], tag.systemEnglish, tag.systemJapanese, tag.authorEnglish,
                tag.authorJapanese);
    return tag;
}

std::optional<Gd3Tag> albumTag(const std::vector<std::optional<Gd3Tag>>& tracks) {
    if (std::none_of(tracks.begin(), tracks.end(), [](const auto& t) { return t.has_value(); }))
        return std::nullopt;
    Gd3Tag tag;
    for (std::string Gd3Tag::*field :
         {&Gd3Tag::titleEnglish, &Gd3Tag::titleJapanese, &Gd3Tag::gameEnglish,
          &Gd3Tag::gameJapanese, &Gd3Tag::systemEnglish, &Gd3Tag::systemJapanese,
          &Gd3Tag::authorEnglish, &Gd3Tag::authorJapanese})
        tag.*field = shared(tracks, field);
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const std::optional<Gd3Tag>& t = tracks[i];
        const std::string title = !t                        ? ""
                                  : t->titleEnglish.empty() ? t->titleJapanese
                                                            : t->titleEnglish;
        tag.notes += (i > 0 ? "\n" : "") + std::to_string(i + 1) + ". " + title;
    }
    return tag;
}

void appendGd3(Bytes& vgm, const Gd3Tag& tag) {
    Bytes texts;
    for (const std::string* text :
         {&tag.titleEnglish, &tag.titleJapanese, &tag.gameEnglish, &tag.gameJapanese,
          &tag.systemEnglish, &tag.systemJapanese, &tag.authorEnglish, &tag.authorJapanese,
          &tag.date, &tag.loggedBy, &tag.notes}) {
        const std::string utf16 = convert(*text, "UTF-16LE", "UTF-8", std::string("?\0", 2));
        texts.insert(texts.end(), utf16.begin(), utf16.end());
        texts.insert(texts.end(), {0, 0});
    }
    const std::size_t at = vgm.size();
    vgm.insert(vgm.end(), {'G', 'd', '3', ' ', 0x00, 0x01, 0x00, 0x00, 0, 0, 0, 0});
    putLong(vgm, at + 8, std::uint32_t(texts.size()));
    vgm.insert(vgm.end(), texts.begin(), texts.end());
    putLong(vgm, 0x14, std::uint32_t(at - 0x14));
    putLong(vgm, 0x04, std::uint32_t(vgm.size() - 0x04));
}
