// Writes a VGM file of a given size that is dense with YM2612 and SN76489 writes, for
// measuring the converter: every frame moves the pitch, levels and keys of the six FM
// channels and the pitch and loudness of the tone channels, then waits one NTSC frame.
//
//     make_dense_vgm SIZE OUTPUT [--dac]
//
// SIZE is the exact length of the file in bytes (at least 0x41). The same size always gives
// the same file. With --dac the file is laid out as logs with sampled drums are: a data block
// of eight drums at the start, the DAC switched on, and in every frame a little music (a new
// note on one FM channel, the tone channels), then the frame's samples played through the
// YM2612 DAC as sample-and-wait commands 0x80-0x8F, with a seek into the data block (0xE0)
// where a drum starts and short waits (0x70-0x7F) where none plays.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t HEADER_SIZE = 0x40;
constexpr std::uint32_t FM_CLOCK = 7670453;
constexpr std::uint32_t PSG_CLOCK = 3579545;
constexpr std::uint32_t FRAME_SAMPLES = 735;
constexpr std::size_t FRAME_BYTES_MAX = 200;       // more than one frame ever takes
constexpr std::size_t DAC_FRAME_BYTES_MAX = 4000;  // the same with DAC drums

struct Generator {
    std::uint32_t seed = 12345;
    std::uint32_t next() {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    }
    std::uint8_t below(std::uint32_t n) { return std::uint8_t(next() % n); }
};

void putLong(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}

void fmWrite(Bytes& out, int channel, std::uint8_t reg, std::uint8_t data) {
    const bool upper = channel >= 3;
    out.insert(out.end(),
               {std::uint8_t(upper ? 0x53 : 0x52), std::uint8_t(reg + (channel % 3)), data});
}

void keyWrite(Bytes& out, int channel, std::uint8_t operators) {
    const std::uint8_t code = std::uint8_t((channel >= 3 ? 4 : 0) + channel % 3);
    out.insert(out.end(), {0x52, 0x28, std::uint8_t(operators << 4 | code)});
}

void psgWrite(Bytes& out, std::uint8_t b) {
    out.insert(out.end(), {0x50, b});
}

// One frame of music: note changes on some channels, level sweeps on all of them.
void writeFrame(Bytes& out, Generator& g, std::uint32_t frame) {
    for (int c = 0; c < 6; ++c) {
        const bool newNote = (frame + std::uint32_t(c)) % 4 == 0;
        if (newNote) {
            keyWrite(out, c, 0);
            const std::uint16_t fnum = std::uint16_t(0x200 + g.below(0x200));
            const std::uint8_t block = std::uint8_t(2 + g.below(4));
            fmWrite(out, c, 0xA4, std::uint8_t(block << 3 | fnum >> 8));
            fmWrite(out, c, 0xA0, std::uint8_t(fnum));
            fmWrite(out, c, 0xB0, g.below(0x40));
            fmWrite(out, c, 0xB4, std::uint8_t(0xC0 | g.below(0x38)));
        }
        for (int op = 0; op < 4; ++op) {
            const std::uint8_t opReg = std::uint8_t(4 * op);
            fmWrite(out, c, std::uint8_t(0x40 + opReg), g.below(0x80));  // TL
            if (newNote) {
                fmWrite(out, c, std::uint8_t(0x30 + opReg), g.below(0x80));  // DT/MUL
                fmWrite(out, c, std::uint8_t(0x50 + opReg), g.below(0x100));
                fmWrite(out, c, std::uint8_t(0x80 + opReg), g.below(0x100));
            }
        }
        if (newNote) keyWrite(out, c, 0x0F);
    }
    for (std::uint8_t tone = 0; tone < 3; ++tone) {
        const std::uint16_t period = std::uint16_t(0x40 + g.below(0x300));
        psgWrite(out, std::uint8_t(0x80 | tone << 5 | (period & 0x0F)));
        psgWrite(out, std::uint8_t(period >> 4));
        psgWrite(out, std::uint8_t(0x90 | tone << 5 | g.below(16)));
    }
    if (frame % 64 == 0) fmWrite(out, 0, 0x22, std::uint8_t(0x08 | g.below(8)));  // LFO
    out.push_back(frame % 2 ? 0x62 : 0x63);
}

// The drums in the data block: eight decaying bursts of tone and noise, 2 000 to 5 500 bytes.
constexpr int DRUMS = 8;
constexpr std::uint32_t drumLength(int drum) {
    return 2000 + 500 * std::uint32_t(drum);
}
constexpr std::uint32_t drumStart(int drum) {
    std::uint32_t start = 0;
    for (int d = 0; d < drum; ++d) start += drumLength(d);
    return start;
}
constexpr std::uint32_t PCM_BLOCK_BYTES = drumStart(DRUMS);

