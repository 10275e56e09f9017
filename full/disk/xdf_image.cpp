#include "full/disk/xdf_image.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "channels/file_channels.hpp"

namespace {

// The 2HD layout: sector 0 boots, FAT copies in sectors 1-2 and 3-4, the root directory in
// sectors 5-10, cluster n in sector 11 + (n - 2).
constexpr std::size_t FAT_OFFSET = 1 * XDF_SECTOR_SIZE;
constexpr std::size_t FAT_SIZE = 2 * XDF_SECTOR_SIZE;
constexpr std::size_t ROOT_OFFSET = 5 * XDF_SECTOR_SIZE;
constexpr int ROOT_ENTRIES = 192;
constexpr std::size_t ENTRY_SIZE = 32;
constexpr std::size_t DATA_OFFSET = 11 * XDF_SECTOR_SIZE;
constexpr int FIRST_CLUSTER = 2;
constexpr int LAST_CLUSTER =
    FIRST_CLUSTER + int((XDF_IMAGE_SIZE - DATA_OFFSET) / XDF_SECTOR_SIZE) - 1;
constexpr std::uint16_t END_OF_CHAIN = 0xFFF;
constexpr std::uint8_t MEDIA_2HD = 0xFE;

constexpr std::uint8_t ATTRIBUTE_VOLUME = 0x08;
constexpr std::uint8_t ATTRIBUTE_FOLDER = 0x10;
constexpr std::uint8_t ATTRIBUTE_ARCHIVE = 0x20;
constexpr std::uint8_t ATTRIBUTE_LONG_NAME = 0x0F;  // a VFAT entry, which Human68k ignores
constexpr std::uint8_t ENTRY_UNUSED = 0x00;         // this and every entry after it
constexpr std::uint8_t ENTRY_REMOVED = 0xE5;
constexpr std::uint8_t ENTRY_E5_NAME = 0x05;  // stands for a name's first byte 0xE5

// bra.s $3E, the system's mark, then the BPB (at byte 11): 1024 bytes/sector, 1 sector per
// cluster, 1 reserved, 2 FATs, 192 root entries, 1232 sectors, media $FE, 2 sectors per FAT,
// 8 sectors per track, 2 heads, no hidden sectors.
constexpr std::uint8_t BOOT_HEAD[] = {
    0x60, 0x3C, 'X',  '6',  '8',  'I',  'P',  'L',  '3',  '0',  0x00, 0x00, 0x04, 0x01, 0x01, 0x00,
    0x02, 0xC0, 0x00, 0xD0, 0x04, 0xFE, 0x02, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr std::size_t BPB_OFFSET = 11;
constexpr std::size_t BPB_SIZE = 17;  // up to the heads; the hidden sectors' count may differ
constexpr std::uint8_t PLACEHOLDER_LOADER[] = {0x60, 0xFE};  // bra.s *

unsigned get16(const std::uint8_t* p) {
    return unsigned(p[0]) | unsigned(p[1]) << 8;
}
std::uint32_t get32(const std::uint8_t* p) {
    return get16(p) | std::uint32_t(get16(p + 2)) << 16;
}
void put16(std::uint8_t* p, unsigned v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}

// FAT12: two entries in three bytes, the odd one in the high 12 bits.
std::uint16_t fatEntry(const XdfImage& image, int cluster) {
    const std::uint8_t* p = image.bytes.data() + FAT_OFFSET + std::size_t(cluster) * 3 / 2;
    const unsigned pair = get16(p);
    return std::uint16_t(cluster & 1 ? pair >> 4 : pair & 0xFFF);
}
void setFatEntry(XdfImage& image, int cluster, std::uint16_t value) {
    std::uint8_t* p = image.bytes.data() + FAT_OFFSET + std::size_t(cluster) * 3 / 2;
    const unsigned pair = get16(p);
    put16(p, cluster & 1 ? (pair & 0x000F) | unsigned(value) << 4
                         : (pair & 0xF000) | (value & 0xFFFu));
}
void copyFirstFat(XdfImage& image) {
    const auto first = image.bytes.begin() + std::ptrdiff_t(FAT_OFFSET);
    std::copy(first, first + std::ptrdiff_t(FAT_SIZE), first + std::ptrdiff_t(FAT_SIZE));
}
bool endsChain(std::uint16_t value) {
    return value >= 0xFF8;
}

std::uint8_t* rootEntry(XdfImage& image, int slot) {
    return image.bytes.data() + ROOT_OFFSET + std::size_t(slot) * ENTRY_SIZE;
}
const std::uint8_t* rootEntry(const XdfImage& image, int slot) {
    return image.bytes.data() + ROOT_OFFSET + std::size_t(slot) * ENTRY_SIZE;
}

// Bytes 0-7 and 12-21 (zero-filled) hold the base, 8-10 the extension, blank-padded.
std::string entryName(const std::uint8_t* entry) {
    std::string base(entry, entry + 8);
    for (int i = 12; i < 22 && entry[i] != 0; ++i) base += char(entry[i]);
    if (!base.empty() && std::uint8_t(base[0]) == ENTRY_E5_NAME) base[0] = char(ENTRY_REMOVED);
    std::string extension(entry + 8, entry + 11);
    base.erase(base.find_last_not_of(' ') + 1);
    extension.erase(extension.find_last_not_of(' ') + 1);
    return extension.empty() ? base : base + "." + extension;
}

bool isLeadByte(std::uint8_t b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
bool isTrailByte(std::uint8_t b) {
    return b >= 0x40 && b <= 0xFC && b != 0x7F;
}

// ASCII letters in capitals, the trail bytes of two-byte characters as they are.
std::string capitals(const std::string& name) {
    std::string out = name;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto b = std::uint8_t(out[i]);
        if (isLeadByte(b))
            ++i;
        else if (b >= 'a' && b <= 'z')
            out[i] = char(b - 'a' + 'A');
    }
    return out;
}

XdfEntry entryAt(const XdfImage& image, int slot) {
    const std::uint8_t* e = rootEntry(image, slot);
    XdfEntry entry;
    entry.name = entryName(e);
    entry.attributes = e[11];
    entry.dosTime = std::uint16_t(get16(e + 22));
    entry.dosDate = std::uint16_t(get16(e + 24));
    entry.firstCluster = std::uint16_t(get16(e + 26));
    entry.size = get32(e + 28);
    entry.slot = slot;
    return entry;
}

bool listedEntry(const std::uint8_t* e) {
    return e[0] != ENTRY_REMOVED && e[11] != ATTRIBUTE_LONG_NAME && (e[11] & ATTRIBUTE_VOLUME) == 0;
}

int freeClusterCount(const XdfImage& image) {
    int count = 0;
    for (int c = FIRST_CLUSTER; c <= LAST_CLUSTER; ++c) count += fatEntry(image, c) == 0;
    return count;
}

// Claims the chain from `first` for `chain`: "" or what is wrong with it. `owner` holds the
// chain each cluster belongs to (0: none yet); `clusters` receives the chain.
std::string claimChain(const XdfImage& image, int first, int chain, std::vector<int>& owner,
                       std::vector<int>& clusters, const std::string& name) {
    int cluster = first;
    while (true) {
        if (cluster < FIRST_CLUSTER || cluster > LAST_CLUSTER)
            return name + "'s chain leads to cluster " + std::to_string(cluster) +
                   ", outside the disk";
        if (owner[std::size_t(cluster)] == chain)
            return name + "'s chain loops back to cluster " + std::to_string(cluster);
        if (owner[std::size_t(cluster)] != 0)
            return name + "'s chain shares cluster " + std::to_string(cluster) +
                   " with another file";
        owner[std::size_t(cluster)] = chain;
        clusters.push_back(cluster);
        const std::uint16_t next = fatEntry(image, cluster);
        if (endsChain(next)) return "";
        if (next == 0) return name + "'s chain runs into free cluster " + std::to_string(cluster);
        cluster = next;
    }
}

// Claims the chains of the directory's entries, and of the folders' in turn.
std::string claimDirectory(const XdfImage& image, const std::vector<const std::uint8_t*>& entries,
                           const std::string& path, int& chains, std::vector<int>& owner) {
    for (const std::uint8_t* e : entries) {
        if (e[0] == ENTRY_UNUSED) break;
        if (!listedEntry(e) || e[0] == '.') continue;
        const std::string name = path + entryName(e);
        const bool folder = (e[11] & ATTRIBUTE_FOLDER) != 0;
        const int first = int(get16(e + 26));
        const std::uint32_t size = get32(e + 28);
        if (first == 0) {
            if (folder || size != 0) return name + " has no clusters";
            continue;
        }
        std::vector<int> clusters;
        if (std::string problem = claimChain(image, first, ++chains, owner, clusters, name);
            !problem.empty())
            return problem;
        if (!folder && std::uint64_t(clusters.size()) * XDF_SECTOR_SIZE < size)
            return name + " holds " + std::to_string(size) + " bytes but its chain only " +
                   std::to_string(clusters.size()) + " clusters";
        if (!folder) continue;
        std::vector<const std::uint8_t*> inner;
        for (const int c : clusters)
            for (std::size_t i = 0; i < XDF_SECTOR_SIZE; i += ENTRY_SIZE)
                inner.push_back(image.bytes.data() + DATA_OFFSET +
                                std::size_t(c - FIRST_CLUSTER) * XDF_SECTOR_SIZE + i);
        if (std::string problem = claimDirectory(image, inner, name + "\\", chains, owner);
            !problem.empty())
            return problem;
    }
    return "";
}

std::uint16_t dosDate(const std::tm& t) {
    return std::uint16_t((t.tm_year + 1900 - 1980) << 9 | (t.tm_mon + 1) << 5 | t.tm_mday);
}
std::uint16_t dosTime(const std::tm& t) {
    return std::uint16_t(t.tm_hour << 11 | t.tm_min << 5 | std::min(t.tm_sec, 59) / 2);
}

}  // namespace

std::string xdfConversionStamp(XdfStamp& stamp) {
    std::tm t{};
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch && *epoch) {
        char* end = nullptr;
        errno = 0;
        const long long seconds = std::strtoll(epoch, &end, 10);
        const auto when = std::time_t(seconds);
        if (*end != 0 || errno != 0 || seconds < 0 || *epoch < '0' || *epoch > '9' ||
            !gmtime_r(&when, &t))
            return "SOURCE_DATE_EPOCH is \"" + std::string(epoch) +
                   "\", not a number of seconds since 1970";
    } else {
        const std::time_t now = std::time(nullptr);
        localtime_r(&now, &t);
    }
    if (t.tm_year + 1900 < 1980)
        stamp = {0, std::uint16_t(1 << 5 | 1)};  // 1980-01-01 00:00
    else if (t.tm_year + 1900 > 2107)
        stamp = {std::uint16_t(23 << 11 | 59 << 5 | 29), std::uint16_t(127 << 9 | 12 << 5 | 31)};
    else
        stamp = {dosTime(t), dosDate(t)};
    return "";
}

