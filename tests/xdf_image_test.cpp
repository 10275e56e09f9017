// 2HD floppy images: what we write mtools reads back, damaged images are refused with what is
// wrong, and the Human68k system disk takes our files beside its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "full/disk/xdf_image.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Scratch {
    fs::path path;
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "xdf-test-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~Scratch() { fs::remove_all(path); }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

Bytes readWhole(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes pattern(std::size_t size, unsigned seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = std::uint8_t((i * 7 + seed * 131 + i / 1024));
    return bytes;
}

bool haveMtools() {
    return std::system("command -v mdir >/dev/null 2>&1 && command -v mcopy >/dev/null 2>&1") == 0;
}

// mtools's listing of the image's root, or "" when it refuses the image.
std::string mdir(const std::string& image, const std::string& listing) {
    const std::string command =
        "MTOOLS_SKIP_CHECK=1 mdir -i '" + image + "' :: >'" + listing + "' 2>&1";
    if (std::system(command.c_str()) != 0) return "";
    const Bytes text = readWhole(listing);
    return std::string(text.begin(), text.end());
}

// The file as mtools copies it out of the image.
Bytes mcopy(const std::string& image, const std::string& name, const std::string& out) {
    const std::string command = "MTOOLS_SKIP_CHECK=1 mcopy -n -o -i '" + image + "' '::" + name +
                                "' '" + out + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) return {};
    return readWhole(out);
}

// FAT12 entry `cluster` of the first FAT, set in both copies.
void setFat(Bytes& bytes, int cluster, unsigned value) {
    for (const std::size_t fat : {1024u, 3072u}) {
        std::uint8_t* p = bytes.data() + fat + std::size_t(cluster) * 3 / 2;
        if (cluster & 1) {
            p[0] = std::uint8_t((p[0] & 0x0F) | (value << 4 & 0xF0));
            p[1] = std::uint8_t(value >> 4);
        } else {
            p[0] = std::uint8_t(value);
            p[1] = std::uint8_t((p[1] & 0xF0) | (value >> 8 & 0x0F));
        }
    }
}

const XdfStamp STAMP{0x6000, 0x5C74};  // 2026-03-20 12:00

XdfImage blank() {
    XdfImage image;
    EXPECT_EQ(blankXdfImage(image), "");
    return image;
}

const std::string KATAKANA_SONIC = "\x83\x5C\x83\x6A\x83\x62\x83\x4E";  // ソニック, 0x5C inside

TEST(XdfImage, BlankDiskHasHuman68kBootSectorBpbAndEmptyFat) {
    const XdfImage image = blank();
    ASSERT_EQ(image.bytes.size(), XDF_IMAGE_SIZE);
    const Bytes head = {0x60, 0x3C, 'X',  '6',  '8',  'I',  'P',  'L',  '3',  '0',
                        0x00, 0x00, 0x04, 0x01, 0x01, 0x00, 0x02, 0xC0, 0x00, 0xD0,
                        0x04, 0xFE, 0x02, 0x00, 0x08, 0x00, 0x02, 0x00};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), image.bytes.begin()));
    // The placeholder loader loops where the branch lands.
    EXPECT_EQ(image.bytes[0x3E], 0x60);
    EXPECT_EQ(image.bytes[0x3F], 0xFE);
    for (const std::size_t fat : {1024u, 3072u}) {
        EXPECT_EQ(image.bytes[fat], 0xFE);
        EXPECT_EQ(image.bytes[fat + 1], 0xFF);
        EXPECT_EQ(image.bytes[fat + 2], 0xFF);
    }
    EXPECT_EQ(xdfFreeBytes(image), 1221 * 1024);
    EXPECT_TRUE(xdfFiles(image).empty());
    const Bytes loader = {0x4E, 0x75, 0x12, 0x34};
    XdfImage loaded;
    ASSERT_EQ(blankXdfImage(loaded, loader), "");
    EXPECT_TRUE(std::equal(loader.begin(), loader.end(), loaded.bytes.begin() + 0x3E));
    XdfImage parsed;
    EXPECT_EQ(parseXdfImage(image.bytes, parsed), "");
    EXPECT_EQ(blankXdfImage(loaded, Bytes(1024 - 0x3E, 0x4E)), "");
    EXPECT_NE(blankXdfImage(loaded, Bytes(1024 - 0x3E + 1, 0x4E)).find("room for 962"),
              std::string::npos);
    EXPECT_EQ(loaded.bytes[1023], 0x4E);  // the loader that fits, left by the one refused
}

