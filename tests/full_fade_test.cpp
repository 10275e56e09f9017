// The fade at the end of a song played a set number of times: its curve, and the faded copy of
// the loop replayed here, pair by pair, into an OPM register image and a step count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "full/stream/fade_copy.hpp"
#include "full/stream/full_stream.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Image = std::array<std::uint16_t, 256>;

// Operators heard (bit n: TL at 0x60 + 8n + channel, M1 M2 C1 C2) for each connection, from
// the YM2151's connection diagrams; an unknown connection may sound on any.
constexpr std::uint8_t HEARD[8] = {0x8, 0x8, 0x8, 0x8, 0xC, 0xE, 0xE, 0xF};
std::uint8_t heard(const Image& image, int channel) {
    const std::uint16_t con = image[std::size_t(0x20 + channel)];
    return con == NEVER_SENT ? 0xF : HEARD[con & 7];
}

struct Event {
    std::int64_t step;
    std::uint8_t reg, value;
};
struct Replay {
    Image image;
    std::int64_t steps = 0;
    std::vector<Event> writes;  // every register but the TLs
    std::vector<Event> drums;   // 00 F0-F7 (value), in order
    std::vector<int> samples;   // the numbers the starts play
    int repeatedLevels = 0;     // TL writes of the value the slot holds
    bool wellFormed = true;     // pairs the player knows, waits of at most 240, 00 F8 last
};

// Plays the copy as the player would; `settled` sees the chip before every wait and at the end.
Replay replay(const Bytes& copy, const Image& start,
              const std::function<void(const Replay&)>& settled = {}) {
    Replay r;
    r.image = start;
    bool ended = false;
    for (std::size_t at = 0; at < copy.size() && r.wellFormed; at += 2) {
        if (ended || at + 2 > copy.size()) r.wellFormed = false;
        if (!r.wellFormed) break;
        const std::uint8_t reg = copy[at], value = copy[at + 1];
        if (reg != 0) {
            r.repeatedLevels += reg >= 0x60 && reg <= 0x7F && r.image[reg] == value;
            r.image[reg] = value;
            if (reg < 0x60 || reg > 0x7F) r.writes.push_back({r.steps, reg, value});
        } else if (value <= 0xEF) {
            if (settled) settled(r);
            r.steps += value + 1;
        } else if (value == FULL_FADE_END) {
            if (settled) settled(r);
            ended = true;
        } else if (value <= 0xF7) {
            r.drums.push_back({r.steps, 0, value});
            if (value >= 0xF1 && value <= 0xF3 && at + 4 <= copy.size())
                r.samples.push_back(copy[at + 2] << 8 | copy[at + 3]);
            if (value >= 0xF1 && value <= 0xF3) at += 2;
            r.wellFormed = value < 0xF1 || value > 0xF3 || at + 2 <= copy.size();
        } else {
            r.wellFormed = false;
        }
    }
    r.wellFormed = r.wellFormed && ended;
    return r;
}

Image voices(int channels, std::uint8_t connection, std::array<std::uint8_t, 4> levels) {
    Image image = NOTHING_SENT;
    for (int c = 0; c < channels; ++c) {
        image[std::size_t(0x20 + c)] = std::uint8_t(0xC0 | connection);
        for (int op = 0; op < 4; ++op) image[std::size_t(0x60 + 8 * op + c)] = levels[op];
    }
    return image;
}

TEST(FullFade, ScheduleFallsAsTheSquareOfTheAmplitude) {
    for (const std::int64_t fade : {127, 128, 300, 1401, 20000}) {
        SCOPED_TRACE(fade);
        EXPECT_EQ(fadeUnitsAt(0, fade), 0);
        EXPECT_EQ(fadeUnitsAt(fade - 1, fade), FADE_UNITS - 1);
        EXPECT_EQ(fadeUnitsAt(fade, fade), FADE_UNITS);
        EXPECT_EQ(fadeUnitsAt(fade * 3, fade), FADE_UNITS);
        // Half way the amplitude is a quarter: 12 dB, 16 units.
        if (fade >= 300) {
            EXPECT_NEAR(fadeUnitsAt(fade / 2, fade), 16, 1);
        }
        for (std::int64_t s = 1; s <= fade; ++s) {
            const int rise = fadeUnitsAt(s, fade) - fadeUnitsAt(s - 1, fade);
            ASSERT_TRUE(rise == 0 || rise == 1) << s;
            // Until 40 dB down the curve holds to within a unit.
            const double curve = -40 * std::log10(1 - double(s) / double(fade)) / 0.75;
            if (fade >= 1401 && s <= fade * 9 / 10) {
                ASSERT_NEAR(fadeUnitsAt(s, fade), curve, 1);
            }
        }
    }
    // The shortest fade falls a unit a step; a shorter one is stretched to that.
    for (int s = 0; s <= FADE_UNITS; ++s) {
        ASSERT_EQ(fadeUnitsAt(s, FADE_UNITS), s);
        ASSERT_EQ(fadeUnitsAt(s, 40), s);
    }
}

