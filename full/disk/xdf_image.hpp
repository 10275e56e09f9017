// 2HD floppy images (XDF) as Human68k formats them: 1232 sectors of 1024 bytes, the boot
// sector with its BPB, two copies of a FAT12, a root directory of 192 entries, then the
// clusters (one sector each). Human68k's directory entry is the FAT one with bytes 12-21
// holding a name's characters 9-18, so a name is up to 18 + 3 bytes of Shift-JIS.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

inline constexpr std::size_t XDF_IMAGE_SIZE = 1261568;
inline constexpr std::size_t XDF_SECTOR_SIZE = 1024;
// Where sector 0's bra.s lands: the boot loader's first byte.
inline constexpr std::size_t XDF_BOOT_LOADER_OFFSET = 0x3E;

struct XdfImage {
    std::vector<std::uint8_t> bytes;  // the whole image, XDF_IMAGE_SIZE bytes
};

// A file or folder of the root directory. `name` is its Shift-JIS bytes, "BASE.EXT" (no dot
// without an extension).
struct XdfEntry {
    std::string name;
    std::uint32_t size = 0;
    std::uint16_t firstCluster = 0;
    std::uint8_t attributes = 0;  // 0x10: a folder
    std::uint16_t dosTime = 0;
    std::uint16_t dosDate = 0;
    int slot = 0;  // its place in the root directory
};

// A file's time and date as the FAT holds them.
struct XdfStamp {
    std::uint16_t dosTime = 0;
    std::uint16_t dosDate = 0;
};

// SOURCE_DATE_EPOCH's time (UTC) when it is set, else the local time now, so that two runs
// with it set write the same bytes: "" or why not (it is not a number of seconds). Times
// outside the FAT's 1980-2107 are held as its first or last day.
std::string xdfConversionStamp(XdfStamp& stamp);

// A blank data disk: "X68IPL30" and the 2HD BPB in sector 0, `bootLoader` where the branch
// lands, empty FATs and root; "" or why not (a loader longer than the rest of the sector). An
// empty loader stands for a placeholder that loops where it starts (bra.s *).
std::string blankXdfImage(XdfImage& image, std::span<const std::uint8_t> bootLoader = {});

// Takes `bytes` as an image when it is a sound 2HD Human68k disk: "" or what is wrong (wrong
// size, BPB not 2HD, FAT entries out of range, a chain that loops or is shared, the root
// directory full).
std::string parseXdfImage(std::vector<std::uint8_t> bytes, XdfImage& image);
// The same for the image file at `path`.
std::string loadXdfImage(const std::string& path, XdfImage& image);

// The root directory's files and folders (not the volume label), in their order.
std::vector<XdfEntry> xdfFiles(const XdfImage& image);
// Bytes in free clusters.
std::int64_t xdfFreeBytes(const XdfImage& image);

// The root entry named `name` (Shift-JIS, ASCII letters in any case).
std::optional<XdfEntry> findXdfFile(const XdfImage& image, const std::string& name);
// The contents of a file of the root directory.
std::vector<std::uint8_t> readXdfFile(const XdfImage& image, const XdfEntry& file);

// Why Human68k cannot hold the name (Shift-JIS bytes, "BASE.EXT"), "" when it can.
std::string xdfNameProblem(const std::string& name);

// Puts a file into the root directory and the lowest free clusters: "" or why it cannot (a
// name Human68k cannot hold or already taken, a full root directory, not enough room). The
// image is unchanged when it fails. ASCII letters of the name are stored in capitals.
std::string addXdfFile(XdfImage& image, const std::string& name,
                       std::span<const std::uint8_t> contents, XdfStamp stamp);
// Removes a file of the root directory and frees its clusters; false when there is none of
// that name (or it is a folder).
bool removeXdfFile(XdfImage& image, const std::string& name);
// Gives the file `name` new contents (adding it if absent): "" or why not, the image unchanged.
std::string replaceXdfFile(XdfImage& image, const std::string& name,
                           std::span<const std::uint8_t> contents, XdfStamp stamp);

// Writes the image under a temporary name beside `path` and renames it into place: "" or why
// it could not be written (nothing is left behind then).
std::string writeXdfImage(const std::string& path, const XdfImage& image);