std::string blankXdfImage(XdfImage& image, std::span<const std::uint8_t> bootLoader) {
    const std::size_t room = XDF_SECTOR_SIZE - XDF_BOOT_LOADER_OFFSET;
    if (bootLoader.size() > room)
        return "the boot loader holds " + std::to_string(bootLoader.size()) +
               " bytes; the boot sector has room for " + std::to_string(room);
    if (bootLoader.empty()) bootLoader = PLACEHOLDER_LOADER;
    XdfImage blank;
    blank.bytes.assign(XDF_IMAGE_SIZE, 0);
    std::copy(std::begin(BOOT_HEAD), std::end(BOOT_HEAD), blank.bytes.begin());
    std::copy(bootLoader.begin(), bootLoader.end(),
              blank.bytes.begin() + std::ptrdiff_t(XDF_BOOT_LOADER_OFFSET));
    // Entries 0 and 1 hold the media byte and an end of chain.
    setFatEntry(blank, 0, 0xF00 | MEDIA_2HD);
    setFatEntry(blank, 1, END_OF_CHAIN);
    copyFirstFat(blank);
    image = std::move(blank);
    return "";
}

std::string parseXdfImage(std::vector<std::uint8_t> bytes, XdfImage& image) {
    if (bytes.size() != XDF_IMAGE_SIZE)
        return "it holds " + std::to_string(bytes.size()) + " bytes, not the " +
               std::to_string(XDF_IMAGE_SIZE) + " of a 2HD XDF image";
    if (!std::equal(bytes.begin() + BPB_OFFSET, bytes.begin() + BPB_OFFSET + BPB_SIZE,
                    std::begin(BOOT_HEAD) + BPB_OFFSET))
        return "its boot sector's BPB is not that of a 2HD Human68k disk (1024-byte sectors, "
               "1232 of them, media $FE)";
    XdfImage candidate{std::move(bytes)};
    if (fatEntry(candidate, 0) != (0xF00 | MEDIA_2HD))
        return "its FAT does not begin with the media byte $FE";
    for (int c = FIRST_CLUSTER; c <= LAST_CLUSTER; ++c) {
        const std::uint16_t value = fatEntry(candidate, c);
        if (value != 0 && value < 0xFF7 && (value < FIRST_CLUSTER || value > LAST_CLUSTER))
            return "FAT entry " + std::to_string(c) + " is " + std::to_string(value) +
                   ", out of range (clusters 2-" + std::to_string(LAST_CLUSTER) + ")";
    }
    std::vector<const std::uint8_t*> root;
    bool rootFull = true;
    for (int slot = 0; slot < ROOT_ENTRIES; ++slot) {
        root.push_back(rootEntry(candidate, slot));
        rootFull = rootFull && root.back()[0] != ENTRY_UNUSED && root.back()[0] != ENTRY_REMOVED;
    }
    std::vector<int> owner(LAST_CLUSTER + 1, 0);
    int chains = 0;
    if (std::string problem = claimDirectory(candidate, root, "", chains, owner); !problem.empty())
        return problem;
    if (rootFull) return "its root directory is full (192 entries)";
    image = std::move(candidate);
    return "";
}

