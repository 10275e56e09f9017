// VGM files written by the measurement generators (fidelity/levels, fidelity/pitch): the
// command bytes of a song, the Mega Drive's and the X68000's file headers, and the plain sine
// voice both measure with. Header-only: each generator is built by its script on its own.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace test_vgm {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t FM_CLOCK_HZ = 7670453;
inline constexpr std::uint32_t PSG_CLOCK_HZ = 3579545;
inline constexpr std::uint32_t OPM_CLOCK_HZ = 4000000;

// A song being written: the command bytes and the samples (1/44100 s) waited so far.
struct Song {
    Bytes data;
    std::uint32_t samples = 0;
};

inline void ym2612(Song& song, int port, int reg, int value) {
    song.data.insert(song.data.end(),
                     {std::uint8_t(0x52 + port), std::uint8_t(reg), std::uint8_t(value)});
}

inline void sn76489(Song& song, int value) {
    song.data.insert(song.data.end(), {0x50, std::uint8_t(value)});
}

inline void ym2151(Song& song, int reg, int value) {
    song.data.insert(song.data.end(), {0x54, std::uint8_t(reg), std::uint8_t(value)});
}

// In 0x61 waits of at most 65535 samples.
inline void waitSamples(Song& song, std::uint32_t samples) {
    song.samples += samples;
    while (samples > 0) {
        const std::uint32_t n = samples > 0xFFFF ? 0xFFFF : samples;
        song.data.insert(song.data.end(), {0x61, std::uint8_t(n), std::uint8_t(n >> 8)});
        samples -= n;
    }
}

inline void putLong(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}

// A VGM 1.50 file for the Mega Drive's chips, header as in Mega Drive logs (0x40 bytes,
// SN76489 feedback 0x0009 and shift register width 16), no loop.
inline Bytes megaDriveFile(const Song& song) {
    Bytes vgm(0x40, 0);
    std::memcpy(vgm.data(), "Vgm ", 4);
    vgm.insert(vgm.end(), song.data.begin(), song.data.end());
    putLong(vgm, 0x04, std::uint32_t(vgm.size() - 0x04));
    putLong(vgm, 0x08, 0x150);
    putLong(vgm, 0x0C, PSG_CLOCK_HZ);
    putLong(vgm, 0x18, song.samples);
    putLong(vgm, 0x24, 60);
    vgm[0x28] = 0x09;
    vgm[0x2A] = 16;
    putLong(vgm, 0x2C, FM_CLOCK_HZ);
    putLong(vgm, 0x34, 0x40 - 0x34);
    return vgm;
}

// A VGM 1.51 file for the YM2151 alone at 4 MHz (header 0x80 bytes, clock at 0x30).
inline Bytes opmFile(const Song& song) {
    Bytes vgm(0x80, 0);
    std::memcpy(vgm.data(), "Vgm ", 4);
    vgm.insert(vgm.end(), song.data.begin(), song.data.end());
    putLong(vgm, 0x04, std::uint32_t(vgm.size() - 0x04));
    putLong(vgm, 0x08, 0x151);
    putLong(vgm, 0x18, song.samples);
    putLong(vgm, 0x30, OPM_CLOCK_HZ);
    putLong(vgm, 0x34, 0x80 - 0x34);
    return vgm;
}

// The Mega Drive's chips quiet: YM2612 LFO off, channel 3 in normal mode, DAC off, every FM
// channel keyed off; the SN76489's four channels silent.
inline void quietMegaDrive(Song& song) {
    ym2612(song, 0, 0x22, 0x00);
    ym2612(song, 0, 0x27, 0x00);
    ym2612(song, 0, 0x2B, 0x00);
    for (int channel : {0, 1, 2, 4, 5, 6}) ym2612(song, 0, 0x28, channel);
    for (int channel = 0; channel < 4; ++channel) sn76489(song, 0x9F | channel << 5);
}

// A bare sine on YM2612 channel 1 (port 0, channel 0): algorithm 7, operator 4 (registers
// +0x0C) alone at TL 0, MUL 1, DT 0, AR 31, D1R 0, D2R 0, D1L 0, RR 15; operators 1-3 at TL 127;
// both outputs, no LFO sensitivity. Keyed on with 0x28 <- 0x80.
inline void sineVoice(Song& song) {
    for (int op = 0; op < 4; ++op) {
        const int offset = 4 * op;  // +0 operator 1, +4 operator 3, +8 operator 2, +C operator 4
        const bool carrier = offset == 0x0C;
        ym2612(song, 0, 0x30 + offset, 0x01);                // DT 0, MUL 1
        ym2612(song, 0, 0x40 + offset, carrier ? 0 : 0x7F);  // TL
        ym2612(song, 0, 0x50 + offset, 0x1F);                // RS 0, AR 31
        ym2612(song, 0, 0x60 + offset, 0x00);                // AM off, D1R 0
        ym2612(song, 0, 0x70 + offset, 0x00);                // D2R 0
        ym2612(song, 0, 0x80 + offset, 0x0F);                // D1L 0, RR 15
        ym2612(song, 0, 0x90 + offset, 0x00);                // SSG-EG off
    }
    ym2612(song, 0, 0xB0, 0x07);  // feedback 0, algorithm 7
    ym2612(song, 0, 0xB4, 0xC0);  // left and right, AMS 0, PMS 0
}

}  // namespace test_vgm
