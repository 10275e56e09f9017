#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "channels/file_channels.hpp"
#include "tests/gzip_support.hpp"
#include "tests/test_support.hpp"

namespace {

int openUnpacked(const std::string& name) {
    const int number = fileFreeNumber();
    EXPECT_EQ(fileOpen(name, number, FileAccess::readUnpacked), FILE_OK) << name;
    return number;
}

// Reads byte by byte for as long as the channel says it is not at its end.
Bytes readUntilEnd(int number) {
    Bytes back;
    while (!fileAtEnd(number)) {
        std::uint8_t b = 0xAA;
        fileRead(number, 0, &b, 1);
        back.push_back(b);
    }
    return back;
}

TEST(GzipChannel, DeliversTheDecompressedBytesAndEndsRightAfterTheLast) {
    ScratchDir dir;
    const Bytes data = concat({noise(3 * FILE_BUFFER_SIZE + 17), Bytes(100000, 0x62)});
    writeFile(dir.file("f.vgz"), gzipped(data));
    const int n = openUnpacked(dir.file("f.vgz"));
    EXPECT_EQ(readUntilEnd(n), data);
    EXPECT_EQ(fileOffset(n), std::int64_t(data.size()));
    std::uint8_t word[2] = {1, 1};
    EXPECT_EQ(fileRead(n, 0, word, 2), FILE_OK);
    EXPECT_EQ(word[0] | word[1], 0);
    EXPECT_EQ(fileOffset(n), std::int64_t(data.size()));
    EXPECT_FALSE(fileDamaged(n));
    const std::uint8_t b = 0;
    EXPECT_EQ(fileWrite(n, 0, &b, 1), FILE_IO_ERROR);
    EXPECT_EQ(fileClose(n), FILE_OK);

    writeFile(dir.file("empty.vgz"), gzipped({}));
    const int e = openUnpacked(dir.file("empty.vgz"));
    EXPECT_TRUE(fileAtEnd(e));
    EXPECT_EQ(fileClose(e), FILE_OK);
}

TEST(GzipChannel, ReadsMembersInTurnAndIgnoresPaddingAfterTheLast) {
    ScratchDir dir;
    const Bytes a = noise(5000, 7), b = noise(20000, 8);
    writeFile(dir.file("f"), concat({gzipped(a), gzipped({}), gzipped(b, 1), Bytes(300, 0)}));
    const int n = openUnpacked(dir.file("f"));
    EXPECT_EQ(readUntilEnd(n), concat({a, b}));
    EXPECT_EQ(fileClose(n), FILE_OK);
}

TEST(GzipChannel, OtherFilesReadAsTheyAre) {
    ScratchDir dir;
    for (const Bytes& data : {Bytes{'V', 'g', 'm', ' ', 1}, Bytes{0x1F, 0x8C, 2}, Bytes{0x1F}}) {
        writeFile(dir.file("plain"), data);
        const int n = openUnpacked(dir.file("plain"));
        EXPECT_EQ(readUntilEnd(n), data);
        EXPECT_EQ(fileClose(n), FILE_OK);
    }
}

TEST(GzipChannel, SkipsAndPositionsCountDecompressedBytes) {
    ScratchDir dir;
    const Bytes data = noise(4 * FILE_BUFFER_SIZE);
    writeFile(dir.file("f"), gzipped(data));
    const int n = openUnpacked(dir.file("f"));
    std::uint8_t b = 0;
    fileSkip(n, 10);
    fileRead(n, 0, &b, 1);
    EXPECT_EQ(b, data[10]);
    fileSkip(n, 2 * FILE_BUFFER_SIZE);
    fileRead(n, 0, &b, 1);
    EXPECT_EQ(b, data[11 + 2 * FILE_BUFFER_SIZE]);
    EXPECT_EQ(fileRead(n, 3 * FILE_BUFFER_SIZE + 1, &b, 1), FILE_OK);  // offset 3 * 8192
    EXPECT_EQ(b, data[3 * FILE_BUFFER_SIZE]);
    fileSkip(n, 0x7FFFFFFF);
    EXPECT_EQ(fileOffset(n), std::int64_t(data.size()));
    EXPECT_TRUE(fileAtEnd(n));

    EXPECT_EQ(fileRead(n, 6, &b, 1), FILE_OK);  // back: offset 5
    EXPECT_EQ(b, data[5]);
    EXPECT_FALSE(fileAtEnd(n));
    b = 0x5A;
    EXPECT_EQ(fileRead(n, 4 * FILE_BUFFER_SIZE + 2, &b, 1), FILE_IO_ERROR);  // past the end
    EXPECT_EQ(b, 0x5A);
    EXPECT_TRUE(fileAtEnd(n));
    EXPECT_EQ(fileClose(n), FILE_OK);
}

TEST(GzipChannel, DamageEndsTheDataAndIsReported) {
    ScratchDir dir;
    const Bytes data = noise(3 * FILE_BUFFER_SIZE);
    const Bytes packed = gzipped(data);
    Bytes badChecksum = packed;
    badChecksum[packed.size() - 8] ^= 0x01;  // CRC-32 of the trailer
    Bytes badLength = packed;
    badLength[packed.size() - 1] ^= 0x80;  // ISIZE
    Bytes badHeader = packed;
    badHeader[2] = 7;  // compression method other than deflate
    const Bytes cut(packed.begin(), packed.begin() + std::ptrdiff_t(packed.size() / 2));
    const Bytes cutInTrailer(packed.begin(), packed.end() - 3);
    for (const Bytes& damaged : {badChecksum, badLength, badHeader, cut, cutInTrailer}) {
        writeFile(dir.file("f"), damaged);
        const int n = openUnpacked(dir.file("f"));
        const Bytes back = readUntilEnd(n);
        EXPECT_TRUE(fileDamaged(n));
        EXPECT_LE(back.size(), data.size());
        EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin()));
        EXPECT_TRUE(fileAtEnd(n));
        EXPECT_EQ(fileClose(n), FILE_IO_ERROR);
    }
}

}  // namespace