std::string loadXdfImage(const std::string& path, XdfImage& image) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        return "cannot read " + path + ": it is a folder";
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot read " + path;
    // One byte more than an image, to tell a longer file.
    std::vector<std::uint8_t> bytes(XDF_IMAGE_SIZE + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    if (in.bad()) return "cannot read " + path;
    bytes.resize(std::size_t(in.gcount()));
    if (std::string problem = parseXdfImage(std::move(bytes), image); !problem.empty())
        return path + " is not a disk image to write to: " + problem;
    return "";
}

std::vector<XdfEntry> xdfFiles(const XdfImage& image) {
    std::vector<XdfEntry> files;
    for (int slot = 0; slot < ROOT_ENTRIES; ++slot) {
        const std::uint8_t* e = rootEntry(image, slot);
        if (e[0] == ENTRY_UNUSED) break;
        if (listedEntry(e)) files.push_back(entryAt(image, slot));
    }
    return files;
}

std::int64_t xdfFreeBytes(const XdfImage& image) {
    return std::int64_t(freeClusterCount(image)) * std::int64_t(XDF_SECTOR_SIZE);
}

std::optional<XdfEntry> findXdfFile(const XdfImage& image, const std::string& name) {
    const std::string wanted = capitals(name);
    for (const XdfEntry& entry : xdfFiles(image))
        if (capitals(entry.name) == wanted) return entry;
    return std::nullopt;
}

