// Measures the frequency of the notes of make_pitch_vgm's files in MAME's renders, models the two
// chips' pitch from what the renders show, and prints the errors in cents as Markdown.
//
//   measure_pitch self-test
//   measure_pitch table NOTES.tsv OPM.vgm OPM.wav
//   measure_pitch sweep NOTES.tsv TABLE.tsv SOURCE.vgm SOURCE.wav [LABEL PROGRAM.vgm
//   PROGRAM.wav]... measure_pitch every NOTES.tsv TABLE.tsv [LABEL PROGRAM.vgm]...
//
// table: the render of make_pitch_vgm's opm-table file, every key code of octave 7 with every key
// fraction; prints the YM2151's phase step for each, in the units of octave 2 (octave 7 plays 32
// times the step), as lines "phase-step NOTE_CODE FRACTION STEP RESIDUAL": the measured step
// rounded to a whole number and how far the measurement lay from it.
//
// sweep: SOURCE.vgm is the sweep itself; each PROGRAM.vgm a converted program's stream written as
// a YM2151 VGM file (opmdump --to-vgm), each WAV the render of the VGM file before it. Prints the
// errors of every note, measured, and how far the measurements lie from the two chips' models.
//
// every: the key codes and fractions each converter writes for every F-number and block of
// make_pitch_vgm's every file (not rendered): their pitch on the YM2151's model against the
// YM2612's, and what the nearest key code and fraction would give, on the equal-tempered scale
// and on the YM2151's own phase steps.
//
// The models, both read off the renders: the YM2612 advances a 20-bit phase by (F << block) >> 1
// (at MUL 1) once every 144 clocks, so that block 0 drops the F-number's lowest bit; the YM2151
// advances a 20-bit phase once every 64 clocks by a whole phase step that its key code's note
// and fraction give for octave 2 (TABLE.tsv), shifted left by octave - 2, or right by 2 - octave
// with the bits shifted out lost.
//
// Where a note lies in a render comes from the VGM file: the note's key-on and key-off (YM2612
// register 0x28, YM2151 register 0x08 for channels 0-5), in VGM samples at 44100 Hz, shifted by
// the render's start offset, which is found once per render at the first note's onset. The
// frequency is measured over the note from 0.15 s after its key-on to 0.05 s before its key-off,
// where the envelope is flat (AR 31, D1L 0, D1R 0, D2R 0). Two measurements of each note, which
// must agree:
//   - the peak of the discrete-time Fourier transform of the Hann-windowed note (mean removed),
//     found on a grid of 0.2 bins within 1 % (at least 3 bins) of the second measurement and then
//     by golden-section search to 1e-9 of the frequency. This is the figure reported.
//   - rising zero crossings (armed by a dip below half the RMS, so that ripple near zero counts
//     once), each placed by linear interpolation: the number of periods between the first and
//     the last crossing over the time between them.
// self-test measures synthetic notes of known frequency (a sine with a DC offset and the second
// and third harmonics, rounded to whole 16-bit steps, at 48 kHz) with both and prints the largest
// error; it exits with status 1 if that is 0.01 cents or more.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr double VGM_RATE = 44100.0;
constexpr double FM_CLOCK_HZ = 7670453.0;
constexpr double OPM_A4_HZ = 440.0 * 4000000.0 / 3579545.0;  // key code 0x4A at 4 MHz
constexpr int OPM_A4_SEMITONE = 4 * 12 + 8;                  // counted from C#0
constexpr double SKIP_AFTER_ON = 0.15;
constexpr double SKIP_BEFORE_OFF = 0.05;
constexpr double SELF_TEST_LIMIT_CENTS = 0.01;

double cents(double hz, double reference) {
    return 1200.0 * std::log2(hz / reference);
}

// ---- inputs ----

bool readFile(const std::string& path, Bytes& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::uint32_t le(const Bytes& b, std::size_t at, int size) {
    std::uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = v << 8 | b[at + std::size_t(i)];
    return v;
}

// A note of a test file: a YM2612 F-number and block, or (opm-table) a YM2151 key code and
// fraction.
struct Note {
    int index = 0;
    int block = 0;
    int fnum = 0;
    int keyCode = 0;
    int keyFraction = 0;
};

struct Notes {
    std::vector<Note> played;
    std::vector<Note> leftOut;
};

bool readNotes(const std::string& path, Notes& notes) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind;
        Note note;
        fields >> kind;
        if (kind == "note") {
            long on = 0, off = 0;
            if (!(fields >> note.index >> note.block >> note.fnum >> on >> off)) return false;
            notes.played.push_back(note);
        } else if (kind == "opm") {
            long on = 0, off = 0;
            if (!(fields >> note.index >> note.keyCode >> note.keyFraction >> on >> off))
                return false;
            notes.played.push_back(note);
        } else if (kind == "left-out") {
            if (!(fields >> note.block >> note.fnum)) return false;
            notes.leftOut.push_back(note);
        } else {
            return false;
        }
    }
    return !notes.played.empty();
}

