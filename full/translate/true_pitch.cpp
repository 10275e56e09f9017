#include "full/translate/true_pitch.hpp"

#include <cmath>

#include "translate/opm_image.hpp"

namespace {

// The OPM's tables put A4 (key code 0x4A: octave 4, note code 10) at 440 Hz with a
// 3.579545 MHz clock. Semitones are counted from C#0, the lowest key: note codes 0-2, 4-6,
// 8-10 and 12-14 are C#, D, D#, E, F, F#, G, G#, A, A#, B and the C above.
constexpr double TABLE_CLOCK = 3579545.0;
constexpr double A4_HZ = 440.0;
constexpr int A4_SEMITONE = 4 * 12 + 8;
constexpr int TOP_SEMITONE = 7 * 12 + 11;  // C8
constexpr int FRACTION_STEPS = 64;         // KF bits 7-2

constexpr int semitoneOfNoteCode(int noteCode) {
    return noteCode - noteCode / 4;
}
constexpr int noteCodeOfSemitone(int semitone) {
    return semitone + semitone / 3;
}

}  // namespace

double ym2612ToneHz(std::uint8_t fnumLow, std::uint8_t fnumHigh) {
    const int fnum = fnumLow + ((fnumHigh & 0x07) << 8);
    const int block = (fnumHigh >> 3) & 0x07;
    return double(fnum << block) * FM_CLOCK / (144.0 * (1 << 21));
}

double sn76489ToneHz(std::uint16_t period) {
    return PSG_CLOCK / (32.0 * period);
}

KeyCode opmKeyCodeNearest(double hz) {
    const double a4 = A4_HZ * X68000_OPM_CLOCK / TABLE_CLOCK;
    // In 1/64 semitones above C#0, rounded to the nearest step.
    const double steps = std::round((A4_SEMITONE + 12.0 * std::log2(hz / a4)) * FRACTION_STEPS);
    const double top = (TOP_SEMITONE + 1) * FRACTION_STEPS - 1;
    const int clamped = int(std::isnan(steps) || steps < 0 ? 0 : steps > top ? top : steps);
    const int semitone = clamped / FRACTION_STEPS;
    const int octave = semitone / 12;
    return {std::uint8_t(octave << 4 | noteCodeOfSemitone(semitone % 12)),
            std::uint8_t((clamped % FRACTION_STEPS) << 2)};
}

double opmPitchHz(KeyCode code) {
    const int semitone = 12 * (code.keyCode >> 4) + semitoneOfNoteCode(code.keyCode & 0x0F);
    const double semitones = semitone + (code.keyFraction >> 2) / double(FRACTION_STEPS);
    return A4_HZ * X68000_OPM_CLOCK / TABLE_CLOCK * std::exp2((semitones - A4_SEMITONE) / 12.0);
}

namespace {

constexpr std::uint16_t KNOWN = 0x8000;  // marks a remembered entry; KC and KF fill 15 bits

std::uint16_t entryOf(KeyCode code) {
    return std::uint16_t(KNOWN | code.keyCode << 6 | code.keyFraction >> 2);
}
KeyCode codeOf(std::uint16_t entry) {
    return {std::uint8_t((entry >> 6) & 0x7F), std::uint8_t((entry & 0x3F) << 2)};
}

std::uint16_t ym2612Entries[1 << 14];  // by block and F-number: fnumHigh bits 5-0, fnumLow
std::uint16_t sn76489Entries[1024];

}  // namespace

KeyCode ym2612KeyCode(std::uint8_t fnumLow, std::uint8_t fnumHigh) {
    std::uint16_t& entry = ym2612Entries[std::size_t((fnumHigh & 0x3F) << 8 | fnumLow)];
    if (!(entry & KNOWN)) entry = entryOf(opmKeyCodeNearest(ym2612ToneHz(fnumLow, fnumHigh)));
    return codeOf(entry);
}

KeyCode sn76489KeyCode(std::uint16_t period) {
    std::uint16_t& entry = sn76489Entries[period & 0x3FF];
    if (!(entry & KNOWN))
        entry = entryOf(opmKeyCodeNearest(sn76489ToneHz(period == 0 ? 1024 : period)));
    return codeOf(entry);
}