std::vector<std::uint8_t> readXdfFile(const XdfImage& image, const XdfEntry& file) {
    std::vector<std::uint8_t> contents;
    int cluster = file.firstCluster;
    // A parsed image's chains end and cover their sizes; the count guards any other.
    for (int steps = 0; contents.size() < file.size && steps <= LAST_CLUSTER; ++steps) {
        if (cluster < FIRST_CLUSTER || cluster > LAST_CLUSTER) break;
        const auto start =
            image.bytes.begin() + std::ptrdiff_t(DATA_OFFSET) +
            std::ptrdiff_t(cluster - FIRST_CLUSTER) * std::ptrdiff_t(XDF_SECTOR_SIZE);
        const std::size_t n = std::min<std::size_t>(XDF_SECTOR_SIZE, file.size - contents.size());
        contents.insert(contents.end(), start, start + std::ptrdiff_t(n));
        cluster = fatEntry(image, cluster);
    }
    return contents;
}

std::string xdfNameProblem(const std::string& name) {
    const std::size_t dot = name.find('.');
    const std::string base = name.substr(0, dot);
    const std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (base.empty()) return "the name \"" + name + "\" has nothing before its extension";
    if (base.size() > 18)
        return "the name \"" + name + "\" has more than 18 bytes before its extension";
    if (extension.size() > 3)
        return "the name \"" + name + "\" has an extension of more than 3 bytes";
    for (const std::string* part : {&base, &extension})
        for (std::size_t i = 0; i < part->size(); ++i) {
            const auto b = std::uint8_t((*part)[i]);
            if (isLeadByte(b)) {
                if (i + 1 >= part->size() || !isTrailByte(std::uint8_t((*part)[i + 1])))
                    return "the name \"" + name + "\" holds a Shift-JIS character cut in two";
                ++i;
                continue;
            }
            if (b <= 0x20 || b == 0x7F || (b >= 0x80 && b < 0xA1) || b > 0xDF ||
                std::string_view("\"*+,./:;<=>?[\\]|").find(char(b)) != std::string_view::npos)
                return "the name \"" + name + "\" holds a blank or a character Human68k reserves";
        }
    return "";
}