// A key-on of one note as a VGM file plays it: when it starts and ends (VGM samples) and, for a
// YM2151 file, the key code and fraction it plays.
struct KeyedNote {
    double on = 0;
    double off = -1;
    int channel = 0;
    int keyCode = 0;
    int keyFraction = 0;
};

// The notes a VGM file keys on: YM2612 channel 1 (register 0x28), or YM2151 channels 0-5
// (register 0x08). Knows the commands that the sweep and opmdump's export use.
bool readKeyedNotes(const std::string& path, std::vector<KeyedNote>& notes, std::string& problem) {
    Bytes vgm;
    if (!readFile(path, vgm) || vgm.size() < 0x40 || std::memcmp(vgm.data(), "Vgm ", 4) != 0) {
        problem = "not a readable VGM file";
        return false;
    }
    const std::uint32_t version = le(vgm, 0x08, 4);
    std::size_t at = version >= 0x150 && le(vgm, 0x34, 4) != 0 ? 0x34 + le(vgm, 0x34, 4) : 0x40;
    std::uint64_t samples = 0;
    std::uint8_t opm[256] = {};
    std::vector<KeyedNote> current(8);  // the note keyed on, per channel, while it sounds
    std::vector<bool> sounding(8, false);
    auto keyOff = [&](int channel) {
        if (!sounding[std::size_t(channel)]) return;
        sounding[std::size_t(channel)] = false;
        KeyedNote n = current[std::size_t(channel)];
        n.off = double(samples);
        notes.push_back(n);
    };
    auto keyOn = [&](int channel, int keyCode, int keyFraction) {
        keyOff(channel);
        sounding[std::size_t(channel)] = true;
        current[std::size_t(channel)] = {double(samples), -1, channel, keyCode, keyFraction};
    };
    while (at < vgm.size()) {
        const std::uint8_t command = vgm[at];
        auto need = [&](std::size_t n) { return at + n <= vgm.size(); };
        if (command == 0x66) break;
        if (command == 0x52 || command == 0x53 || command == 0x54) {
            if (!need(3)) break;
            const int reg = vgm[at + 1], value = vgm[at + 2];
            if (command == 0x52 && reg == 0x28 && (value & 0x07) == 0) {
                if ((value & 0xF0) != 0)
                    keyOn(0, 0, 0);
                else
                    keyOff(0);
            } else if (command == 0x54) {
                opm[reg] = std::uint8_t(value);
                const int channel = value & 0x07;
                if (reg == 0x08 && channel <= 5) {
                    if ((value & 0x78) != 0)
                        keyOn(channel, opm[0x28 + channel], opm[0x30 + channel] >> 2);
                    else
                        keyOff(channel);
                }
            }
            at += 3;
        } else if (command == 0x50 || command == 0x4F) {
            at += 2;
        } else if (command == 0x61) {
            if (!need(3)) break;
            samples += le(vgm, at + 1, 2);
            at += 3;
        } else if (command == 0x62 || command == 0x63) {
            samples += command == 0x62 ? 735 : 882;
            at += 1;
        } else if (command >= 0x70 && command <= 0x7F) {
            samples += std::uint64_t(command & 0x0F) + 1;
            at += 1;
        } else {
            char text[64];
            std::snprintf(text, sizeof text, "command 0x%02X at 0x%zX not expected", command, at);
            problem = text;
            return false;
        }
    }
    for (int channel = 0; channel < 8; ++channel) keyOff(channel);
    std::sort(notes.begin(), notes.end(),
              [](const KeyedNote& a, const KeyedNote& b) { return a.on < b.on; });
    return true;
}

