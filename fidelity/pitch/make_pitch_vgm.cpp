// Writes the test files of the pitch measurement (measure_pitch.sh):
//
//   make_pitch_vgm sweep OUT.vgm NOTES.tsv
//   make_pitch_vgm every OUT.vgm NOTES.tsv
//   make_pitch_vgm opm-table OUT.vgm NOTES.tsv
//
// sweep: a Mega Drive VGM log (VGM 1.50, YM2612 at 7670453 Hz, SN76489 at 3579545 Hz, header as
// in Mega Drive logs) that plays one sine note at a time on YM2612 channel 1 for every block 0-7
// and, in each block, NOTES_PER_BLOCK F-numbers spaced evenly in pitch across an octave
// (F = 644 * 2^(k/24), k = 0-23: C to B in quarter tones, rounded to whole F-numbers, so odd and
// even ones both occur). The voice is a bare sine: algorithm 7, operator 4 alone at TL 0, MUL 1,
// DT 0, AR 31, D1R 0, D2R 0, D1L 0, RR 15; operators 1-3 at TL 127; LFO off. Every note is keyed
// on for NOTE_TICKS ticks of 787 samples and then off for GAP_TICKS, so that every write falls
// on the tick grid the converters quantise to and the X68000 side keeps the source's timing
// exactly. Notes whose pitch lies outside what the YM2151 plays at 4 MHz (key code C#0 with
// fraction 0 to C8 with fraction 63) are left out of the log.
//
// every: the same voice and layout with every F-number 1-2047 of every block 0-7 whose pitch
// lies within that range, one tick on and one tick off each: not for listening, but for the
// key codes and fractions a converter writes for each.
//
// opm-table: a YM2151 VGM file (VGM 1.51, 4 MHz) that plays the same sine (CON 7, C2 alone at
// TL 0, MUL 1, DT1 0, DT2 0, AR 31, D1L 0, RR 15) at every key code of octave 7 with every key
// fraction 0-63, TABLE_NOTE_TICKS ticks on and TABLE_GAP_TICKS off each: the YM2151's phase steps.
//
// NOTES.tsv gets one line per note, tab-separated:
//   note  INDEX  BLOCK  FNUM  KEY_ON_SAMPLE  KEY_OFF_SAMPLE      (sweep, every)
//   left-out  BLOCK  FNUM                                        (sweep)
//   opm  INDEX  KEY_CODE  KEY_FRACTION  KEY_ON_SAMPLE  KEY_OFF_SAMPLE   (opm-table)
// with samples at 44100 Hz from the start of the file.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fidelity/test_vgm.hpp"

