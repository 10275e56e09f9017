#include "full/translate/true_pitch.hpp"

#include <cmath>

#include "full/translate/opm_phase_steps.hpp"
#include "translate/opm_image.hpp"

namespace {

constexpr int FRACTION_STEPS = 64;  // KF bits 7-2
constexpr int STEPS_PER_OCTAVE = 12 * FRACTION_STEPS;
constexpr int OCTAVES = 8;

constexpr int noteCodeOfSemitone(int semitone) {
    return semitone + semitone / 3;
}
constexpr int semitoneOfNoteCode(int noteCode) {
    return noteCode - noteCode / 4;
}

// The phase step that position `index` (0-767) of octave `octave` plays.
std::uint32_t playedStep(int octave, int index) {
    const std::uint32_t step = OPM_OCTAVE2_PHASE_STEPS[std::size_t(index)];
    return octave >= 2 ? step << (octave - 2) : step >> (2 - octave);
}

KeyCode keyCodeAt(int octave, int index) {
    const int semitone = index / FRACTION_STEPS;
    return {std::uint8_t(octave << 4 | noteCodeOfSemitone(semitone)),
            std::uint8_t((index % FRACTION_STEPS) << 2)};
}

double stepHz(std::uint32_t step) {
    return step * X68000_OPM_CLOCK / (64.0 * (1 << 20));
}

}  // namespace

double ym2612ToneHz(std::uint8_t fnumLow, std::uint8_t fnumHigh) {
    // The YM2612 advances its 20-bit phase by (F << B) >> 1 every 144 clocks (at MUL 1), so an
    // odd F-number in block 0 plays one lower.
    const int fnum = fnumLow + ((fnumHigh & 0x07) << 8);
    const int block = (fnumHigh >> 3) & 0x07;
    return double((fnum << block) >> 1) * FM_CLOCK / (144.0 * (1 << 20));
}

double sn76489ToneHz(std::uint16_t period) {
    return PSG_CLOCK / (32.0 * period);
}

KeyCode opmKeyCodeNearest(double hz) {
    const double wanted = hz / stepHz(1);
    if (!(wanted > playedStep(0, 0))) return keyCodeAt(0, 0);  // NaN too
    if (wanted >= playedStep(OCTAVES - 1, STEPS_PER_OCTAVE - 1))
        return keyCodeAt(OCTAVES - 1, STEPS_PER_OCTAVE - 1);
    // The steps rise through each octave and from one octave to the next. The octave is the
    // one whose C# lies at or below the wanted step; the nearest is the step just below the
    // wanted one or the first at or above it, which may be the next octave's C#.
    int octave = 0;
    while (octave + 1 < OCTAVES && playedStep(octave + 1, 0) <= wanted) ++octave;
    int low = 0, high = STEPS_PER_OCTAVE;
    while (low < high) {
        const int middle = (low + high) / 2;
        if (playedStep(octave, middle) < wanted)
            low = middle + 1;
        else
            high = middle;
    }
    if (low == 0) return keyCodeAt(octave, 0);  // the octave's C# itself
    const int aboveOctave = low < STEPS_PER_OCTAVE ? octave : octave + 1;
    const int aboveIndex = low < STEPS_PER_OCTAVE ? low : 0;
    // Nearer in pitch: the smaller ratio.
    return wanted / playedStep(octave, low - 1) <= playedStep(aboveOctave, aboveIndex) / wanted
               ? keyCodeAt(octave, low - 1)
               : keyCodeAt(aboveOctave, aboveIndex);
}

double opmPitchHz(KeyCode code) {
    const int octave = code.keyCode >> 4;
    const int semitone = semitoneOfNoteCode(code.keyCode & 0x0F);
    return stepHz(playedStep(octave, semitone * FRACTION_STEPS + (code.keyFraction >> 2)));
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