// A 16-bit PCM WAV file, its channels averaged.
bool readWav(const std::string& path, std::vector<double>& samples, double& rate) {
    Bytes wav;
    if (!readFile(path, wav) || wav.size() < 12 || std::memcmp(wav.data(), "RIFF", 4) != 0 ||
        std::memcmp(wav.data() + 8, "WAVE", 4) != 0)
        return false;
    int channels = 0, bits = 0;
    for (std::size_t at = 12; at + 8 <= wav.size();) {
        const std::size_t size = le(wav, at + 4, 4);
        const std::size_t body = at + 8;
        if (std::memcmp(wav.data() + at, "fmt ", 4) == 0 && size >= 16 && body + 16 <= wav.size()) {
            if (le(wav, body, 2) != 1) return false;
            channels = int(le(wav, body + 2, 2));
            rate = le(wav, body + 4, 4);
            bits = int(le(wav, body + 14, 2));
        } else if (std::memcmp(wav.data() + at, "data", 4) == 0) {
            if (channels <= 0 || bits != 16) return false;
            const std::size_t frames =
                std::min(size, wav.size() - body) / (2 * std::size_t(channels));
            samples.resize(frames);
            for (std::size_t i = 0; i < frames; ++i) {
                double sum = 0;
                for (int c = 0; c < channels; ++c)
                    sum += std::int16_t(
                        le(wav, body + 2 * (i * std::size_t(channels) + std::size_t(c)), 2));
                samples[i] = sum / channels;
            }
            return true;
        }
        at = body + size + (size & 1);
    }
    return false;
}

// ---- the two measurements ----

struct Measured {
    bool ok = false;
    double hz = 0;         // Fourier peak
    double crossHz = 0;    // zero crossings
    double levelDrop = 0;  // RMS of the second half against the first, dB
};

double zeroCrossingHz(const std::vector<double>& x, double rate) {
    double sumSquares = 0;
    for (double v : x) sumSquares += v * v;
    const double arm = -0.5 * std::sqrt(sumSquares / double(x.size()));
    bool armed = false;
    double first = -1, last = -1;
    long count = 0;
    for (std::size_t n = 1; n < x.size(); ++n) {
        if (x[n] < arm) armed = true;
        if (armed && x[n - 1] <= 0 && x[n] > 0) {
            const double t = double(n - 1) + -x[n - 1] / (x[n] - x[n - 1]);
            if (first < 0) first = t;
            last = t;
            ++count;
            armed = false;
        }
    }
    return count >= 3 ? double(count - 1) / (last - first) * rate : 0;
}

// |sum of weighted[n] e^(-i 2 pi f n / rate)|^2.
double power(const std::vector<double>& weighted, double f, double rate) {
    const std::complex<double> step = std::polar(1.0, -2.0 * std::numbers::pi * f / rate);
    std::complex<double> phasor = 1.0, sum = 0.0;
    for (double v : weighted) {
        sum += v * phasor;
        phasor *= step;
    }
    return std::norm(sum);
}

Measured measure(std::vector<double> x, double rate) {
    Measured m;
    if (x.size() < 1000) return m;
    double mean = 0;
    for (double v : x) mean += v;
    mean /= double(x.size());
    for (double& v : x) v -= mean;
    const std::size_t half = x.size() / 2;
    double first = 0, second = 0;
    for (std::size_t n = 0; n < x.size(); ++n) (n < half ? first : second) += x[n] * x[n];
    m.levelDrop = 10.0 * std::log10(second / first);
    m.crossHz = zeroCrossingHz(x, rate);
    if (m.crossHz <= 0) return m;

    std::vector<double> weighted(x.size());
    const double n1 = double(x.size() - 1);
    for (std::size_t n = 0; n < x.size(); ++n)
        weighted[n] = x[n] * (0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * double(n) / n1));
    const double bin = rate / double(x.size());
    const double step = 0.2 * bin;
    const double reach = std::max(0.01 * m.crossHz, 3.0 * bin);
    const double low = m.crossHz - reach, high = m.crossHz + reach;
    double best = low, bestPower = -1;
    for (double f = low; f <= high; f += step) {
        const double p = power(weighted, f, rate);
        if (p > bestPower) best = f, bestPower = p;
    }
    if (best - low < step || high - best < step) return m;  // no peak inside the range
    // Golden-section search for the maximum within one grid step either side.
    const double golden = (std::sqrt(5.0) - 1.0) / 2.0;
    double a = best - step, b = best + step;
    double c = b - golden * (b - a), d = a + golden * (b - a);
    double pc = power(weighted, c, rate), pd = power(weighted, d, rate);
    while (b - a > best * 1e-9) {
        if (pc > pd) {
            b = d, d = c, pd = pc;
            c = b - golden * (b - a);
            pc = power(weighted, c, rate);
        } else {
            a = c, c = d, pc = pd;
            d = a + golden * (b - a);
            pd = power(weighted, d, rate);
        }
    }
    m.hz = (a + b) / 2;
    m.ok = true;
    return m;
}

// ---- pitch models ----

// The YM2612's published formula: F * 2^block * clock / (144 * 2^21).
double formulaHz(const Note& n) {
    return n.fnum * std::exp2(n.block) * FM_CLOCK_HZ / (144.0 * 2097152.0);
}