namespace {

using namespace test_vgm;

constexpr std::uint32_t SAMPLES_PER_TICK = 787;
constexpr std::uint32_t LEAD_IN_TICKS = 14;     // silence before the first note, 0.25 s
constexpr std::uint32_t NOTE_TICKS = 56;        // 1.0 s keyed on
constexpr std::uint32_t GAP_TICKS = 6;          // 0.11 s keyed off
constexpr std::uint32_t TABLE_NOTE_TICKS = 20;  // 0.36 s keyed on
constexpr std::uint32_t TABLE_GAP_TICKS = 2;    // 0.04 s keyed off
constexpr std::uint32_t TAIL_TICKS = 14;        // silence after the last note
constexpr int NOTES_PER_BLOCK = 24;
constexpr double LOWEST_FNUM = 644.0;  // C in every block (block 4: 261.7 Hz)

// The YM2151's range at 4 MHz. Its tables put A4 (key code 0x4A) at 440 Hz with a 3579545 Hz
// clock; the lowest key, C#0 with fraction 0, lies 56 semitones below A4, the highest, C8 with
// fraction 63, 39 + 63/64 semitones above.
constexpr double OPM_A4_HZ = 440.0 * 4000000.0 / 3579545.0;
const double OPM_LOWEST_HZ = OPM_A4_HZ * std::exp2(-56.0 / 12.0);
const double OPM_HIGHEST_HZ = OPM_A4_HZ * std::exp2((39.0 + 63.0 / 64.0) / 12.0);

void waitTicks(Song& song, std::uint32_t ticks) {
    waitSamples(song, ticks * SAMPLES_PER_TICK);
}

// The tone frequency of the YM2612's published formula: F * 2^block * clock / (144 * 2^21).
double formulaHz(int block, int fnum) {
    return double(fnum) * std::exp2(block) * FM_CLOCK_HZ / (144.0 * 2097152.0);
}

// The chips quiet, then the sine voice on channel 1.
void setUp(Song& song) {
    quietMegaDrive(song);
    sineVoice(song);
}

// One note of the YM2612 voice: the F-number and block, key on, hold, key off, rest.
void playNote(Song& song, std::string& notes, int& index, int block, int fnum,
              std::uint32_t onTicks, std::uint32_t offTicks) {
    ym2612(song, 0, 0xA4, block << 3 | fnum >> 8);
    ym2612(song, 0, 0xA0, fnum & 0xFF);
    ym2612(song, 0, 0x28, 0x80);  // operator 4 of channel 1 on
    const std::uint32_t on = song.samples;
    waitTicks(song, onTicks);
    ym2612(song, 0, 0x28, 0x00);
    char line[96];
    std::snprintf(line, sizeof line, "note\t%d\t%d\t%d\t%u\t%u\n", index++, block, fnum, on,
                  song.samples);
    notes += line;
    waitTicks(song, offTicks);
}

bool inRange(double hz) {
    return hz >= OPM_LOWEST_HZ && hz <= OPM_HIGHEST_HZ;
}

Bytes sweep(std::string& notes) {
    Song song;
    setUp(song);
    waitTicks(song, LEAD_IN_TICKS);
    int index = 0;
    for (int block = 0; block < 8; ++block) {
        for (int k = 0; k < NOTES_PER_BLOCK; ++k) {
            const int fnum = int(std::lround(LOWEST_FNUM * std::exp2(k / 24.0)));
            if (inRange(formulaHz(block, fnum))) {
                playNote(song, notes, index, block, fnum, NOTE_TICKS, GAP_TICKS);
            } else {
                char line[64];
                std::snprintf(line, sizeof line, "left-out\t%d\t%d\n", block, fnum);
                notes += line;
            }
        }
    }
    waitTicks(song, TAIL_TICKS);
    song.data.push_back(0x66);
    return megaDriveFile(song);
}

Bytes every(std::string& notes) {
    Song song;
    setUp(song);
    waitTicks(song, LEAD_IN_TICKS);
    int index = 0;
    for (int block = 0; block < 8; ++block)
        for (int fnum = 1; fnum < 2048; ++fnum)
            if (inRange(formulaHz(block, fnum))) playNote(song, notes, index, block, fnum, 1, 1);
    waitTicks(song, TAIL_TICKS);
    song.data.push_back(0x66);
    return megaDriveFile(song);
}

// The sine on YM2151 channel 0: connection 0xC7 (both outputs, FB 0, CON 7), C2 (registers
// +0x18) at TL 0, the others at TL 127; each at DT1 0, MUL 1, AR 31, D1R 0, DT2 0, D2R 0, D1L 0,
// RR 15; PMS 0, AMS 0; the LFO at rest and the noise off.
Bytes opmTable(std::string& notes) {
    Song song;
    ym2151(song, 0x01, 0x00);
    ym2151(song, 0x0F, 0x00);
    ym2151(song, 0x18, 0x00);
    ym2151(song, 0x19, 0x00);
    ym2151(song, 0x19, 0x80);
    ym2151(song, 0x1B, 0x00);
    for (int channel = 0; channel < 8; ++channel) ym2151(song, 0x08, channel);
    ym2151(song, 0x20, 0xC7);
    ym2151(song, 0x38, 0x00);
    for (int op = 0; op < 4; ++op) {
        const int slot = 8 * op;
        ym2151(song, 0x40 + slot, 0x01);                // DT1 0, MUL 1
        ym2151(song, 0x60 + slot, op == 3 ? 0 : 0x7F);  // TL
        ym2151(song, 0x80 + slot, 0x1F);                // KS 0, AR 31
        ym2151(song, 0xA0 + slot, 0x00);                // AMS-EN off, D1R 0
        ym2151(song, 0xC0 + slot, 0x00);                // DT2 0, D2R 0
        ym2151(song, 0xE0 + slot, 0x0F);                // D1L 0, RR 15
    }
    waitTicks(song, LEAD_IN_TICKS);
    int index = 0;
    for (int noteCode = 0; noteCode < 15; ++noteCode) {
        if (noteCode % 4 == 3) continue;  // codes 3, 7, 11 and 15 name no note
        for (int fraction = 0; fraction < 64; ++fraction) {
            const int keyCode = 0x70 | noteCode;
            ym2151(song, 0x28, keyCode);
            ym2151(song, 0x30, fraction << 2);
            ym2151(song, 0x08, 0x40);  // C2 of channel 0 on
            const std::uint32_t on = song.samples;
            waitTicks(song, TABLE_NOTE_TICKS);
            ym2151(song, 0x08, 0x00);
            char line[96];
            std::snprintf(line, sizeof line, "opm\t%d\t%d\t%d\t%u\t%u\n", index++, keyCode,
                          fraction, on, song.samples);
            notes += line;
            waitTicks(song, TABLE_GAP_TICKS);
        }
    }
    waitTicks(song, TAIL_TICKS);
    song.data.push_back(0x66);
    return opmFile(song);
}

bool writeFile(const char* path, const void* data, std::size_t size) {
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return false;
    const bool written = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_pitch_vgm sweep|every|opm-table OUT.vgm NOTES.tsv\n");
        return 2;
    }
    const std::string kind = argv[1];
    std::string notes;
    Bytes vgm;
    if (kind == "sweep") {
        vgm = sweep(notes);
    } else if (kind == "every") {
        vgm = every(notes);
    } else if (kind == "opm-table") {
        vgm = opmTable(notes);
    } else {
        std::fprintf(stderr, "usage: make_pitch_vgm sweep|every|opm-table OUT.vgm NOTES.tsv\n");
        return 2;
    }
    if (!writeFile(argv[2], vgm.data(), vgm.size())) {
        std::fprintf(stderr, "make_pitch_vgm: cannot write %s\n", argv[2]);
        return 1;
    }
    if (!writeFile(argv[3], notes.data(), notes.size())) {
        std::fprintf(stderr, "make_pitch_vgm: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