std::string addXdfFile(XdfImage& image, const std::string& name,
                       std::span<const std::uint8_t> contents, XdfStamp stamp) {
    if (std::string problem = xdfNameProblem(name); !problem.empty()) return problem;
    const std::string stored = capitals(name);
    if (findXdfFile(image, stored)) return "the disk already holds a file named " + stored;
    int slot = 0;
    while (slot < ROOT_ENTRIES && rootEntry(image, slot)[0] != ENTRY_UNUSED &&
           rootEntry(image, slot)[0] != ENTRY_REMOVED)
        ++slot;
    if (slot == ROOT_ENTRIES)
        return "the disk's root directory is full (192 entries): no room for " + stored;
    const std::size_t needed = (contents.size() + XDF_SECTOR_SIZE - 1) / XDF_SECTOR_SIZE;
    if (needed > std::size_t(freeClusterCount(image)))
        return stored + " (" + std::to_string(contents.size()) +
               " bytes) does not fit: the disk has " + std::to_string(xdfFreeBytes(image)) +
               " bytes free";
    if (contents.size() > 0xFFFFFFFFu) return stored + " is too large for a FAT file";

    std::vector<int> clusters;
    for (int c = FIRST_CLUSTER; c <= LAST_CLUSTER && clusters.size() < needed; ++c)
        if (fatEntry(image, c) == 0) clusters.push_back(c);
    for (std::size_t i = 0; i < clusters.size(); ++i) {
        setFatEntry(image, clusters[i],
                    i + 1 < clusters.size() ? std::uint16_t(clusters[i + 1]) : END_OF_CHAIN);
        const std::size_t from = i * XDF_SECTOR_SIZE;
        const std::size_t n = std::min(XDF_SECTOR_SIZE, contents.size() - from);
        const auto sector =
            image.bytes.begin() + std::ptrdiff_t(DATA_OFFSET) +
            std::ptrdiff_t(clusters[i] - FIRST_CLUSTER) * std::ptrdiff_t(XDF_SECTOR_SIZE);
        std::fill_n(sector, XDF_SECTOR_SIZE, 0);
        std::copy_n(contents.begin() + std::ptrdiff_t(from), n, sector);
    }
    copyFirstFat(image);

    const std::size_t dot = stored.find('.');
    const std::string base = stored.substr(0, dot);
    const std::string extension = dot == std::string::npos ? "" : stored.substr(dot + 1);
    std::uint8_t* e = rootEntry(image, slot);
    std::fill_n(e, ENTRY_SIZE, 0);
    std::fill_n(e, 11, ' ');
    std::copy_n(base.begin(), std::min<std::size_t>(base.size(), 8), e);
    if (base.size() > 8) std::copy(base.begin() + 8, base.end(), e + 12);
    std::copy(extension.begin(), extension.end(), e + 8);
    if (e[0] == ENTRY_REMOVED) e[0] = ENTRY_E5_NAME;
    e[11] = ATTRIBUTE_ARCHIVE;
    put16(e + 22, stamp.dosTime);
    put16(e + 24, stamp.dosDate);
    put16(e + 26, clusters.empty() ? 0 : unsigned(clusters.front()));
    put16(e + 28, unsigned(contents.size() & 0xFFFF));
    put16(e + 30, unsigned(contents.size() >> 16));
    return "";
}

bool removeXdfFile(XdfImage& image, const std::string& name) {
    const std::optional<XdfEntry> file = findXdfFile(image, name);
    if (!file || (file->attributes & ATTRIBUTE_FOLDER) != 0) return false;
    int cluster = file->firstCluster;
    for (int steps = 0; steps <= LAST_CLUSTER; ++steps) {
        if (cluster < FIRST_CLUSTER || cluster > LAST_CLUSTER) break;
        const std::uint16_t next = fatEntry(image, cluster);
        setFatEntry(image, cluster, 0);
        cluster = next;
    }
    copyFirstFat(image);
    rootEntry(image, file->slot)[0] = ENTRY_REMOVED;
    return true;
}

std::string replaceXdfFile(XdfImage& image, const std::string& name,
                           std::span<const std::uint8_t> contents, XdfStamp stamp) {
    XdfImage changed = image;
    removeXdfFile(changed, name);
    if (std::string problem = addXdfFile(changed, name, contents, stamp); !problem.empty())
        return problem;
    image = std::move(changed);
    return "";
}

std::string writeXdfImage(const std::string& path, const XdfImage& image) {
    if (!fileReplaceable(path))
        return "cannot write " + path + ": it is a folder or a file this user may not replace";
    const int channel = fileFreeNumber();
    std::string temporary;
    if (channel == 0 || !fileCreateTemporary(path, channel, temporary))
        return "cannot write " + path + ": the folder is missing or not writable";
    const bool wrote =
        fileWrite(channel, 0, image.bytes.data(), int(image.bytes.size())) == FILE_OK;
    const bool closed = fileClose(channel) == FILE_OK;
    if (!wrote || !closed || !fileRename(temporary, path)) {
        fileRemove(temporary);
        return "cannot write " + path + ": the disk is full or the folder not writable";
    }
    return "";
}