// The YM2612's phase step for MUL 1 as an integer, (F << block) >> 1, advanced once every 144
// clocks in a 20-bit phase: the formula, except that block 0 drops the F-number's lowest bit.
double phaseStepHz(const Note& n) {
    return double((n.fnum << n.block) >> 1) * FM_CLOCK_HZ / (144.0 * 1048576.0);
}

constexpr double OPM_PHASE_HZ = 4000000.0 / 64.0 / 1048576.0;  // Hz per unit of phase step

// The YM2151's phase steps for octave 2, by semitone above C# (0-11) * 64 + fraction.
using PhaseTable = std::vector<int>;

int semitoneOf(int keyCode) {
    const int noteCode = keyCode & 0x0F;
    return noteCode - noteCode / 4;
}

// What a key code and fraction play at 4 MHz on the YM2151 as measured: the octave-2 phase step
// shifted by octave, losing the bits shifted out below octave 2.
double opmModelHz(const PhaseTable& table, int keyCode, int keyFraction) {
    const int octave = keyCode >> 4;
    const int step = table[std::size_t(semitoneOf(keyCode) * 64 + keyFraction)];
    const int shifted = octave >= 2 ? step << (octave - 2) : step >> (2 - octave);
    return shifted * OPM_PHASE_HZ;
}

// What a key code and fraction play at 4 MHz on the OPM's equal-tempered scale.
double opmNominalHz(int keyCode, int keyFraction) {
    const int semitone = 12 * (keyCode >> 4) + semitoneOf(keyCode);
    return OPM_A4_HZ * std::exp2((semitone + keyFraction / 64.0 - OPM_A4_SEMITONE) / 12.0);
}

// ---- one render ----

struct Render {
    std::string label;
    std::vector<KeyedNote> keyed;
    std::vector<Measured> measured;
    double startOffset = 0;  // seconds of the WAV before VGM sample 0
};

// Finds where the first note starts in the WAV file and measures every note.
bool measureRender(Render& r, const std::string& wavPath, std::string& problem) {
    std::vector<double> wav;
    double rate = 0;
    if (!readWav(wavPath, wav, rate)) {
        problem = "not a 16-bit PCM WAV file: " + wavPath;
        return false;
    }
    const double firstOn = r.keyed.front().on / VGM_RATE;
    const auto quietEnd = std::size_t(std::max(0.0, (firstOn - 0.05) * rate));
    if (quietEnd < 100 || quietEnd >= wav.size()) {
        problem = "no silence before the first note";
        return false;
    }
    double quiet = 0, quietPeak = 0;
    for (std::size_t n = 0; n < quietEnd; ++n) quiet += wav[n];
    quiet /= double(quietEnd);
    for (std::size_t n = 0; n < quietEnd; ++n)
        quietPeak = std::max(quietPeak, std::abs(wav[n] - quiet));
    const double threshold = std::max(300.0, 8.0 * quietPeak);
    std::size_t onset = quietEnd;
    while (onset < wav.size() && std::abs(wav[onset] - quiet) <= threshold) ++onset;
    if (onset == wav.size()) {
        problem = "no note found";
        return false;
    }
    r.startOffset = double(onset) / rate - firstOn;
    for (const KeyedNote& k : r.keyed) {
        const double from = (k.on / VGM_RATE + SKIP_AFTER_ON + r.startOffset) * rate;
        const double to = (k.off / VGM_RATE - SKIP_BEFORE_OFF + r.startOffset) * rate;
        if (from < 0 || to > double(wav.size()) || to - from < 0.1 * rate) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "the note keyed on at %.3f s lies outside the render (start offset "
                          "%+.3f s)",
                          k.on / VGM_RATE, r.startOffset);
            problem = text;
            return false;
        }
        r.measured.push_back(
            measure(std::vector<double>(wav.begin() + long(from), wav.begin() + long(to)), rate));
    }
    return true;
}

// ---- report ----

struct Stats {
    double maxAbs = 0, sumAbs = 0, sum = 0;
    int count = 0, over = 0, worst = -1;
    void add(double c, int index, double limit = 1.0) {
        if (std::abs(c) > maxAbs || worst < 0) maxAbs = std::abs(c), worst = index;
        sumAbs += std::abs(c), sum += c, ++count;
        if (std::abs(c) >= limit) ++over;
    }
};

std::string noteName(const Note& n) {
    char text[48];
    std::snprintf(text, sizeof text, "block %d, F %d (%.3f Hz)", n.block, n.fnum, formulaHz(n));
    return text;
}

