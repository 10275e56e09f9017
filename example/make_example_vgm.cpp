// Writes the bundled example: a short looping tune in C major for four YM2612 FM voices
// (bass, chord pad, bell, and a lead doubling the melody; the pad spread from left to right,
// the bell on the left, the lead on the right) and the first two SN76489 tone channels (melody
// and arpeggio), as a VGM 1.50 log.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr double FM_CLOCK_HZ = 7670453.0;
constexpr double PSG_CLOCK_HZ = 3579545.0;
constexpr int FRAME_SAMPLES = 735;  // one 60 Hz frame
constexpr int FRAMES_PER_STEP = 8;  // a sixteenth note at 112.5 beats per minute
constexpr int STEPS_PER_BAR = 16;
constexpr int REST = -1;

struct Song {
    Bytes data;
    std::uint32_t samples = 0;
};

void ym(Song& song, int port, int reg, int value) {
    song.data.insert(song.data.end(),
                     {std::uint8_t(0x52 + port), std::uint8_t(reg), std::uint8_t(value)});
}

void psg(Song& song, int value) {
    song.data.insert(song.data.end(), {0x50, std::uint8_t(value)});
}

void waitFrames(Song& song, int frames) {
    for (int i = 0; i < frames; ++i) song.data.push_back(0x62);
    song.samples += std::uint32_t(frames * FRAME_SAMPLES);
}

double noteHz(int midiNote) {
    return 440.0 * std::pow(2.0, (midiNote - 69) / 12.0);
}

// An FM voice: algorithm, feedback, and per operator DT/MUL, TL, AR, D1R, D2R, SL/RR.
struct FmVoice {
    int algorithmFeedback;
    int op[4][6];
};

// Bass: two-operator stack into a carrier pair, plucky.
constexpr FmVoice BASS = {0x3A,
                          {{0x01, 0x1C, 0x1F, 0x08, 0x02, 0x26},
                           {0x02, 0x28, 0x1F, 0x0C, 0x02, 0x26},
                           {0x01, 0x20, 0x1F, 0x0A, 0x02, 0x26},
                           {0x01, 0x06, 0x1F, 0x06, 0x03, 0x28}}};
// Pad: soft attack, all operators carriers with gentle detune.
constexpr FmVoice PAD = {0x07,
                         {{0x31, 0x24, 0x0E, 0x02, 0x01, 0x14},
                          {0x72, 0x2C, 0x0E, 0x02, 0x01, 0x14},
                          {0x01, 0x26, 0x0E, 0x02, 0x01, 0x14},
                          {0x41, 0x2A, 0x0E, 0x02, 0x01, 0x14}}};
// Bell: a high-ratio modulator over a sine carrier.
constexpr FmVoice BELL = {0x04,
                          {{0x0E, 0x22, 0x1F, 0x0A, 0x04, 0x35},
                           {0x01, 0x0C, 0x1F, 0x08, 0x04, 0x36},
                           {0x07, 0x26, 0x1F, 0x0A, 0x04, 0x35},
                           {0x01, 0x10, 0x1F, 0x08, 0x04, 0x36}}};

// Lead: one modulator over three carriers, a soft reed that doubles the PSG melody.
constexpr FmVoice LEAD = {0x05,
                          {{0x02, 0x24, 0x1F, 0x06, 0x02, 0x27},
                           {0x01, 0x14, 0x1A, 0x04, 0x02, 0x27},
                           {0x02, 0x1C, 0x1A, 0x04, 0x02, 0x27},
                           {0x01, 0x12, 0x1A, 0x04, 0x02, 0x27}}};

// YM2612 0xB4 output bits: left is bit 7, right bit 6.
constexpr int LEFT = 0x80, RIGHT = 0x40, BOTH = LEFT | RIGHT;

void setVoice(Song& song, int channel, const FmVoice& voice, int outputs) {
    const int port = channel / 3, c = channel % 3;
    for (int op = 0; op < 4; ++op)
        for (int row = 0; row < 6; ++row)
            ym(song, port, 0x30 + 0x10 * row + 4 * op + c, voice.op[op][row]);
    ym(song, port, 0xB0 + c, voice.algorithmFeedback);
    ym(song, port, 0xB4 + c, outputs);
}

void fmKey(Song& song, int channel, bool on) {
    ym(song, 0, 0x28, (on ? 0xF0 : 0x00) | (channel / 3) << 2 | channel % 3);
}

void fmPitch(Song& song, int channel, int midiNote) {
    const double hz = noteHz(midiNote);
    int block = 0;
    while (block < 7 && hz * 144.0 * std::pow(2.0, 21 - block) / FM_CLOCK_HZ >= 2048.0) ++block;
    const int fnum = int(std::lround(hz * 144.0 * std::pow(2.0, 21 - block) / FM_CLOCK_HZ));
    const int port = channel / 3, c = channel % 3;
    ym(song, port, 0xA4 + c, block << 3 | fnum >> 8);
    ym(song, port, 0xA0 + c, fnum & 0xFF);
}