void writePcmBlock(Bytes& out, Generator& g) {
    out.insert(out.end(), {0x67, 0x66, 0x00});
    for (int i = 0; i < 4; ++i) out.push_back(std::uint8_t(PCM_BLOCK_BYTES >> (8 * i)));
    for (int drum = 0; drum < DRUMS; ++drum)
        for (std::uint32_t i = 0; i < drumLength(drum); ++i) {
            const int decay = int(127 - 127 * i / drumLength(drum));
            const int tone = (i / (2 + std::uint32_t(drum)) % 2) ? decay : -decay;
            const int noise = int(g.below(std::uint32_t(decay) + 1)) - decay / 2;
            out.push_back(std::uint8_t(128 + (tone + noise) / 2));
        }
    out.insert(out.end(), {0x52, 0x2B, 0x80});  // the DAC in place of FM channel 6
}

// The drum playing across frames: the next byte of the block, and the bytes left of it.
struct DrumPlaying {
    std::uint32_t left = 0;
};

// One frame of a log with DAC drums, of at least 735 samples; returns its samples. A drum
// starts at a frame where none plays, with a seek to its first byte, and plays to its end at
// 22 050 Hz (0x82: a byte, then two samples), the frames' music written between its bytes.
std::uint32_t writeDacFrame(Bytes& out, Generator& g, std::uint32_t frame, DrumPlaying& drum) {
    const int c = int(frame % 6);
    keyWrite(out, c, 0);
    fmWrite(out, c, 0xA4, std::uint8_t(3 << 3 | g.below(8)));
    fmWrite(out, c, 0xA0, g.below(0x100));
    keyWrite(out, c, 0x0F);
    psgWrite(out, std::uint8_t(0x90 | g.below(16)));
    if (drum.left == 0) {
        const int d = g.below(DRUMS);
        const std::uint32_t at = drumStart(d);
        out.insert(out.end(), {0xE0, std::uint8_t(at), std::uint8_t(at >> 8), 0, 0});
        drum.left = drumLength(d);
    }
    std::uint32_t samples = 0;
    for (; samples < FRAME_SAMPLES && drum.left > 0; samples += 2, --drum.left) out.push_back(0x82);
    for (; samples < FRAME_SAMPLES; samples += 16) out.push_back(0x7F);
    return samples;
}

}  // namespace

int main(int argc, char** argv) {
    const bool dac = argc == 4 && std::string(argv[3]) == "--dac";
    if (argc != 3 && !dac) {
        std::fprintf(stderr, "usage: make_dense_vgm SIZE OUTPUT [--dac]\n");
        return 2;
    }
    const std::size_t size = std::strtoull(argv[1], nullptr, 0);
    if (size <= HEADER_SIZE) {
        std::fprintf(stderr, "make_dense_vgm: SIZE must be more than %zu\n", HEADER_SIZE);
        return 2;
    }
    Bytes vgm(HEADER_SIZE, 0);
    const std::size_t frameBytesMax = dac ? DAC_FRAME_BYTES_MAX : FRAME_BYTES_MAX;
    vgm.reserve(size + frameBytesMax);
    Generator g;
    if (dac) writePcmBlock(vgm, g);
    DrumPlaying drum;
    std::uint64_t samples = 0;
    std::uint32_t loopOffset = 0;
    std::uint64_t loopSamples = 0;
    for (std::uint32_t frame = 0; vgm.size() + frameBytesMax < size; ++frame) {
        if (loopOffset == 0 && vgm.size() >= size / 8) {
            loopOffset = std::uint32_t(vgm.size() - 0x1C);
            loopSamples = samples;
        }
        if (dac) {
            samples += writeDacFrame(vgm, g, frame, drum);
        } else {
            writeFrame(vgm, g, frame);
            samples += frame % 2 ? FRAME_SAMPLES : 882;
        }
    }
    // Fill up to the exact size with one-sample waits, then end the data.
    while (vgm.size() + 1 < size) {
        vgm.push_back(0x70);
        ++samples;
    }
    vgm.push_back(0x66);

    vgm[0] = 'V', vgm[1] = 'g', vgm[2] = 'm', vgm[3] = ' ';
    putLong(vgm, 0x04, std::uint32_t(vgm.size() - 4));  // end-of-file offset
    putLong(vgm, 0x08, 0x150);                          // version 1.50
    putLong(vgm, 0x0C, PSG_CLOCK);
    putLong(vgm, 0x18, std::uint32_t(samples));
    putLong(vgm, 0x1C, loopOffset);
    putLong(vgm, 0x20, std::uint32_t(loopOffset ? samples - loopSamples : 0));
    putLong(vgm, 0x2C, FM_CLOCK);
    putLong(vgm, 0x34, 0x0C);  // data at 0x40

    std::FILE* out = std::fopen(argv[2], "wb");
    if (!out || std::fwrite(vgm.data(), 1, vgm.size(), out) != vgm.size() || std::fclose(out)) {
        std::perror(argv[2]);
        return 1;
    }
    return 0;
}