void printStats(const char* what, const Stats& s, const std::vector<Note>& notes) {
    std::printf("| %s | %.3f | %.3f | %+.3f | %d of %d | %s |\n", what, s.maxAbs,
                s.sumAbs / s.count, s.sum / s.count, s.over, s.count,
                s.worst < 0 ? "" : noteName(notes[std::size_t(s.worst)]).c_str());
}

int selfTest() {
    const double rate = 48000, seconds = 0.8;
    double worst = 0;
    std::printf("| frequency (Hz) | Fourier peak error (cents) | zero crossings error (cents) |\n");
    std::printf("|---:|---:|---:|\n");
    for (double f : {19.37, 19.6, 27.123, 52.0, 110.5, 440.1, 1234.5, 3210.9, 4040.0, 4950.0}) {
        std::vector<double> x(std::size_t(seconds * rate));
        for (std::size_t n = 0; n < x.size(); ++n) {
            const double phase = 2.0 * std::numbers::pi * f * double(n) / rate + 0.3;
            x[n] = std::round(900.0 + 6000.0 * std::sin(phase) + 300.0 * std::sin(2 * phase + 1) +
                              150.0 * std::sin(3 * phase + 2));
        }
        const Measured m = measure(x, rate);
        const double peak = m.ok ? cents(m.hz, f) : INFINITY;
        const double cross = cents(m.crossHz, f);
        worst = std::max({worst, std::abs(peak), std::abs(cross)});
        std::printf("| %.3f | %+.5f | %+.5f |\n", f, peak, cross);
    }
    std::printf("\nMeasurement self-test: largest error %.5f cents (limit %.2f).\n", worst,
                SELF_TEST_LIMIT_CENTS);
    return worst < SELF_TEST_LIMIT_CENTS ? 0 : 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: measure_pitch self-test\n"
                 "       measure_pitch table NOTES.tsv OPM.vgm OPM.wav\n"
                 "       measure_pitch sweep NOTES.tsv TABLE.tsv SOURCE.vgm SOURCE.wav "
                 "[LABEL PROGRAM.vgm PROGRAM.wav]...\n"
                 "       measure_pitch every NOTES.tsv TABLE.tsv [LABEL PROGRAM.vgm]...\n");
    return 2;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "measure_pitch: %s\n", what.c_str());
    return 1;
}

// Reads the notes a VGM file keys on; they must be as many as the test file's.
bool readConversion(Render& r, const std::string& vgm, std::size_t count, std::string& problem) {
    if (!readKeyedNotes(vgm, r.keyed, problem)) {
        problem = vgm + ": " + problem;
        return false;
    }
    if (r.keyed.size() != count) {
        problem = vgm + " keys on " + std::to_string(r.keyed.size()) + " notes, the test file " +
                  std::to_string(count);
        return false;
    }
    return true;
}

bool readTable(const std::string& path, PhaseTable& table) {
    std::ifstream in(path);
    if (!in) return false;
    table.assign(12 * 64, 0);
    std::string kind;
    int noteCode = 0, fraction = 0, step = 0;
    double residual = 0;
    int count = 0;
    while (in >> kind >> noteCode >> fraction >> step >> residual) {
        if (kind != "phase-step" || noteCode < 0 || noteCode > 14 || noteCode % 4 == 3 ||
            fraction < 0 || fraction > 63 || step <= 0)
            return false;
        table[std::size_t(semitoneOf(noteCode) * 64 + fraction)] = step;
        ++count;
    }
    return count == 12 * 64;
}

// Every measurement of a render succeeded; returns how far its two methods lie apart at most.
bool checkMeasured(const Render& r, const std::vector<Note>& notes, double& apart,
                   double& levelDrop, std::string& problem) {
    for (std::size_t i = 0; i < r.measured.size(); ++i) {
        const Measured& m = r.measured[i];
        if (!m.ok) {
            problem = r.label + ": note " + std::to_string(notes[i].index) + " not measured";
            return false;
        }
        apart = std::max(apart, std::abs(cents(m.crossHz, m.hz)));
        levelDrop = std::max(levelDrop, std::abs(m.levelDrop));
    }
    return true;
}

