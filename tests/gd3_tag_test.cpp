// The GD3 tag reader: UTF-16LE texts to UTF-8, damaged blocks, and finding the tag in a plain
// or gzip log.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "driver/gd3_tag.hpp"
#include "tests/gzip_support.hpp"
#include "tests/test_support.hpp"

namespace {

using Units = std::vector<std::uint16_t>;
using Fields = std::array<std::string, 11>;

void appendLong(Bytes& bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(std::uint8_t(value >> (8 * i)));
}

// The texts as UTF-16LE units, each followed by its zero unit unless `terminate` is false for
// the last one.
Bytes textBytes(const std::vector<Units>& texts, bool terminate = true) {
    Bytes bytes;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        Units units = texts[i];
        if (terminate || i + 1 < texts.size()) units.push_back(0);
        for (const std::uint16_t u : units) {
            bytes.push_back(std::uint8_t(u));
            bytes.push_back(std::uint8_t(u >> 8));
        }
    }
    return bytes;
}

// "Gd3 ", version 1.00, the length (that of the texts unless given) and the texts.
Bytes gd3Block(const Bytes& texts, std::int64_t length = -1) {
    Bytes block = {'G', 'd', '3', ' '};
    appendLong(block, 0x100);
    appendLong(block, length < 0 ? std::uint32_t(texts.size()) : std::uint32_t(length));
    return concat({block, texts});
}

Units ascii(const std::string& text) {
    return Units(text.begin(), text.end());
}

Fields fieldsOf(const Gd3Tag& t) {
    return {t.titleEnglish,  t.titleJapanese,  t.gameEnglish,   t.gameJapanese,
            t.systemEnglish, t.systemJapanese, t.authorEnglish, t.authorJapanese,
            t.date,          t.loggedBy,       t.notes};
}

const std::vector<Units> ELEVEN = {
    ascii("Green Hill Zone"),
    {0x30B0, 0x30EA, 0x30FC, 0x30F3},  // グリーン
    ascii("Sonic the Hedgehog"),
    {},
    ascii("Sega Mega Drive"),
    ascii("Sega Mega Drive"),
    ascii("Masato Nakamura"),
    {0x4E2D, 0x6751},  // 中村
    ascii("1991/07/26"),
    ascii("someone"),
    ascii("notes"),
};
const Fields ELEVEN_UTF8 = {"Green Hill Zone",
                            "グリーン",
                            "Sonic the Hedgehog",
                            "",
                            "Sega Mega Drive",
                            "Sega Mega Drive",
                            "Masato Nakamura",
                            "中村",
                            "1991/07/26",
                            "someone",
                            "notes"};

const std::string FFFD = "\uFFFD";  // the replacement character