TEST(XdfImage, FilesWrittenAreReadBackByUsAndByMtools) {
    struct Case {
        std::string name;
        std::size_t size;
        bool shortName;  // 8.3, which mtools can copy
    };
    const std::vector<Case> cases = {
        {"EMPTY.TXT", 0, true},
        {"ONE.X", 1, true},
        {"SECTOR.X", 1024, true},
        {"SECTOR1.X", 1025, true},
        {"song.x", 100000, true},  // stored in capitals
        {"ABCDEFGHIJKLMNOPQR.PDX", 5000, false},
        {KATAKANA_SONIC + "ABCDEFGHIJ.X", 3000, false},
        {"\xE5\x40.X", 20, false},    // a first byte 0xE5, held as 0x05 (0xE5 marks removed)
        {"\xB1\xB2.DAT", 10, false},  // half-width katakana, which mtools maps to its code page
    };
    Scratch dir;
    XdfImage image = blank();
    std::int64_t used = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        ASSERT_EQ(addXdfFile(image, cases[i].name, pattern(cases[i].size, unsigned(i)), STAMP), "")
            << cases[i].name;
        used += std::int64_t((cases[i].size + 1023) / 1024 * 1024);
    }
    EXPECT_EQ(xdfFreeBytes(image), 1221 * 1024 - used);
    const std::string path = dir.file("songs.xdf");
    ASSERT_EQ(writeXdfImage(path, image), "");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);

    XdfImage again;
    ASSERT_EQ(loadXdfImage(path, again), "");
    const std::vector<XdfEntry> files = xdfFiles(again);
    ASSERT_EQ(files.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::string upper = cases[i].name;
        if (upper == "song.x") upper = "SONG.X";
        EXPECT_EQ(files[i].name, upper);
        EXPECT_EQ(files[i].size, cases[i].size);
        EXPECT_EQ(files[i].dosDate, STAMP.dosDate);
        EXPECT_EQ(readXdfFile(again, files[i]), pattern(cases[i].size, unsigned(i))) << upper;
    }
    // A 19th byte of name lives nowhere: bytes 12-21 of the entry hold exactly 10.
    const std::uint8_t* longEntry = again.bytes.data() + 5 * 1024 + 5 * 32;
    EXPECT_EQ(std::string(longEntry + 12, longEntry + 22), "IJKLMNOPQR");

    if (!haveMtools()) GTEST_SKIP() << "mtools is not installed (Debian: mtools)";
    const std::string listing = mdir(path, dir.file("listing"));
    ASSERT_NE(listing, "") << "mdir refuses the image";
    EXPECT_NE(listing.find("SECTOR1"), std::string::npos) << listing;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (!cases[i].shortName) continue;
        EXPECT_EQ(mcopy(path, files[i].name, dir.file("out")), pattern(cases[i].size, unsigned(i)))
            << files[i].name;
    }
}

TEST(XdfImage, FilesHuman68kCannotHoldAreRefusedNamingWhy) {
    struct Case {
        std::string name;
        std::size_t size;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"ABCDEFGHIJKLMNOPQRS.X", 1, "more than 18 bytes"},
        {"SONG.XDFX", 1, "more than 3 bytes"},
        {".X", 1, "nothing before"},
        {"MY SONG.X", 1, "blank"},
        {"A*B.X", 1, "reserves"},
        {"A.B.C", 1, "reserves"},
        {"\x83.X", 1, "cut in two"},
        {"TAKEN.X", 1, "already holds"},
        {"taken.x", 1, "already holds"},
        {"HUGE.X", 1221 * 1024 - 1024 + 1, "does not fit"},
    };
    XdfImage image = blank();
    ASSERT_EQ(addXdfFile(image, "TAKEN.X", pattern(1000, 1), STAMP), "");
    const Bytes before = image.bytes;
    for (const Case& c : cases) {
        const std::string problem = addXdfFile(image, c.name, pattern(c.size, 2), STAMP);
        EXPECT_NE(problem.find(c.why), std::string::npos) << c.name << ": " << problem;
        EXPECT_EQ(image.bytes, before) << c.name;
    }
    EXPECT_EQ(addXdfFile(image, "JUST.X", pattern(1220 * 1024, 3), STAMP), "");
    EXPECT_EQ(xdfFreeBytes(image), 0);

    XdfImage full = blank();
    for (int i = 0; i < 192; ++i)
        ASSERT_EQ(addXdfFile(full, "F" + std::to_string(i), {}, STAMP), "");
    const std::string problem = addXdfFile(full, "ONEMORE.X", {}, STAMP);
    EXPECT_NE(problem.find("root directory is full"), std::string::npos) << problem;
}