// The noise (channel 7's C2 while register 0x0F bit 7 is set) is linear in its attenuation,
// (1023 - 8 TL) / 1023: the TL that plays `units` of 0.75 dB below `tl` is the first at or
// below that level.
int noiseFadeLevel(int tl, int units) {
    if (units >= FADE_UNITS) return FADE_UNITS;
    const double due = (1023 - 8 * tl) * std::pow(10.0, -0.75 * units / 20);
    while (tl < FADE_UNITS && 1023 - 8 * tl > due + 1e-6) ++tl;
    return tl;
}

constexpr std::uint32_t BANK_SAMPLES = 300;  // the copies the fade's drums play follow these

struct FadeCase {
    std::string name;
    Bytes head;
    bool whole;
    Image image;
    std::int64_t fadeSteps;
    int writes;             // register writes the copy plays: the head's, again and again
    int drums;              // drum starts and side changes before the drums stop
    int carriedSides = -1;  // the sides of a hit still playing as the fade begins; -1 none
    bool bank = true;       // copies can be made (fadedLoopCopy is given FadeDrums)
};

TEST(FullFade, CopyLowersCarriersOnlyAndKeepsTheRest) {
    Bytes keyOnEvery100;  // eight channels, a key-on each per 100 steps, 400 steps
    for (int beat = 0; beat < 4; ++beat) {
        for (std::uint8_t c = 0; c < 8; ++c) keyOnEvery100.insert(keyOnEvery100.end(), {8, c});
        keyOnEvery100.insert(keyOnEvery100.end(), {0, 99});
    }
    Image mixed = voices(1, 0, {0x10, 0x20, 0x30, 0x08});  // channel 0 plays C2 only
    for (int op = 0; op < 4; ++op) mixed[std::size_t(0x61 + 8 * op)] = 0x84;  // connection unknown
    const std::vector<FadeCase> cases = {
        {"loop shorter than the fade wraps", keyOnEvery100, true,
         voices(8, 4, {0x20, 0x18, 0x05, 0x00}), 1401, 15 * 8, 0},
        {"connection changes re-target the carriers",
         {8, 0x78, 0, 0xEF, 0, 59, 0x20, 0xC7, 0, 149, 0x20, 0xC4, 0, 0xEF},
         false,
         mixed,
         600,
         3,
         0},
        {"levels written by the loop are faded from their new value",
         {0x78, 0x10, 0x68, 0x33, 8, 0x78, 0, 199},
         true,
         voices(2, 0, {1, 2, 3, 4}),
         127,
         1,
         0},
        {"whole loop without waits plays once",
         {8, 0x78, 8, 0x79},
         true,
         voices(2, 7, {0, 0, 0, 0}),
         300,
         2,
         0},
        {"part of a loop plays once",
         {8, 0x78, 0, 99},
         false,
         voices(8, 5, {9, 9, 9, 9}),
         400,
         1,
         0},
        {"drums play copies until 48 dB down",
         {0, 0xF3, 0, 5, 0, 49, 0, 0xF5, 0x0F, 0x80, 0, 49},
         true,
         voices(1, 4, {}),
         1401,
         14,
         27},
        {"a hit playing at the loop's end goes on as a copy; a stop cuts it",
         {0, 99, 0, 0xF0, 0, 99},
         true,
         voices(1, 4, {}),
         400,
         0,
         1,
         2},
        {"a muted hit goes on muted",
         {0, 99, 0, 0xF6, 0, 99},
         true,
         voices(1, 4, {}),
         400,
         0,
         4,
         0},
        {"without copies no drum plays",
         {0, 0xF3, 0, 5, 0, 49, 0, 0xF5, 0, 49},
         true,
         voices(1, 4, {}),
         400,
         0,
         0,
         -1,
         false},
        {"the noise fades on its linear law, also where the loop turns it on",
         {0x0F, 0x00, 0, 99, 0x0F, 0x85, 0, 99},
         true,
         [] {
             Image image = voices(8, 7, {3, 40, 90, 3});
             image[0x0F] = 0x80;
             return image;
         }(),
         1401,
         15,
         0},
        {"loop position ignored, end marker ends the loop",
         {0, 0xFE, 8, 0x78, 0, 9, 0, 0xFF, 8, 0x79},
         true,
         voices(1, 4, {}),
         200,
         20,
         0},
        {"sample start cut short ends the loop",
         {8, 0x78, 0, 9, 0, 0xF1, 0},
         true,
         voices(1, 4, {}),
         200,
         20,
         0},
        {"00 F8 ends the loop",
         {8, 0x78, 0, 9, 0, 0xF8, 0, 0xF0},
         true,
         voices(1, 4, {}),
         200,
         20,
         0},
    };
    for (const FadeCase& test : cases) {
        SCOPED_TRACE(test.name);
        // The level the song wants of each slot: the image, then the loop's own TL writes (all
        // before its first wait here).
        Image wanted = test.image;
        for (std::size_t at = 0; at + 1 < test.head.size() && test.head[at] != 0; at += 2)
            if (test.head[at] >= 0x60 && test.head[at] <= 0x7F)
                wanted[test.head[at]] = test.head[at + 1];
        int checks = 0;
        FadeDrums drums;
        drums.firstNumber = BANK_SAMPLES;
        if (test.carriedSides >= 0) {
            drums.carried = FadeDrumHit{7, 0, 0, 1234};
            drums.carriedSides = std::uint8_t(test.carriedSides);
        }
        const Replay r = replay(
            fadedLoopCopy(test.head, test.whole, test.image, test.fadeSteps,
                          test.bank ? &drums : nullptr),
            test.image, [&](const Replay& now) {
                const int units = fadeUnitsAt(now.steps, test.fadeSteps);
                for (int c = 0; c < 8; ++c)
                    for (int op = 0; op < 4; ++op) {
                        const auto slot = std::size_t(0x60 + 8 * op + c);
                        const bool carrier = heard(now.image, c) & (1 << op);
                        const bool noise = carrier && slot == 0x7F &&
                                           now.image[0x0F] != NEVER_SENT &&
                                           (now.image[0x0F] & 0x80);
                        const int level =
                            wanted[slot] == NEVER_SENT ? NEVER_SENT
                            : noise                    ? noiseFadeLevel(wanted[slot] & 0x7F, units)
                                    : std::min(127, (wanted[slot] & 0x7F) + (carrier ? units : 0));
                        const int played =
                            now.image[slot] == NEVER_SENT ? NEVER_SENT : now.image[slot] & 0x7F;
                        ASSERT_EQ(played, level) << now.steps << " " << slot;
                    }
                ++checks;
            });
        ASSERT_TRUE(r.wellFormed);
        EXPECT_EQ(r.steps, test.fadeSteps);
        EXPECT_GT(checks, 1);
        EXPECT_EQ(r.repeatedLevels, 0);
        // The other writes are the loop's up to its end, in its order, as long as the fade lasts.
        Bytes loopWrites;
        for (std::size_t at = 0; at + 1 < test.head.size(); at += 2) {
            const std::uint8_t reg = test.head[at], value = test.head[at + 1];
            if (reg == 0 && value >= 0xF8 && value != FULL_LOOP_MARKER) break;
            if (reg == 0 && value >= 0xF1 && value <= 0xF3) at += 2;  // the sample's number
            if (reg != 0 && (reg < 0x60 || reg > 0x7F))
                loopWrites.insert(loopWrites.end(), {reg, value});
        }
        ASSERT_EQ(int(r.writes.size()), test.writes);
        for (std::size_t i = 0; i < r.writes.size(); ++i) {
            const std::size_t pair = i * 2 % loopWrites.size();
            ASSERT_EQ(r.writes[i].reg, loopWrites[pair]) << i;
            ASSERT_EQ(r.writes[i].value, loopWrites[pair + 1]) << i;
        }
        // Drums start and change sides until the fade is 48 dB down; there one stop, and
        // nothing after it. Without copies, one stop at the start.
        const auto playing = std::count_if(r.drums.begin(), r.drums.end(), [&](const Event& e) {
            return e.value != FULL_ADPCM_STOP &&
                   fadeUnitsAt(e.step, test.fadeSteps) < FADE_DRUMS_OFF;
        });
        EXPECT_EQ(playing, test.drums);
        const bool anyDrums = r.drums.size() > 0;
        if (anyDrums && test.bank) {
            EXPECT_EQ(r.drums.back().value, FULL_ADPCM_STOP);
            EXPECT_EQ(fadeUnitsAt(r.drums.back().step, test.fadeSteps), FADE_DRUMS_OFF);
            EXPECT_EQ(fadeUnitsAt(r.drums.back().step - 1, test.fadeSteps), FADE_DRUMS_OFF - 1);
        } else if (anyDrums) {
            EXPECT_EQ(r.drums.front().value, FULL_ADPCM_STOP);
            EXPECT_EQ(r.drums.front().step, 0);
            EXPECT_TRUE(r.samples.empty());
        }
        // Each start plays the next copy, numbered after the bank's samples, and the fade
        // says where it starts and where the next start or stop cuts it (or the fade ends).
        ASSERT_EQ(r.samples.size(), drums.hits.size());
        std::size_t start = 0;
        for (std::size_t i = 0; i < r.drums.size(); ++i) {
            if (r.drums[i].value < 0xF1 || r.drums[i].value > 0xF3) continue;
            const FadeDrumHit& hit = drums.hits[start];
            EXPECT_EQ(r.samples[start], int(BANK_SAMPLES + start));
            EXPECT_EQ(hit.start, r.drums[i].step);
            std::int64_t end = test.fadeSteps;
            for (std::size_t j = i + 1; j < r.drums.size() && end == test.fadeSteps; ++j)
                if (r.drums[j].value <= 0xF3) end = r.drums[j].step;
            EXPECT_EQ(hit.end, end);
            const bool carried = start == 0 && test.carriedSides >= 0;
            EXPECT_EQ(hit.source, carried ? 7u : 5u);
            EXPECT_EQ(hit.skip, carried ? 1234 : 0);
            if (carried) {
                EXPECT_EQ(hit.start, 0);
                EXPECT_EQ(r.drums[i].value,
                          test.carriedSides == 0 ? 0xF3 : 0xF0 | test.carriedSides);
                if (test.carriedSides == 0) {
                    EXPECT_EQ(r.drums[i + 1].value, FULL_ADPCM_SIDES);
                }
            }
            ++start;
        }
    }
}