TEST(Gd3Tag, ParsesBlocksGoodAndDamaged) {
    const Bytes eleven = textBytes(ELEVEN);
    const Bytes good = gd3Block(eleven);
    Bytes badMarker = good;
    badMarker[2] = 'x';
    const Bytes huge = textBytes({Units(40000, 'x')});
    struct Case {
        const char* name;
        Bytes block;
        bool parsed;
        Fields fields;
    };
    const Case cases[] = {
        {"good tag", gd3Block(eleven), true, ELEVEN_UTF8},
        {"good tag followed by more data", concat({gd3Block(eleven), {0x66, 0x41, 0}}), true,
         ELEVEN_UTF8},
        {"surrogate pair",
         gd3Block(textBytes({{'A', 0xD83C, 0xDFB5, 'B'}, ascii("g")})),
         true,
         {"A\U0001F3B5B", "g"}},
        {"highest code point", gd3Block(textBytes({{0xDBFF, 0xDFFF}})), true, {"\U0010FFFF"}},
        {"unpaired surrogates",
         gd3Block(textBytes({{0xD83C, 'A'}, {0xDFB5, 'B'}, {'C', 0xD83C}, {0xDC00, 0xD800}})),
         true,
         {FFFD + "A", FFFD + "B", "C" + FFFD, FFFD + FFFD}},
        {"high surrogate as the last unit of the block",
         gd3Block(textBytes({ascii("t"), {'x', 0xD83C}}, false)),
         true,
         {"t", "x" + FFFD}},
        {"control characters blanked, one blank a run",
         gd3Block(textBytes({ascii("one\r\ntwo\tthree\x1B[2Jfour"), {'a', 0x85, 0x2028, 'b'}})),
         true,
         {"one two three [2Jfour", "a b"}},
        {"last terminator missing", gd3Block(textBytes(ELEVEN, false)), true, ELEVEN_UTF8},
        {"texts end after the third",
         gd3Block(textBytes({ascii("t"), {}, ascii("g")}, false)),
         true,
         {"t", "", "g"}},
        {"length beyond the block: cut where the bytes end",
         gd3Block(Bytes(eleven.begin(), eleven.begin() + 38), 0xFFFFFFFF),
         true,
         {"Green Hill Zone", "グリー"}},
        {"length beyond the block and an odd byte",
         gd3Block(Bytes(eleven.begin(), eleven.begin() + 39), 1000),
         true,
         {"Green Hill Zone", "グリー"}},
        {"length shorter than the texts", gd3Block(eleven, 34), true, {"Green Hill Zone", "グ"}},
        {"odd length", gd3Block(eleven, 3), true, {"G"}},
        {"zero length", gd3Block(eleven, 0), true, {}},
        {"empty fields", gd3Block(textBytes(std::vector<Units>(11))), true, {}},
        {"over 64 KiB of text: read up to 64 KiB", gd3Block(huge), true, {std::string(32768, 'x')}},
        {"bad marker", badMarker, false, {}},
        {"header cut short", Bytes(good.begin(), good.begin() + 11), false, {}},
        {"empty block", {}, false, {}},
    };
    for (const Case& c : cases) {
        Gd3Tag tag;
        tag.notes = "left over";
        EXPECT_EQ(parseGd3Tag(c.block, tag), c.parsed) << c.name;
        EXPECT_EQ(fieldsOf(tag), c.fields) << c.name;
    }
}

// A VGM log whose GD3 offset field holds `gd3Offset` and which ends with `tail`.
Bytes logWithTag(const Bytes& tail, std::uint32_t gd3Offset) {
    Bytes log = makeVgm({0x62, 0x66});
    for (int i = 0; i < 4; ++i) log[0x14 + std::size_t(i)] = std::uint8_t(gd3Offset >> (8 * i));
    return concat({log, tail});
}

TEST(Gd3Tag, ReadsTheTagOfAPlainOrGzipLog) {
    ScratchDir dir;
    const Bytes block = gd3Block(textBytes(ELEVEN));
    const Bytes log = logWithTag(block, 0x42 - 0x14);
    // The tag behind 300000 bytes that compress poorly: several buffers of gzip data.
    const Bytes longLog = logWithTag(concat({noise(300000), block}), 0x42 + 300000 - 0x14);
    const Bytes longGzip = gzipped(longLog);
    struct Case {
        const char* name;
        Bytes file;
        bool read;
    };
    const Case cases[] = {
        {"plain", log, true},
        {"gzip", gzipped(log), true},
        {"gzip, the tag past several buffers", longGzip, true},
        {"no GD3 offset", logWithTag(block, 0), false},
        {"offset beyond the end", logWithTag(block, 0x1000), false},
        {"offset beyond the end of gzip data", gzipped(logWithTag(block, 0x1000)), false},
        {"offset near 4 GiB in gzip data", gzipped(logWithTag(block, 0xFFFFFFF0)), false},
        {"offset inside the header", logWithTag(block, 1), false},
        {"gzip data cut short before the tag",
         Bytes(longGzip.begin(), longGzip.begin() + long(longGzip.size() / 2)), false},
        {"not a VGM log", Bytes(block), false},
        {"header cut short", Bytes(log.begin(), log.begin() + 0x16), false},
    };
    for (const Case& c : cases) {
        const std::string name = dir.file("log.vgm");
        writeFile(name, c.file);
        Gd3Tag tag;
        EXPECT_EQ(readGd3Tag(name, tag), c.read) << c.name;
        EXPECT_EQ(fieldsOf(tag), c.read ? ELEVEN_UTF8 : Fields{}) << c.name;
    }
    Gd3Tag tag;
    EXPECT_FALSE(readGd3Tag(dir.file("absent.vgm"), tag));
    EXPECT_FALSE(readGd3Tag(dir.path.string(), tag));  // a directory
}

}  // namespace