TEST(XdfImage, DamagedOrForeignImagesAreRefusedSayingWhatIsWrong) {
    // A.X in clusters 2-4, B.X in 5-6.
    XdfImage good = blank();
    ASSERT_EQ(addXdfFile(good, "A.X", pattern(3000, 1), STAMP), "");
    ASSERT_EQ(addXdfFile(good, "B.X", pattern(2000, 2), STAMP), "");
    XdfImage full = blank();
    for (int i = 0; i < 192; ++i)
        ASSERT_EQ(addXdfFile(full, "F" + std::to_string(i), {}, STAMP), "");
    struct Case {
        const char* fault;
        void (*damage)(Bytes&);
        const char* why;
    };
    const std::vector<Case> cases = {
        {"one byte short", [](Bytes& b) { b.pop_back(); }, "not the 1261568"},
        {"a 1.44 MB PC floppy", [](Bytes& b) { b.resize(1474560); }, "not the 1261568"},
        {"two sectors per cluster", [](Bytes& b) { b[13] = 2; }, "not that of a 2HD"},
        {"512-byte sectors",
         [](Bytes& b) {
             b[11] = 0;
             b[12] = 2;
         },
         "not that of a 2HD"},
        {"media $F0", [](Bytes& b) { b[21] = 0xF0; }, "not that of a 2HD"},
        {"FAT without media byte", [](Bytes& b) { b[1024] = 0xF9; }, "media byte"},
        {"FAT entry past the disk", [](Bytes& b) { setFat(b, 3, 1300); }, "out of range"},
        {"FAT entry 1", [](Bytes& b) { setFat(b, 100, 1); }, "out of range"},
        {"chain that loops", [](Bytes& b) { setFat(b, 4, 2); }, "loops"},
        {"chain shared", [](Bytes& b) { setFat(b, 6, 3); }, "shares cluster 3"},
        {"chain into a free cluster", [](Bytes& b) { setFat(b, 3, 0); }, "free cluster"},
        {"size beyond its chain", [](Bytes& b) { b[5 * 1024 + 28 + 1] = 0x20; }, "only 3 clusters"},
        {"first cluster past the disk", [](Bytes& b) { b[5 * 1024 + 27] = 0x0F; }, "outside"},
    };
    for (const Case& c : cases) {
        Bytes bytes = good.bytes;
        c.damage(bytes);
        XdfImage parsed;
        const std::string problem = parseXdfImage(bytes, parsed);
        EXPECT_NE(problem.find(c.why), std::string::npos) << c.fault << ": " << problem;
        EXPECT_TRUE(parsed.bytes.empty()) << c.fault;
    }
    XdfImage parsed;
    EXPECT_NE(parseXdfImage(full.bytes, parsed).find("root directory is full"), std::string::npos);

    // A folder whose file claims A.X's first cluster: folders are walked too.
    XdfImage withFolder = good;
    Bytes folder(1024, 0);
    const std::string inner = "INNER   X  ";
    std::copy(inner.begin(), inner.end(), folder.begin());
    folder[26] = 2;  // A.X's first cluster
    folder[28] = 10;
    ASSERT_EQ(addXdfFile(withFolder, "SUB", folder, STAMP), "");
    std::uint8_t* subEntry = withFolder.bytes.data() + 5 * 1024 + 2 * 32;
    subEntry[11] = 0x10;
    subEntry[28] = subEntry[29] = 0;
    const std::string shared = parseXdfImage(withFolder.bytes, parsed);
    EXPECT_NE(shared.find("SUB\\INNER.X's chain shares cluster 2"), std::string::npos) << shared;

    Scratch dir;
    const std::string path = dir.file("short.xdf");
    std::ofstream(path) << "X68IPL30";
    const std::string problem = loadXdfImage(path, parsed);
    EXPECT_NE(problem.find(path), std::string::npos) << problem;
    EXPECT_NE(problem.find("holds 8 bytes"), std::string::npos) << problem;
    EXPECT_NE(loadXdfImage(dir.file("absent.xdf"), parsed).find("cannot read"), std::string::npos);
    EXPECT_NE(loadXdfImage(dir.path.string(), parsed).find("it is a folder"), std::string::npos);
}

