// The data disk's boot loader: it fits the boot sector after the BPB, a blank image carries it
// where the sector's branch lands, and it holds the message it prints.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "full/disk/boot_loader.hpp"
#include "full/disk/xdf_image.hpp"

namespace {

TEST(DataDiskBootLoader, FitsTheBootSectorAfterTheBpb) {
    const auto loader = dataDiskBootLoader();
    ASSERT_FALSE(loader.empty());
    EXPECT_LE(loader.size(), XDF_SECTOR_SIZE - XDF_BOOT_LOADER_OFFSET);
    EXPECT_EQ(loader.size() % 2, 0u) << "68000 code is made of whole words";
    // Its first instruction sets the status register (move.w #$2000,sr: 46 FC 20 00), not a
    // placeholder branch to itself.
    ASSERT_GE(loader.size(), 4u);
    EXPECT_EQ(loader[0], 0x46);
    EXPECT_EQ(loader[1], 0xFC);
    EXPECT_EQ(loader[2], 0x20);
    EXPECT_EQ(loader[3], 0x00);
}

TEST(DataDiskBootLoader, SaysItIsNotASystemDiskAndHowToPlayIt) {
    const auto loader = dataDiskBootLoader();
    const std::string text(loader.begin(), loader.end());
    for (const char* words :
         {"not a system disk", "drive 1 (B:)", ".X program", "B:NAME", "press RESET"})
        EXPECT_NE(text.find(words), std::string::npos) << words;
    // The message is NUL-terminated inside the loader, and all of it is ASCII.
    const auto start = text.find("\r\nThis disk");
    ASSERT_NE(start, std::string::npos);
    const auto end = text.find('\0', start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(
        std::all_of(text.begin() + std::ptrdiff_t(start), text.begin() + std::ptrdiff_t(end),
                    [](char c) { return c == '\r' || c == '\n' || (c >= 0x20 && c < 0x7F); }));
}

TEST(DataDiskBootLoader, ABlankImageHoldsItWhereTheBranchLands) {
    XdfImage image;
    const auto loader = dataDiskBootLoader();
    ASSERT_EQ(blankXdfImage(image, loader), "");
    ASSERT_EQ(image.bytes.size(), XDF_IMAGE_SIZE);
    const std::vector<std::uint8_t> head = {0x60, 0x3C, 'X', '6', '8', 'I', 'P', 'L', '3', '0'};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), image.bytes.begin()));
    // bra.s with displacement $3C lands at 2 + $3C = $3E.
    EXPECT_EQ(2u + image.bytes[1], XDF_BOOT_LOADER_OFFSET);
    EXPECT_TRUE(std::equal(loader.begin(), loader.end(),
                           image.bytes.begin() + std::ptrdiff_t(XDF_BOOT_LOADER_OFFSET)));
    // The rest of the boot sector is zero.
    EXPECT_TRUE(
        std::all_of(image.bytes.begin() + std::ptrdiff_t(XDF_BOOT_LOADER_OFFSET + loader.size()),
                    image.bytes.begin() + std::ptrdiff_t(XDF_SECTOR_SIZE),
                    [](std::uint8_t b) { return b == 0; }));
}

}  // namespace
