// Writes the single-sound VGM files that measure_levels.sh renders with MAME to compare
// loudness: on the Mega Drive side (YM2612 at 7670453 Hz and SN76489 at 3579545 Hz, VGM 1.50,
// as Mega Drive logs are) a reference FM voice, one SN76489 tone or the SN76489 white noise;
// on the X68000 side (YM2151 at 4000000 Hz, VGM 1.51) the same reference FM voice, the classic
// converter's additive PSG voice or the OPM noise. Each file holds one steady sound, keyed on
// at the start and held for SOUND_SECONDS.
//
//   make_level_vgm source-fm OUT.vgm
//   make_level_vgm source-tone ATTENUATION OUT.vgm       SN76489 tone 0, period 254
//   make_level_vgm source-noise NF ATTENUATION OUT.vgm   SN76489 white noise, NF 0-3
//   make_level_vgm opm-fm TL OUT.vgm                    the reference voice, carrier at TL
//   make_level_vgm opm-tone SHIFT OUT.vgm                the classic PSG voice on channel 6,
//                                                        SHIFT added to all four TLs
//   make_level_vgm opm-noise NFRQ TL OUT.vgm             the noise on channel 7's slot C2
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fidelity/test_vgm.hpp"

namespace {

using namespace test_vgm;

constexpr std::uint32_t VGM_RATE = 44100;
constexpr std::uint32_t SOUND_SECONDS = 4;

// The reference note on the YM2612: block 4, F-number 1083, 440.1 Hz at 7670453 Hz.
constexpr int FM_BLOCK = 4;
constexpr int FM_FNUM = 1083;
// The SN76489 tone: 3579545 / (32 * 254) = 440.4 Hz.
constexpr int PSG_PERIOD = 254;
// The OPM note for both the reference and the PSG voice: octave 4, note G (code 8), 392.0 Hz
// at 3.579545 MHz, so 438.0 Hz at 4 MHz.
constexpr std::uint8_t OPM_KEY_CODE = 0x48;

// The classic converter's PSG voice (translate/opm_image.cpp, translate/sn76489.cpp): four
// carriers (algorithm 7, both outputs), operator op (slot channel + 8 * op) at multiplier
// 7, 5, 3, 1, AR 31, D1R 0, D2R 0, D1L 15, RR 15, and TL 39 + 4a - 4op at attenuation a.
constexpr std::uint8_t CLASSIC_MULTIPLE[4] = {7, 5, 3, 1};
constexpr int CLASSIC_TL_AT_ZERO[4] = {39, 35, 31, 27};
constexpr int PSG_VOICE_CHANNEL = 6;
constexpr int NOISE_CHANNEL = 7;

// Waits the sound's length, then ends the data.
void holdAndEnd(Song& song) {
    waitSamples(song, SOUND_SECONDS * VGM_RATE);
    song.data.push_back(0x66);
}

// The reference voice: the sine on YM2612 channel 1 at the reference note.
Song sourceFm() {
    Song song;
    quietMegaDrive(song);
    sineVoice(song);
    ym2612(song, 0, 0xA4, FM_BLOCK << 3 | FM_FNUM >> 8);
    ym2612(song, 0, 0xA0, FM_FNUM & 0xFF);
    ym2612(song, 0, 0x28, 0x80);  // operator 4 of channel 1 on
    holdAndEnd(song);
    return song;
}

Song sourceTone(int attenuation) {
    Song song;
    quietMegaDrive(song);
    sn76489(song, 0x80 | (PSG_PERIOD & 0x0F));
    sn76489(song, PSG_PERIOD >> 4);
    sn76489(song, 0x90 | attenuation);
    holdAndEnd(song);
    return song;
}

Song sourceNoise(int nf, int attenuation) {
    Song song;
    quietMegaDrive(song);
    sn76489(song, 0xE0 | 0x04 | nf);  // white noise, shift rate NF
    sn76489(song, 0xF0 | attenuation);
    holdAndEnd(song);
    return song;
}

// YM2151 set-up shared by the X68000 files: test register clear, noise off, LFO at rest
// (rate 0, depths 0, waveform saw), every channel keyed off.
void quietOpm(Song& song) {
    ym2151(song, 0x01, 0x00);
    ym2151(song, 0x0F, 0x00);
    ym2151(song, 0x18, 0x00);
    ym2151(song, 0x19, 0x00);
    ym2151(song, 0x19, 0x80);
    ym2151(song, 0x1B, 0x00);
    for (int channel = 0; channel < 8; ++channel) ym2151(song, 0x08, channel);
}

// One OPM channel: connection byte (RL, FB, CON), key code, and per operator (slot channel
// + 8 * op) DT1/MUL, TL, KS/AR, AMS-EN/D1R, DT2/D2R, D1L/RR.
struct OpmVoice {
    std::uint8_t connect;
    std::uint8_t op[4][6];
};

void setOpmVoice(Song& song, int channel, const OpmVoice& voice) {
    ym2151(song, 0x20 + channel, voice.connect);
    ym2151(song, 0x28 + channel, OPM_KEY_CODE);
    ym2151(song, 0x30 + channel, 0x00);  // key fraction
    ym2151(song, 0x38 + channel, 0x00);  // PMS 0, AMS 0
    for (int op = 0; op < 4; ++op)
        for (int row = 0; row < 6; ++row)
            ym2151(song, 0x40 + 0x20 * row + channel + 8 * op, voice.op[op][row]);
}

// The reference voice on OPM channel 0: algorithm 7, operator C2 (slot 24, registers +0x18)
// the only one keyed, at TL carrierTl (0 for the copy of the YM2612's), MUL 1, AR 31, D1R 0,
// D2R 0, D1L 0, RR 15; the others at TL 127; both outputs.
Song opmFm(int carrierTl) {
    Song song;
    quietOpm(song);
    OpmVoice voice{0xC7, {}};
    for (int op = 0; op < 4; ++op) {
        const std::uint8_t rows[6] = {0x01, std::uint8_t(op == 3 ? carrierTl : 0x7F), 0x1F, 0, 0,
                                      0x0F};
        std::memcpy(voice.op[op], rows, sizeof rows);
    }
    setOpmVoice(song, 0, voice);
    ym2151(song, 0x08, 0x40 | 0);  // key on: C2 (bit 6) of channel 0
    holdAndEnd(song);
    return song;
}

// The classic's PSG voice, every TL moved by shift (and kept within 0-127), keyed on with all
// four operators as the classic's prologue does.
Song opmTone(int shift) {
    Song song;
    quietOpm(song);
    OpmVoice voice{0xC7, {}};
    for (int op = 0; op < 4; ++op) {
        int tl = CLASSIC_TL_AT_ZERO[op] + shift;
        tl = tl < 0 ? 0 : tl > 127 ? 127 : tl;
        const std::uint8_t rows[6] = {CLASSIC_MULTIPLE[op], std::uint8_t(tl), 0x1F, 0, 0, 0xFF};
        std::memcpy(voice.op[op], rows, sizeof rows);
    }
    setOpmVoice(song, PSG_VOICE_CHANNEL, voice);
    ym2151(song, 0x08, 0x78 | PSG_VOICE_CHANNEL);
    holdAndEnd(song);
    return song;
}

// The OPM noise: it replaces the output of channel 7's operator C2 (slot 31, registers
// 0x5F, 0x7F, ...). Connection 0 makes C2 the only carrier; only C2 is keyed (0x08 <- 0x47).
Song opmNoise(int nfrq, int tl) {
    Song song;
    quietOpm(song);
    OpmVoice voice{0xC0, {}};
    for (int op = 0; op < 4; ++op) {
        const std::uint8_t rows[6] = {0x01, std::uint8_t(op == 3 ? tl : 0x7F), 0x1F, 0, 0, 0x0F};
        std::memcpy(voice.op[op], rows, sizeof rows);
    }
    setOpmVoice(song, NOISE_CHANNEL, voice);
    ym2151(song, 0x0F, 0x80 | nfrq);
    ym2151(song, 0x08, 0x40 | NOISE_CHANNEL);
    holdAndEnd(song);
    return song;
}

// The whole of text as a number from low to high, or false.
bool readNumber(const char* text, int low, int high, int& value) {
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
    value = int(v);
    return true;
}

int usage() {
    std::fprintf(stderr,
                 "usage: make_level_vgm source-fm OUT.vgm\n"
                 "       make_level_vgm source-tone ATTENUATION OUT.vgm\n"
                 "       make_level_vgm source-noise NF ATTENUATION OUT.vgm\n"
                 "       make_level_vgm opm-fm TL OUT.vgm\n"
                 "       make_level_vgm opm-tone SHIFT OUT.vgm\n"
                 "       make_level_vgm opm-noise NFRQ TL OUT.vgm\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string kind = argv[1];
    int a = 0, b = 0;
    Bytes vgm;
    if (kind == "source-fm" && argc == 3) {
        vgm = megaDriveFile(sourceFm());
    } else if (kind == "source-tone" && argc == 4 && readNumber(argv[2], 0, 15, a)) {
        vgm = megaDriveFile(sourceTone(a));
    } else if (kind == "source-noise" && argc == 5 && readNumber(argv[2], 0, 3, a) &&
               readNumber(argv[3], 0, 15, b)) {
        vgm = megaDriveFile(sourceNoise(a, b));
    } else if (kind == "opm-fm" && argc == 4 && readNumber(argv[2], 0, 127, a)) {
        vgm = opmFile(opmFm(a));
    } else if (kind == "opm-tone" && argc == 4 && readNumber(argv[2], -127, 127, a)) {
        vgm = opmFile(opmTone(a));
    } else if (kind == "opm-noise" && argc == 5 && readNumber(argv[2], 0, 31, a) &&
               readNumber(argv[3], 0, 127, b)) {
        vgm = opmFile(opmNoise(a, b));
    } else {
        return usage();
    }
    const char* out = argv[argc - 1];
    std::FILE* file = std::fopen(out, "wb");
    bool written = file != nullptr && std::fwrite(vgm.data(), 1, vgm.size(), file) == vgm.size();
    if (file != nullptr && std::fclose(file) != 0) written = false;
    if (!written) {
        std::fprintf(stderr, "make_level_vgm: can't write %s: %s\n", out, std::strerror(errno));
        return 1;
    }
    return 0;
}
