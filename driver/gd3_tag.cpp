#include "driver/gd3_tag.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

#include "channels/file_channels.hpp"

namespace {

// The block: "Gd3 ", the version (0x00000100), the byte length of the texts, then the texts,
// each UTF-16LE ending with a zero unit.
constexpr std::size_t GD3_HEADER = 12;
constexpr std::size_t GD3_FIELDS = 11;
// No tag needs more: the work and the bytes read for one are capped here.
constexpr std::size_t MAX_TEXT_BYTES = 64 * 1024;
// The GD3 offset field of the VGM header, relative to itself.
constexpr std::uint64_t GD3_OFFSET_FIELD = 0x14;
// In gzip data the tag is reached by unpacking everything before it: no further than a log
// opmcast-full accepts.
constexpr std::uint64_t MAX_UNPACKED_TAG_POSITION = std::uint64_t(256) << 20;

std::uint32_t littleLong(std::span<const std::uint8_t> bytes, std::size_t at) {
    return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 |
           std::uint32_t(bytes[at + 2]) << 16 | std::uint32_t(bytes[at + 3]) << 24;
}

void appendUtf8(std::string& text, char32_t c) {
    if (c < 0x80) {
        text += char(c);
    } else if (c < 0x800) {
        text += char(0xC0 | (c >> 6));
        text += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        text += char(0xE0 | (c >> 12));
        text += char(0x80 | ((c >> 6) & 0x3F));
        text += char(0x80 | (c & 0x3F));
    } else {
        text += char(0xF0 | (c >> 18));
        text += char(0x80 | ((c >> 12) & 0x3F));
        text += char(0x80 | ((c >> 6) & 0x3F));
        text += char(0x80 | (c & 0x3F));
    }
}

// C0 and C1 controls, DEL and the Unicode line and paragraph separators: a text that holds
// one would not print on one line, or would steer the terminal.
bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// Decodes UTF-16LE units from `at` up to a zero unit or `end` into `text`, and returns where
// the next text starts. A surrogate without its partner becomes U+FFFD; a run of control
// characters becomes one blank.
std::size_t readText(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t end,
                     std::string& text) {
    bool blank = false;
    while (at + 2 <= end) {
        char32_t c = char32_t(bytes[at] | bytes[at + 1] << 8);
        at += 2;
        if (c == 0) break;
        if (c >= 0xD800 && c <= 0xDBFF) {
            const char32_t low = at + 2 <= end ? char32_t(bytes[at] | bytes[at + 1] << 8) : 0;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (isControl(c)) {
            if (!blank) text += ' ';
            blank = true;
            continue;
        }
        blank = false;
        appendUtf8(text, c);
    }
    return at;
}

// The channel of the log, closed however the reading ends.
struct LogChannel {
    int number = 0;
    ~LogChannel() {
        if (number) fileClose(number);
    }
};

// Appends up to `count` bytes that the channel really holds: none beyond the end of the file
// or the point where its gzip data turns out damaged.
void readUpTo(int channel, std::size_t count, std::string& bytes) {
    while (count-- > 0 && !fileAtEnd(channel)) {
        const std::uint8_t b = fileReadByte(channel);
        if (fileDamaged(channel)) return;
        bytes += char(b);
    }
}

}  // namespace

bool parseGd3Tag(std::span<const std::uint8_t> block, Gd3Tag& tag) {
    tag = Gd3Tag{};
    if (block.size() < GD3_HEADER || block[0] != 'G' || block[1] != 'd' || block[2] != '3' ||
        block[3] != ' ')
        return false;
    // A length beyond the block, or beyond the cap, leaves the texts cut short where the bytes
    // end; an odd last byte is no unit.
    const std::uint64_t length = littleLong(block, 8);
    const std::size_t end =
        GD3_HEADER +
        std::size_t(std::min<std::uint64_t>({length, block.size() - GD3_HEADER, MAX_TEXT_BYTES}));
    const std::array<std::string*, GD3_FIELDS> fields = {
        &tag.titleEnglish,  &tag.titleJapanese,  &tag.gameEnglish,   &tag.gameJapanese,
        &tag.systemEnglish, &tag.systemJapanese, &tag.authorEnglish, &tag.authorJapanese,
        &tag.date,          &tag.loggedBy,       &tag.notes,
    };
    std::size_t at = GD3_HEADER;
    for (std::string* field : fields) at = readText(block, at, end, *field);
    return true;
}

bool readGd3Tag(const std::string& path, Gd3Tag& tag) {
    tag = Gd3Tag{};
    LogChannel channel;
    const int number = fileFreeNumber();
    if (number == 0 || fileOpen(path, number, FileAccess::readUnpacked) != FILE_OK) return false;
    channel.number = number;

    std::string bytes;
    readUpTo(number, GD3_OFFSET_FIELD + 4, bytes);
    if (bytes.size() < GD3_OFFSET_FIELD + 4 || bytes.compare(0, 4, "Vgm ") != 0) return false;
    const auto* header = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::uint32_t offset = littleLong({header, bytes.size()}, GD3_OFFSET_FIELD);
    if (offset == 0) return false;
    const std::uint64_t position = GD3_OFFSET_FIELD + offset;
    if (position < bytes.size()) return false;  // inside the header read so far
    if (fileChannelTable[number].unpacking && position > MAX_UNPACKED_TAG_POSITION) return false;
    if (fileSkip(number, std::int64_t(position - bytes.size())) != FILE_OK ||
        fileOffset(number) != std::int64_t(position))
        return false;

    bytes.clear();
    readUpTo(number, GD3_HEADER, bytes);
    if (bytes.size() == GD3_HEADER) {
        const auto* head = reinterpret_cast<const std::uint8_t*>(bytes.data());
        readUpTo(number, std::min<std::size_t>(littleLong({head, GD3_HEADER}, 8), MAX_TEXT_BYTES),
                 bytes);
    }
    const auto* block = reinterpret_cast<const std::uint8_t*>(bytes.data());
    return parseGd3Tag({block, bytes.size()}, tag);
}