int runTable(int argc, char** argv) {
    if (argc != 5) return usage();
    Notes notes;
    if (!readNotes(argv[2], notes)) return fail(std::string(argv[2]) + ": not a note list");
    Render r;
    r.label = "opm-table";
    std::string problem;
    if (!readConversion(r, argv[3], notes.played.size(), problem) ||
        !measureRender(r, argv[4], problem))
        return fail(problem);
    double apart = 0, levelDrop = 0, worstResidual = 0;
    if (!checkMeasured(r, notes.played, apart, levelDrop, problem)) return fail(problem);
    for (std::size_t i = 0; i < notes.played.size(); ++i) {
        const Note& n = notes.played[i];
        if (r.keyed[i].keyCode != n.keyCode || r.keyed[i].keyFraction != n.keyFraction)
            return fail("the VGM file does not play the note list");
        const double step = r.measured[i].hz / OPM_PHASE_HZ / 32.0;
        const double residual = step - std::round(step);
        worstResidual = std::max(worstResidual, std::abs(residual));
        std::printf("phase-step\t%d\t%d\t%d\t%+.4f\n", n.keyCode & 0x0F, n.keyFraction,
                    int(std::round(step)), residual);
    }
    std::fprintf(stderr,
                 "measure_pitch: %zu phase steps of octave 7; each lies within %.4f of a whole "
                 "step of octave 2 (1/32 of octave 7's); the two methods agree within %.4f "
                 "cents.\n",
                 notes.played.size(), worstResidual, apart);
    return 0;
}

// A key code and fraction with the pitch they give.
struct Candidate {
    double hz;
    int keyCode;
    int keyFraction;
};

// The key code and fraction nearest to hz in cents among candidates sorted by pitch.
const Candidate& nearest(const std::vector<Candidate>& sorted, double hz) {
    auto above = std::lower_bound(sorted.begin(), sorted.end(), hz,
                                  [](const Candidate& c, double h) { return c.hz < h; });
    if (above == sorted.end()) return sorted.back();
    if (above == sorted.begin()) return *above;
    const auto below = above - 1;
    return std::abs(cents(above->hz, hz)) < std::abs(cents(below->hz, hz)) ? *above : *below;
}

// The YM2151 octave (0-7) whose notes, C# to C, take in hz at 4 MHz.
int opmOctave(double hz) {
    const int semitone = int(std::floor(OPM_A4_SEMITONE + 12.0 * std::log2(hz / OPM_A4_HZ)));
    return std::clamp(semitone / 12, 0, 7);
}

// Errors of one way of choosing key codes, over all notes and by the octave they fall in.
struct ByOctave {
    Stats all;
    Stats octave[8];
    void add(double c, int index, double hz) {
        all.add(c, index);
        octave[opmOctave(hz)].add(c, index);
    }
};

void printByOctave(const std::string& what, const ByOctave& s) {
    std::printf("| %s | %.3f | %.3f | %+.3f | %d of %d |", what.c_str(), s.all.maxAbs,
                s.all.sumAbs / s.all.count, s.all.sum / s.all.count, s.all.over, s.all.count);
    for (const Stats& o : s.octave) std::printf(" %.2f / %d of %d |", o.maxAbs, o.over, o.count);
    std::printf("\n");
}

// Every key code and fraction, on the equal-tempered scale and on the YM2151 model, each sorted
// by pitch.
void allKeyCodes(const PhaseTable& table, std::vector<Candidate>& tempered,
                 std::vector<Candidate>& modelled) {
    for (int octave = 0; octave < 8; ++octave)
        for (int noteCode = 0; noteCode < 15; ++noteCode) {
            if (noteCode % 4 == 3) continue;
            for (int fraction = 0; fraction < 64; ++fraction) {
                const int keyCode = octave << 4 | noteCode;
                tempered.push_back({opmNominalHz(keyCode, fraction), keyCode, fraction});
                modelled.push_back({opmModelHz(table, keyCode, fraction), keyCode, fraction});
            }
        }
    auto byPitch = [](const Candidate& a, const Candidate& b) { return a.hz < b.hz; };
    std::sort(tempered.begin(), tempered.end(), byPitch);
    std::stable_sort(modelled.begin(), modelled.end(), byPitch);
}

