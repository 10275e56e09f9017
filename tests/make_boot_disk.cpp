// make_boot_disk IMAGE [CGROM]: writes a blank data disk with the data disk's boot loader to
// IMAGE, and with CGROM a stand-in for the X68000's 768 KiB character generator ROM in which
// every byte of a glyph of the 8x16 ASCII font (at offset $3A800, 16 bytes a character) is the
// character's code, so that text the IOCS draws can be read back from text VRAM.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "full/disk/boot_loader.hpp"
#include "full/disk/xdf_image.hpp"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: make_boot_disk IMAGE [CGROM]\n");
        return 2;
    }
    XdfImage image;
    std::string problem = blankXdfImage(image, dataDiskBootLoader());
    if (problem.empty()) problem = writeXdfImage(argv[1], image);
    if (!problem.empty()) {
        std::fprintf(stderr, "make_boot_disk: %s\n", problem.c_str());
        return 1;
    }
    if (argc == 3) {
        std::vector<char> rom(786432);
        for (std::size_t offset = 0; offset < rom.size(); ++offset)
            rom[offset] = char(((offset >> 4) - 0x3A80) & 0xFF);
        std::ofstream out(argv[2], std::ios::binary);
        out.write(rom.data(), std::streamsize(rom.size()));
        if (!out) {
            std::fprintf(stderr, "make_boot_disk: cannot write %s\n", argv[2]);
            return 1;
        }
    }
    return 0;
}
