// What the X68000 program shows on the text screen: texts in the screen's ASCII or Shift-JIS,
// the header's lines, the time line's pattern and the block the player reads.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "full/driver/display_text.hpp"

namespace {

using namespace std::string_literals;

TEST(FullDisplay, ScreenTextIsAsciiOrShiftJisWithoutControlsAndFitsItsColumns) {
    struct Case {
        std::string utf8;
        bool japanese;
        int columns;
        std::string screen;
    };
    const std::vector<Case> cases = {
        {"Café Olé — “Zone”", false, 95, "Cafe Ole -- \"Zone\""},
        {"ソニック 2", false, 95, "???? 2"},
        // 0x5C as the trail byte of ソ: a byte that is "\" in ASCII.
        {"ソニック", true, 95, "\x83\x5C\x83\x6A\x83\x62\x83\x4E"},
        {"ｱｲ", true, 95, "\xB1\xB2"},
        {"a😀b", true, 95, "a?b"},
        {"a😀b", false, 95, "a?b"},
        // ESC would start an escape sequence on the console.
        {"\x1B[2Jx\x7F\ty", false, 95, "?[2Jx??y"},
        {"\x1B[2Jx\x7F\ty", true, 95, "?[2Jx??y"},
        {"ab\xFF"
         "cd\xC0\xAF",
         false, 95, "ab?cd??"},
        {"ab\xFF"
         "cd\xE3\x82",
         true, 95, "ab?cd??"},
        {"abcdefghij", false, 10, "abcdefghij"},
        {"abcdefghijk", false, 10, "abcdefg..."},
        {"アイウエオ", true, 10, "\x83\x41\x83\x43\x83\x45\x83\x47\x83\x49"},
        // Seven columns left before the dots: "a", two of ア and イ, never half of ウ.
        {"aアイウエオ", true, 10, "a\x83\x41\x83\x43\x83\x45..."},
        {"aアイウエオ", true, 9, "a\x83\x41\x83\x43..."},
        {"ｱｲｳｴｵｶ", true, 5, "\xB1\xB2..."},
        {"abcdef", false, 2, ".."},
    };
    const std::string localeBefore = std::setlocale(LC_CTYPE, nullptr);
    for (const Case& c : cases) {
        EXPECT_EQ(screenText(c.utf8, c.japanese, c.columns), c.screen)
            << c.utf8 << (c.japanese ? " in Shift-JIS" : " in ASCII") << " to " << c.columns;
    }
    EXPECT_EQ(std::setlocale(LC_CTYPE, nullptr), localeBefore);
}

TEST(FullDisplay, HeaderTimeLineAndBlockOfSongs) {
    Gd3Tag english;
    english.titleEnglish = "Green Hill Zone";
    english.gameEnglish = "Sonic the Hedgehog";
    english.systemEnglish = "Sega Mega Drive";
    english.authorEnglish = "Masato Nakamura";
    Gd3Tag japanese;  // a system in English only: the other language stands in
    japanese.titleJapanese = "ソニック";
    japanese.systemEnglish = "Mega Drive";
    japanese.authorJapanese = "中村";
    const Gd3Tag empty;
    Gd3Tag longTitle;
    longTitle.titleEnglish = std::string(120, 'x');
    longTitle.authorEnglish = "Author";

    struct Case {
        DisplaySong song;
        std::vector<std::string> header;
        std::string timeLine;
        std::string block;  // empty: not checked
    };
    const std::vector<Case> cases = {
        {{&english, "a.vgz", false, 52.5, 14.25, 2, 5},
         {"Green Hill Zone - Sonic the Hedgehog", "Sega Mega Drive - Masato Nakamura",
          "0:52, loops at 0:14; plays 2 loops + 5 s fade: 1:35"},
         "\x01 / 1:35  loop \x02 of 2",
         ""},
        {{&japanese, "a.vgz", true, 52, -1, 2, 5},
         {"\x83\x5C\x83\x6A\x83\x62\x83\x4E", "Mega Drive - \x92\x86\x91\xBA", "0:52"},
         "\x01 / 0:52",
         "\x83\x5C\x83\x6A\x83\x62\x83\x4E\r\nMega Drive - \x92\x86\x91\xBA\r\n0:52\r\n\0"
         "\x01 / 0:52\0\0"s},
        {{&japanese, "a.vgz", false, 52, -1, 2, 5},
         {"????", "Mega Drive - ??", "0:52"},
         "\x01 / 0:52",
         ""},
        {{nullptr, "green hill.vgz", false, 52, 14, 0, 5},
         {"green hill.vgz", "0:52, loops at 0:14"},
         "\x01  loop \x02",
         "green hill.vgz\r\n0:52, loops at 0:14\r\n\0\x01  loop \x02\0"s},
        {{&empty, "Grüne Zone.vgm", false, 60, 0, 1, 2.5},
         {"Grune Zone.vgm", "1:00, loops at 0:00; plays 1 loop + 2.5 s fade: 1:02"},
         "\x01 / 1:02  loop \x02 of 1",
         ""},
        {{&longTitle, "a.vgz", false, 30, 10, 3, 0},
         {std::string(92, 'x') + "...", "Author", "0:30, loops at 0:10; plays 3 loops: 1:10"},
         "\x01 / 1:10  loop \x02 of 3",
         ""},
    };
    for (const Case& c : cases) {
        const std::string name = c.song.tag ? c.song.tag->titleEnglish : c.song.fileName;
        EXPECT_EQ(displayHeader(c.song), c.header) << name;
        EXPECT_EQ(displayTimeLine(c.song), c.timeLine) << name;
        const std::vector<std::uint8_t> block = displayBlock(c.song);
        EXPECT_EQ(block.size() % 2, 0u) << name;
        if (!c.block.empty()) {
            EXPECT_EQ(std::string(block.begin(), block.end()), c.block) << name;
        }
    }
}

TEST(FullDisplay, ClockAndPlayingTime) {
    const std::vector<std::pair<double, std::string>> clocks = {
        {0, "0:00"},        {5.99, "0:05"},
        {59.9, "0:59"},     {103, "1:43"},
        {3599.99, "59:59"}, {3600, "60:00"},
        {3661.5, "61:01"},  {36000, "600:00"},
        {-1, "0:00"},       {std::numeric_limits<double>::quiet_NaN(), "0:00"},
    };
    for (const auto& [seconds, text] : clocks) EXPECT_EQ(clockText(seconds), text) << seconds;

    struct Case {
        DisplaySong song;
        double playing;
    };
    const std::vector<Case> cases = {
        {{nullptr, "", false, 52, -1, 2, 5}, 52},  // no loop: once through
        {{nullptr, "", false, 52, 14, 0, 5}, 52},  // until a key: the song's length
        {{nullptr, "", false, 52, 14, 2, 5}, 14 + 2 * 38 + 5},
        {{nullptr, "", false, 40, 0, 3, 2.5}, 3 * 40 + 2.5},
        {{nullptr, "", false, 40, 10, 1, 0}, 40},
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(playingSeconds(c.song), c.playing);
}

}  // namespace