int runSweep(int argc, char** argv) {
    if (argc < 6 || (argc - 6) % 3 != 0) return usage();
    Notes notes;
    if (!readNotes(argv[2], notes)) return fail(std::string(argv[2]) + ": not a note list");
    PhaseTable table;
    if (!readTable(argv[3], table)) return fail(std::string(argv[3]) + ": not a phase-step table");
    const std::vector<Note>& played = notes.played;

    // The source (arguments 4-5), then each conversion (LABEL, VGM, WAV).
    std::vector<Render> renders;
    double apart = 0, levelDrop = 0;
    for (int i = 4; i < argc; i += i == 4 ? 2 : 3) {
        Render r;
        r.label = i == 4 ? "source" : argv[i];
        const std::string vgm = argv[i == 4 ? 4 : i + 1], wav = argv[i == 4 ? 5 : i + 2];
        std::string problem;
        if (!readConversion(r, vgm, played.size(), problem) || !measureRender(r, wav, problem) ||
            !checkMeasured(r, played, apart, levelDrop, problem))
            return fail(problem);
        renders.push_back(std::move(r));
    }
    const Render& source = renders.front();

    std::printf("## Pitch sweep: %zu notes\n\n", played.size());
    std::printf("Left out, outside the YM2151's range at 4 MHz (%.2f Hz to %.1f Hz):",
                opmNominalHz(0x00, 0), opmNominalHz(0x7E, 63));
    for (const Note& n : notes.leftOut)
        std::printf(" block %d F %d (%.2f Hz)%s", n.block, n.fnum, formulaHz(n),
                    &n == &notes.leftOut.back() ? ".\n\n" : ",");
    if (notes.leftOut.empty()) std::printf(" none.\n\n");
    std::printf("Render start offsets (the WAV file's time of VGM sample 0):");
    for (const Render& r : renders)
        std::printf(" %s %+.1f ms", r.label.c_str(), 1000 * r.startOffset);
    std::printf(
        ".\nMeasurement: the Fourier peak and the zero crossings agree within %.4f cents on "
        "every note; the level changes by at most %.3f dB between the halves of a note.\n\n",
        apart, levelDrop);

    std::printf(
        "| comparison (cents) | largest | mean of size | mean | 1 cent or more | largest at |\n");
    std::printf("|---|---:|---:|---:|---:|---|\n");
    Stats formula, phaseStep;
    for (std::size_t i = 0; i < played.size(); ++i) {
        formula.add(cents(source.measured[i].hz, formulaHz(played[i])), int(i));
        phaseStep.add(cents(source.measured[i].hz, phaseStepHz(played[i])), int(i));
    }
    printStats("source (MAME's YM2612) against the formula", formula, played);
    printStats("source against the YM2612 model, (F << block) >> 1", phaseStep, played);
    std::vector<Candidate> tempered, modelled;
    allKeyCodes(table, tempered, modelled);
    Stats best;
    for (std::size_t i = 0; i < played.size(); ++i)
        best.add(cents(nearest(modelled, source.measured[i].hz).hz, source.measured[i].hz), int(i));
    printStats(
        "the YM2151 model's nearest key code and fraction against the source (the best "
        "there is)",
        best, played);
    for (std::size_t r = 1; r < renders.size(); ++r) {
        const Render& x = renders[r];
        Stats error, rounding, chip, model, againstFormula;
        for (std::size_t i = 0; i < played.size(); ++i) {
            const KeyedNote& k = x.keyed[i];
            const double nominal = opmNominalHz(k.keyCode, k.keyFraction);
            const double hz = x.measured[i].hz;
            error.add(cents(hz, source.measured[i].hz), int(i));
            againstFormula.add(cents(hz, formulaHz(played[i])), int(i));
            rounding.add(cents(nominal, formulaHz(played[i])), int(i));
            chip.add(cents(hz, nominal), int(i));
            model.add(cents(hz, opmModelHz(table, k.keyCode, k.keyFraction)), int(i));
        }
        const std::string l = x.label;
        printStats(("**" + l + "**: X68000 (MAME's YM2151) against the source").c_str(), error,
                   played);
        printStats((l + ": X68000 against the formula").c_str(), againstFormula, played);
        printStats(
            (l + ": its key codes and fractions, equal-tempered, against the formula").c_str(),
            rounding, played);
        printStats((l + ": X68000 against its key codes and fractions, equal-tempered").c_str(),
                   chip, played);
        printStats((l + ": X68000 against the YM2151 model").c_str(), model, played);
    }

    std::printf("\n### Every note\n\n");
    std::printf(
        "Source: MAME's YM2612 render, in Hz and in cents against the formula. For each "
        "conversion: KC/KF written (hex, fraction in 1/64 semitone), what they give on the "
        "equal-tempered scale against the formula (the converter's rounding), the render against "
        "that (the YM2151 as MAME models it), and the error: the render against the source "
        "render.\n\n");
    std::printf("| # | block | F | formula (Hz) | source (Hz) | vs formula |");
    for (std::size_t r = 1; r < renders.size(); ++r)
        std::printf(" %s KC/KF | rounding | YM2151 | **error** |", renders[r].label.c_str());
    std::printf("\n|---:|---:|---:|---:|---:|---:|");
    for (std::size_t r = 1; r < renders.size(); ++r) std::printf("---|---:|---:|---:|");
    std::printf("\n");
    for (std::size_t i = 0; i < played.size(); ++i) {
        const Note& n = played[i];
        std::printf("| %d | %d | %d | %.4f | %.4f | %+.3f |", n.index, n.block, n.fnum,
                    formulaHz(n), source.measured[i].hz,
                    cents(source.measured[i].hz, formulaHz(n)));
        for (std::size_t r = 1; r < renders.size(); ++r) {
            const KeyedNote& k = renders[r].keyed[i];
            const double nominal = opmNominalHz(k.keyCode, k.keyFraction);
            std::printf(" %02X/%02d | %+.3f | %+.3f | **%+.3f** |", k.keyCode, k.keyFraction,
                        cents(nominal, formulaHz(n)), cents(renders[r].measured[i].hz, nominal),
                        cents(renders[r].measured[i].hz, source.measured[i].hz));
        }
        std::printf("\n");
    }
    return 0;
}