TEST(XdfImage, RemovedAndReplacedFilesFreeTheirClusters) {
    XdfImage image = blank();
    ASSERT_EQ(addXdfFile(image, "AUTOEXEC.BAT", pattern(5000, 1), STAMP), "");
    ASSERT_EQ(addXdfFile(image, "KEEP.X", pattern(2000, 2), STAMP), "");
    const std::int64_t free = xdfFreeBytes(image);
    ASSERT_EQ(replaceXdfFile(image, "autoexec.bat", pattern(100, 3), STAMP), "");
    EXPECT_EQ(xdfFreeBytes(image), free + 4 * 1024);
    const std::optional<XdfEntry> replaced = findXdfFile(image, "AUTOEXEC.BAT");
    ASSERT_TRUE(replaced);
    EXPECT_EQ(readXdfFile(image, *replaced), pattern(100, 3));
    EXPECT_EQ(readXdfFile(image, *findXdfFile(image, "KEEP.X")), pattern(2000, 2));
    // Too large a replacement leaves the old file in place.
    const Bytes before = image.bytes;
    EXPECT_NE(replaceXdfFile(image, "AUTOEXEC.BAT", pattern(1221 * 1024, 4), STAMP), "");
    EXPECT_EQ(image.bytes, before);
    EXPECT_TRUE(removeXdfFile(image, "KEEP.X"));
    EXPECT_FALSE(removeXdfFile(image, "KEEP.X"));
    EXPECT_FALSE(findXdfFile(image, "KEEP.X"));
    XdfImage parsed;
    EXPECT_EQ(parseXdfImage(image.bytes, parsed), "");
    EXPECT_EQ(xdfFreeBytes(parsed), 1220 * 1024);
}

TEST(XdfImage, SourceDateEpochGivesTheSameBytesTwice) {
    struct Case {
        const char* epoch;
        int year, month, day, hour, minute, second;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"1700000000", 2023, 11, 14, 22, 13, 20, true},
        {"0", 1980, 1, 1, 0, 0, 0, true},  // before the FAT's first day
        {"315532800", 1980, 1, 1, 0, 0, 0, true},
        {"4354819200", 2107, 12, 31, 23, 59, 58, true},  // 2108-01-01: after its last
        {"17e8", 0, 0, 0, 0, 0, 0, false},
        {"-1", 0, 0, 0, 0, 0, 0, false},
        {" 1", 0, 0, 0, 0, 0, 0, false},
        {"99999999999999999999", 0, 0, 0, 0, 0, 0, false},
    };
    for (const Case& c : cases) {
        ::setenv("SOURCE_DATE_EPOCH", c.epoch, 1);
        XdfStamp stamp;
        const std::string problem = xdfConversionStamp(stamp);
        if (!c.valid) {
            EXPECT_NE(problem.find("not a number of seconds"), std::string::npos) << c.epoch;
            continue;
        }
        EXPECT_EQ(problem, "") << c.epoch;
        EXPECT_EQ(stamp.dosDate, (c.year - 1980) << 9 | c.month << 5 | c.day) << c.epoch;
        EXPECT_EQ(stamp.dosTime, c.hour << 11 | c.minute << 5 | c.second / 2) << c.epoch;
    }

    Scratch dir;
    ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    for (const char* name : {"one.xdf", "two.xdf"}) {
        XdfImage image = blank();
        XdfStamp stamp;
        ASSERT_EQ(xdfConversionStamp(stamp), "");
        ASSERT_EQ(addXdfFile(image, "SONG.X", pattern(7000, 1), stamp), "");
        ASSERT_EQ(writeXdfImage(dir.file(name), image), "");
    }
    ::unsetenv("SOURCE_DATE_EPOCH");
    EXPECT_EQ(readWhole(dir.file("one.xdf")), readWhole(dir.file("two.xdf")));
}