TEST(FullFade, AnyBytesGiveAWellFormedCopy) {
    EXPECT_EQ(fadedLoopCopy(Bytes{8, 0x78, 0, 9}, true, NOTHING_SENT, 0),
              (Bytes{0, FULL_FADE_END}));
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        Bytes head(random() % 200);
        for (std::uint8_t& byte : head)  // many zeros, so that commands of every kind appear
            byte = random() % 3 == 0 ? 0 : std::uint8_t(random());
        Image image = NOTHING_SENT;
        for (std::uint16_t& reg : image)
            if (random() % 2) reg = std::uint8_t(random());
        const std::int64_t fade = std::array<std::int64_t, 4>{1, 127, 300, 2000}[round % 4];
        // Every other round with copies for the drums, every fourth with a hit carried on.
        FadeDrums drums;
        drums.firstNumber = std::uint32_t(random() % 0x10002);
        if (round % 4 == 1) drums.carried = FadeDrumHit{1, 0, 0, 0};
        const Replay r = replay(
            fadedLoopCopy(head, round % 3 != 0, image, fade, round % 2 ? &drums : nullptr), image);
        EXPECT_EQ(r.samples.size(), drums.hits.size()) << round;
        for (const int number : r.samples) EXPECT_LE(number, 0xFFFF) << round;
        ASSERT_TRUE(r.wellFormed) << round;
        EXPECT_EQ(r.steps, std::max<std::int64_t>(fade, FADE_UNITS)) << round;
        for (int c = 0; c < 8; ++c)
            for (int op = 0; op < 4; ++op) {
                const auto slot = std::size_t(0x60 + 8 * op + c);
                if ((heard(r.image, c) & (1 << op)) && r.image[slot] != NEVER_SENT) {
                    ASSERT_EQ(r.image[slot] & 0x7F, 127) << round << " " << slot;
                }
            }
    }
}

}  // namespace