int runEvery(int argc, char** argv) {
    if (argc < 4 || (argc - 4) % 2 != 0) return usage();
    Notes notes;
    if (!readNotes(argv[2], notes)) return fail(std::string(argv[2]) + ": not a note list");
    PhaseTable table;
    if (!readTable(argv[3], table)) return fail(std::string(argv[3]) + ": not a phase-step table");
    const std::vector<Note>& played = notes.played;

    std::vector<Candidate> tempered, modelled;
    allKeyCodes(table, tempered, modelled);

    std::printf("## Every F-number and block: %zu notes, on the two chips' models\n\n",
                played.size());
    std::printf(
        "Errors in cents of the YM2151 model's pitch against the YM2612 model's. By the "
        "YM2151 octave (C# to C) the note falls in: the largest error / the number of "
        "notes 1 cent or more off, of all notes there.\n\n");
    std::printf("| key codes and fractions | largest | mean of size | mean | 1 cent or more |");
    for (int o = 0; o < 8; ++o) std::printf(" octave %d |", o);
    std::printf("\n|---|---:|---:|---:|---:|");
    for (int o = 0; o < 8; ++o) std::printf("---:|");
    std::printf("\n");
    std::string agreement, agreementBest;
    for (int i = 4; i < argc; i += 2) {
        Render r;
        std::string problem;
        if (!readConversion(r, argv[i + 1], played.size(), problem)) return fail(problem);
        ByOctave s;
        int same = 0, sameBest = 0;
        for (std::size_t n = 0; n < played.size(); ++n) {
            const KeyedNote& k = r.keyed[n];
            const double target = phaseStepHz(played[n]);
            s.add(cents(opmModelHz(table, k.keyCode, k.keyFraction), target), int(n), target);
            const Candidate& c = nearest(tempered, formulaHz(played[n]));
            same += c.keyCode == k.keyCode && c.keyFraction == k.keyFraction;
            const Candidate& best = nearest(modelled, target);
            sameBest += best.hz == opmModelHz(table, k.keyCode, k.keyFraction);
        }
        printByOctave(std::string("written by ") + argv[i], s);
        agreement += std::string(agreement.empty() ? "" : "; ") + argv[i] + " " +
                     std::to_string(same) + " of " + std::to_string(played.size());
        agreementBest += std::string(agreementBest.empty() ? "" : "; ") + argv[i] + " " +
                         std::to_string(sameBest) + " of " + std::to_string(played.size());
    }
    ByOctave temperedFormula, temperedModel, modelledModel;
    for (std::size_t n = 0; n < played.size(); ++n) {
        const Note& note = played[n];
        const double target = phaseStepHz(note);
        const Candidate& a = nearest(tempered, formulaHz(note));
        const Candidate& b = nearest(tempered, target);
        const Candidate& c = nearest(modelled, target);
        temperedFormula.add(cents(opmModelHz(table, a.keyCode, a.keyFraction), target), int(n),
                            target);
        temperedModel.add(cents(opmModelHz(table, b.keyCode, b.keyFraction), target), int(n),
                          target);
        modelledModel.add(cents(c.hz, target), int(n), target);
    }
    printByOctave("nearest equal-tempered to the formula", temperedFormula);
    printByOctave("nearest equal-tempered to the YM2612 model", temperedModel);
    printByOctave("nearest on the YM2151 model to the YM2612 model (the best there is)",
                  modelledModel);
    std::printf(
        "\nKey codes and fractions the same as the nearest equal-tempered ones to the "
        "formula: %s.\n"
        "Key codes and fractions whose phase step is the nearest to the YM2612 model's pitch "
        "(the same step as the best there is): %s.\n",
        agreement.c_str(), agreementBest.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "self-test" && argc == 2) return selfTest();
    if (command == "table") return runTable(argc, argv);
    if (command == "sweep") return runSweep(argc, argv);
    if (command == "every") return runEvery(argc, argv);
    return usage();
}