TEST(XdfImage, WritingReplacesAtomicallyOrLeavesNothing) {
    Scratch dir;
    const std::string path = dir.file("disk.xdf");
    std::ofstream(path) << "old";
    ASSERT_EQ(writeXdfImage(path, blank()), "");
    EXPECT_EQ(readWhole(path).size(), XDF_IMAGE_SIZE);
    const std::string missing = dir.file("no/such/folder/disk.xdf");
    EXPECT_NE(writeXdfImage(missing, blank()).find("cannot write " + missing), std::string::npos);
    EXPECT_NE(writeXdfImage(dir.path.string(), blank()).find("folder"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST(XdfImage, Human68kSystemDiskIsListedAndTakesAFileBesideItsOwn) {
    const std::string original = std::string(X68K_MAME_DIR) + "/HUMAN302.XDF";
    if (!fs::exists(original)) GTEST_SKIP() << "no Human68k system disk at " << original;
    XdfImage system;
    ASSERT_EQ(loadXdfImage(original, system), "");
    const std::vector<XdfEntry> files = xdfFiles(system);
    struct Known {
        const char* name;
        std::uint32_t size;
    };
    for (const Known& known : {Known{"COMMAND.X", 28382}, Known{"AUTOEXEC.BAT", 179},
                               Known{"CONFIG.SYS", 468}, Known{"HUMAN.SYS", 58496}}) {
        const std::optional<XdfEntry> entry = findXdfFile(system, known.name);
        ASSERT_TRUE(entry) << known.name;
        EXPECT_EQ(entry->size, known.size) << known.name;
    }
    ASSERT_TRUE(findXdfFile(system, "BIN"));
    EXPECT_EQ(findXdfFile(system, "BIN")->attributes & 0x10, 0x10);
    EXPECT_EQ(xdfFreeBytes(system), 232448);  // as mdir counts it

    Scratch dir;
    XdfImage copy = system;
    const Bytes song = pattern(50000, 9);
    ASSERT_EQ(addXdfFile(copy, "SONG.X", song, STAMP), "");
    const Bytes autoexec = {'S', 'O', 'N', 'G', '\r', '\n'};
    ASSERT_EQ(replaceXdfFile(copy, "AUTOEXEC.BAT", autoexec, STAMP), "");
    const std::string path = dir.file("system.xdf");
    ASSERT_EQ(writeXdfImage(path, copy), "");
    XdfImage again;
    ASSERT_EQ(loadXdfImage(path, again), "");
    EXPECT_EQ(xdfFreeBytes(again), 232448 - 49 * 1024);
    EXPECT_EQ(readXdfFile(again, *findXdfFile(again, "SONG.X")), song);
    for (const XdfEntry& file : files) {
        if (file.name == "AUTOEXEC.BAT" || (file.attributes & 0x10)) continue;
        const std::optional<XdfEntry> kept = findXdfFile(again, file.name);
        ASSERT_TRUE(kept) << file.name;
        EXPECT_EQ(kept->firstCluster, file.firstCluster) << file.name;
        EXPECT_EQ(readXdfFile(again, *kept), readXdfFile(system, file)) << file.name;
    }
    // The boot sector and every cluster in use before, in folders too, are as they were (but
    // the old AUTOEXEC.BAT's).
    EXPECT_TRUE(std::equal(system.bytes.begin(), system.bytes.begin() + 1024, again.bytes.begin()));
    const int oldAutoexec = findXdfFile(system, "AUTOEXEC.BAT")->firstCluster;
    int clustersKept = 0;
    for (int cluster = 2; cluster <= 1222; ++cluster) {
        const std::size_t fat = 1024 + std::size_t(cluster) * 3 / 2;
        const unsigned pair = system.bytes[fat] | unsigned(system.bytes[fat + 1]) << 8;
        if ((cluster & 1 ? pair >> 4 : pair & 0xFFF) == 0 || cluster == oldAutoexec) continue;
        const auto start = std::ptrdiff_t(11 * 1024 + (cluster - 2) * 1024);
        EXPECT_TRUE(std::equal(system.bytes.begin() + start, system.bytes.begin() + start + 1024,
                               again.bytes.begin() + start))
            << "cluster " << cluster;
        ++clustersKept;
    }
    EXPECT_EQ(clustersKept, 1221 - 232448 / 1024 - 1);

    if (!haveMtools()) GTEST_SKIP() << "mtools is not installed (Debian: mtools)";
    EXPECT_NE(mdir(path, dir.file("listing")).find("SONG"), std::string::npos);
    EXPECT_EQ(mcopy(path, "SONG.X", dir.file("out")), song);
    EXPECT_EQ(mcopy(path, "AUTOEXEC.BAT", dir.file("out")), autoexec);
    EXPECT_EQ(mcopy(path, "COMMAND.X", dir.file("out")),
              readXdfFile(system, *findXdfFile(system, "COMMAND.X")));
}

}  // namespace