void psgNote(Song& song, int channel, int midiNote, int attenuation) {
    if (midiNote != REST) {
        const int period = int(std::lround(PSG_CLOCK_HZ / (32.0 * noteHz(midiNote))));
        psg(song, 0x80 | channel << 5 | (period & 0x0F));
        psg(song, (period >> 4) & 0x3F);
    }
    psg(song, 0x90 | channel << 5 | (midiNote == REST ? 15 : attenuation));
}

// One bar over a chord: bass on the beats, the pad holding the chord, the bell answering
// the melody, the PSG melody and an arpeggio of the chord.
void bar(Song& song, const int chord[3], const int melody[STEPS_PER_BAR]) {
    for (int step = 0; step < STEPS_PER_BAR; ++step) {
        if (step == 0)
            for (int v = 0; v < 3; ++v) {
                fmKey(song, 1 + v, false);
                fmPitch(song, 1 + v, chord[v]);
                fmKey(song, 1 + v, true);
            }
        if (step % 4 == 0) {
            fmKey(song, 0, false);
            fmPitch(song, 0, chord[0] - 24 + (step == 8 ? 7 : 0));
            fmKey(song, 0, true);
        }
        if (melody[step] != REST) {
            psgNote(song, 0, melody[step], 6);
            fmKey(song, 5, false);
            fmPitch(song, 5, melody[step]);
            fmKey(song, 5, true);
            if (step % 8 == 4) {
                fmKey(song, 4, false);
                fmPitch(song, 4, melody[step] + 12);
                fmKey(song, 4, true);
            }
        }
        psgNote(song, 1, chord[step % 3] + 12, 11 + step % 4);
        waitFrames(song, FRAMES_PER_STEP / 2);
        psg(song, 0x90 | 0 << 5 | (melody[step] == REST ? 15 : 9));  // melody decays
        if (melody[step] == REST) fmKey(song, 5, false);
        waitFrames(song, FRAMES_PER_STEP / 2);
    }
}

void putLong(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_example_vgm OUTPUT.vgm\n");
        return 2;
    }
    constexpr int C = 60, D = 62, E = 64, F = 65, G = 67, A = 69, B = 71, C2 = 72, _ = REST;
    const int chords[4][3] = {{C - 12, E - 12, G - 12},
                              {A - 24, C - 12, E - 12},
                              {F - 24, A - 24, C - 12},
                              {G - 24, B - 24, D - 12}};
    const int melody[4][STEPS_PER_BAR] = {
        {E, _, G, _, C2, _, B, A, G, _, E, _, G, _, _, _},
        {A, _, C2, _, E + 12, _, D + 12, C2, B, _, A, _, E, _, _, _},
        {F, _, A, _, C2, _, A, F, E, _, F, _, A, _, C2, _},
        {B, _, D + 12, _, B, _, G, _, D, _, F, _, G, _, _, _}};

    Song song;
    // Bass and the middle pad voice in the centre, the pad's outer voices hard left and hard
    // right, the bell hard left, the lead hard right.
    setVoice(song, 0, BASS, BOTH);
    setVoice(song, 1, PAD, LEFT);
    setVoice(song, 2, PAD, BOTH);
    setVoice(song, 3, PAD, RIGHT);
    setVoice(song, 4, BELL, LEFT);
    setVoice(song, 5, LEAD, RIGHT);
    ym(song, 0, 0x22, 0x00);                                                       // LFO off
    for (int channel = 0; channel < 4; ++channel) psg(song, 0x9F | channel << 5);  // silence
    // Intro: the pad alone on the first chord.
    for (int v = 0; v < 3; ++v) {
        fmPitch(song, 1 + v, chords[0][v]);
        fmKey(song, 1 + v, true);
    }
    waitFrames(song, STEPS_PER_BAR * FRAMES_PER_STEP);
    const std::size_t loopStart = song.data.size();
    const std::uint32_t introSamples = song.samples;
    for (int b = 0; b < 4; ++b) bar(song, chords[b], melody[b]);
    song.data.push_back(0x66);

    Bytes vgm(0x40, 0);
    vgm[0] = 'V', vgm[1] = 'g', vgm[2] = 'm', vgm[3] = ' ';
    vgm.insert(vgm.end(), song.data.begin(), song.data.end());
    putLong(vgm, 0x04, std::uint32_t(vgm.size() - 0x04));        // end of file
    putLong(vgm, 0x08, 0x150);                                   // version 1.50
    putLong(vgm, 0x0C, std::uint32_t(PSG_CLOCK_HZ));             // SN76489 clock
    putLong(vgm, 0x18, song.samples);                            // total samples
    putLong(vgm, 0x1C, std::uint32_t(0x40 + loopStart - 0x1C));  // loop offset
    putLong(vgm, 0x20, song.samples - introSamples);             // loop samples
    putLong(vgm, 0x24, 60);                                      // rate
    vgm[0x28] = 0x09, vgm[0x2A] = 16;                            // SN76489 feedback, shift width
    putLong(vgm, 0x2C, std::uint32_t(FM_CLOCK_HZ));              // YM2612 clock
    putLong(vgm, 0x34, 0x0C);                                    // data at 0x40

    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out || std::fwrite(vgm.data(), 1, vgm.size(), out) != vgm.size() ||
        std::fclose(out) != 0) {
        std::fprintf(stderr, "make_example_vgm: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
