// What a program of opmcast-full shows on the X68000's text screen: a header with the song's
// title, game, system, author and length, then one line with the time played and the pass
// through the loop, which the player fills in and prints again about once a second.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/gd3_tag.hpp"

// Places in the time line's pattern that the player fills in as it plays.
inline constexpr char DISPLAY_ELAPSED = 0x01;  // the time played so far, m:ss
inline constexpr char DISPLAY_PASS = 0x02;     // the pass through the loop playing, from 1
// The text screen is 96 characters wide; a character in the last column moves the cursor to
// the next line, so a line holds at most 95.
inline constexpr int DISPLAY_COLUMNS = 95;

struct DisplaySong {
    const Gd3Tag* tag = nullptr;  // null: the log has none
    std::string fileName;         // the log's file name (UTF-8), shown when it has no tag
    bool japanese = false;        // prefer the Japanese texts, in Shift-JIS
    double seconds = 0;           // the song once through
    double loopSeconds = -1;      // where its loop starts; -1: it has none
    int loops = 0;                // passes through the loop before the fade; 0: until a key
    double fadeSeconds = 0;
};

// Bytes of the UTF-8 character starting at `at`; 0 when the bytes there are not one (a stray
// continuation byte, an overlong form, a surrogate, beyond U+10FFFF or cut short).
std::size_t utf8Length(const std::string& text, std::size_t at);
// `utf8` in Shift-JIS (CP932), each character it lacks and each byte that is not UTF-8 as "?".
std::string shiftJisText(const std::string& utf8);
// `utf8` in ASCII, letters transliterated where they can be (é as e), else "?"; each byte
// that is not UTF-8 as "?".
std::string asciiText(const std::string& utf8);

// A time as the screen shows it: m:ss (minutes beyond 59 as they come, as the player counts
// them), rounded down to the second.
std::string clockText(double seconds);
// How long the program plays: the song with its loop played `loops` times and the fade;
// the song's length when it has no loop or plays until a key.
double playingSeconds(const DisplaySong& song);
// `utf8` as the X68000's screen shows it: ASCII (letters transliterated where they can be,
// else "?"), or Shift-JIS with `japanese` (characters it lacks as "?"); control characters
// as "?"; cut to `columns` screen columns (a Shift-JIS character of two bytes takes two,
// and is never split).
std::string screenText(const std::string& utf8, bool japanese, int columns = DISPLAY_COLUMNS);
// The header's lines as the screen shows them, without line ends; the first begins with
// `prefix` ("3/8  " for an album's third track of eight).
std::vector<std::string> displayHeader(const DisplaySong& song, const std::string& prefix = "");
// The time line's pattern, with DISPLAY_ELAPSED and DISPLAY_PASS where the player fills in.
std::string displayTimeLine(const DisplaySong& song);
// The block the program carries for the player: the header's lines, each ended by CR LF, a
// NUL, the time line's pattern, a NUL, and a NUL more where needed for an even length.
std::vector<std::uint8_t> displayBlock(const DisplaySong& song, const std::string& prefix = "");
