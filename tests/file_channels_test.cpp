#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "channels/console.hpp"
#include "channels/file_channels.hpp"
#include "tests/test_support.hpp"

namespace {

int openOn(const std::string& name, FileAccess access) {
    const int number = fileFreeNumber();
    EXPECT_EQ(fileOpen(name, number, access), FILE_OK) << name;
    return number;
}

TEST(FileChannels, NumbersAreReusedLowestFirstAndRunOutAt255) {
    ScratchDir dir;
    writeFile(dir.file("f"), {1, 2, 3});
    const int first = openOn(dir.file("f"), FileAccess::readOnly);
    const int second = openOn(dir.file("f"), FileAccess::readOnly);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
    EXPECT_EQ(fileFreeNumber(), 3);
    EXPECT_EQ(fileOpen(dir.file("f"), 2, FileAccess::readOnly), FILE_ILLEGAL_CALL);
    fileClose(first);
    EXPECT_EQ(fileFreeNumber(), 1);
    while (fileFreeNumber() != 0) openOn(dir.file("f"), FileAccess::readOnly);
    EXPECT_EQ(fileOpen(dir.file("f"), 0, FileAccess::readOnly), FILE_ILLEGAL_CALL);
    EXPECT_EQ(fileOpen(dir.file("f"), 256, FileAccess::readOnly), FILE_ILLEGAL_CALL);
    fileCloseAll();
    EXPECT_EQ(fileFreeNumber(), 1);
}

TEST(FileChannels, ReadOnlyOpenNeverCreatesOrChangesAFile) {
    ScratchDir dir;
    EXPECT_EQ(fileOpen(dir.file("missing"), 1, FileAccess::readOnly), FILE_NOT_FOUND);
    EXPECT_FALSE(fileExists(dir.file("missing")));
    EXPECT_EQ(fileFreeNumber(), 1);

    writeFile(dir.file("input"), {9, 8, 7});
    const int n = openOn(dir.file("input"), FileAccess::readOnly);
    const std::uint8_t b = 0x55;
    EXPECT_EQ(fileWrite(n, 0, &b, 1), FILE_IO_ERROR);
    EXPECT_EQ(fileClose(n), FILE_OK);
    EXPECT_EQ(readFile(dir.file("input")), (Bytes{9, 8, 7}));
}

TEST(FileChannels, OnlyRegularFilesAreReadAndAFifoDoesNotBlock) {
    ScratchDir dir;
    EXPECT_EQ(fileOpen(dir.path.string(), 1, FileAccess::readOnly), FILE_NOT_FOUND);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(fileOpen(dir.file("fifo"), 1, FileAccess::readOnly), FILE_NOT_FOUND);
    EXPECT_EQ(fileOpen("/dev/zero", 1, FileAccess::readOnly), FILE_NOT_FOUND);
}

TEST(FileChannels, CreateNewRefusesAnExistingFile) {
    ScratchDir dir;
    writeFile(dir.file("old"), {1, 2});
    EXPECT_EQ(fileOpen(dir.file("old"), 1, FileAccess::createNew), FILE_NOT_FOUND);
    EXPECT_EQ(readFile(dir.file("old")), (Bytes{1, 2}));
    EXPECT_EQ(fileOpen(dir.file("nodir/new"), 1, FileAccess::createNew), FILE_NOT_FOUND);
}

TEST(FileChannels, EndOfFileIsSeenRightAfterTheLastByte) {
    ScratchDir dir;
    writeFile(dir.file("five"), {10, 11, 12, 13, 14});
    const int n = openOn(dir.file("five"), FileAccess::readOnly);
    std::uint8_t b = 0;
    for (int i = 0; i < 4; ++i) fileRead(n, 0, &b, 1);
    EXPECT_FALSE(fileAtEnd(n));
    fileRead(n, 0, &b, 1);
    EXPECT_EQ(b, 14);
    EXPECT_TRUE(fileAtEnd(n));
    b = 0xAA;
    EXPECT_EQ(fileRead(n, 0, &b, 1), FILE_OK);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(fileOffset(n), 5);
    fileClose(n);

    writeFile(dir.file("empty"), {});
    const int e = openOn(dir.file("empty"), FileAccess::readOnly);
    EXPECT_TRUE(fileAtEnd(e));
    std::uint8_t word[2] = {0xAA, 0xAA};
    EXPECT_EQ(fileRead(e, 0, word, 2), FILE_OK);
    EXPECT_EQ(word[0] | word[1], 0);
    fileClose(e);
}

TEST(FileChannels, ShortReadsFillTheMissingHighBytesWithZero) {
    ScratchDir dir;
    writeFile(dir.file("f"), {0xFF, 0x02, 0x01});
    const int n = openOn(dir.file("f"), FileAccess::readOnly);
    std::uint8_t b = 0;
    fileRead(n, 0, &b, 1);
    std::uint8_t value[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(fileRead(n, 0, value, 4), FILE_OK);
    EXPECT_EQ(value[0] | value[1] << 8 | value[2] << 16 | value[3] << 24, 258);
    EXPECT_EQ(fileOffset(n), 3);
    fileClose(n);
}

TEST(FileChannels, ExplicitPositionsAreOneBased) {
    ScratchDir dir;
    const int n = openOn(dir.file("out"), FileAccess::createNew);
    const Bytes zeros(20, 0);
    fileWrite(n, 0, zeros.data(), int(zeros.size()));
    const std::uint8_t a = 0xA1, b = 0xB2, c = 0xC3;
    fileWrite(n, 14, &a, 1);
    fileWrite(n, 0, &b, 1);
    fileWrite(n, 0, &c, 1);
    EXPECT_EQ(fileOffset(n), 16);
    EXPECT_EQ(fileWrite(n, -1, &a, 1), FILE_ILLEGAL_CALL);
    EXPECT_EQ(fileClose(n), FILE_OK);
    const Bytes out = readFile(dir.file("out"));
    ASSERT_EQ(out.size(), 20u);
    EXPECT_EQ(out[13], 0xA1);
    EXPECT_EQ(out[14], 0xB2);
    EXPECT_EQ(out[15], 0xC3);
    EXPECT_EQ(out[12], 0);
    EXPECT_EQ(out[16], 0);
}

TEST(FileChannels, SingleByteTransfersSurviveManyBufferRefills) {
    ScratchDir dir;
    Bytes data(3 * FILE_BUFFER_SIZE + 17);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 31 + i / 251);
    const int out = openOn(dir.file("big"), FileAccess::createNew);
    for (std::uint8_t b : data) fileWrite(out, 0, &b, 1);
    EXPECT_EQ(fileOffset(out), std::int64_t(data.size()));
    EXPECT_EQ(fileClose(out), FILE_OK);
    EXPECT_EQ(readFile(dir.file("big")), data);

    const int in = openOn(dir.file("big"), FileAccess::readOnly);
    Bytes back;
    while (!fileAtEnd(in)) {
        std::uint8_t b;
        fileRead(in, 0, &b, 1);
        back.push_back(b);
    }
    EXPECT_EQ(back, data);
    std::uint8_t b = 0;
    fileRead(in, 2, &b, 1);  // back to offset 1
    EXPECT_EQ(b, data[1]);
    EXPECT_EQ(fileOffset(in), 2);
    fileClose(in);
}

TEST(FileChannels, SkipStopsAtTheEndOfTheFile) {
    ScratchDir dir;
    Bytes data(FILE_BUFFER_SIZE * 2 + 5);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i);
    writeFile(dir.file("f"), data);
    const int n = openOn(dir.file("f"), FileAccess::readOnly);
    std::uint8_t b;
    fileRead(n, 0, &b, 1);
    fileSkip(n, 10);  // inside the read-ahead
    fileRead(n, 0, &b, 1);
    EXPECT_EQ(b, data[11]);
    fileSkip(n, FILE_BUFFER_SIZE + 100);  // beyond it
    fileRead(n, 0, &b, 1);
    EXPECT_EQ(b, data[12 + FILE_BUFFER_SIZE + 100]);
    fileSkip(n, 0x7FFFFFFF);
    EXPECT_EQ(fileOffset(n), std::int64_t(data.size()));
    EXPECT_TRUE(fileAtEnd(n));
    fileClose(n);
}

TEST(FileChannels, ClosedNumbersAreRefused) {
    std::uint8_t b = 0x5A;
    EXPECT_EQ(fileRead(7, 0, &b, 1), FILE_ILLEGAL_CALL);
    EXPECT_EQ(b, 0x5A);
    EXPECT_EQ(fileWrite(7, 0, &b, 1), FILE_ILLEGAL_CALL);
    EXPECT_EQ(fileClose(7), FILE_ILLEGAL_CALL);
    EXPECT_TRUE(fileAtEnd(7));
    EXPECT_EQ(fileOffset(7), 0);
}

TEST(FileChannels, IdentificationTextEndsAtTheFileOrAZeroByte) {
    ScratchDir dir;
    writeFile(dir.file("vgm"), {'V', 'g', 'm', ' ', 0x50});
    writeFile(dir.file("short"), {'V', 'g'});
    writeFile(dir.file("zero"), {'V', 0, 'm', ' '});
    for (const auto& [name, expected] :
         {std::pair{"vgm", "Vgm "}, std::pair{"short", "Vg"}, std::pair{"zero", "V"}}) {
        const int n = openOn(dir.file(name), FileAccess::readOnly);
        std::string text;
        EXPECT_EQ(fileReadText(n, 0, text, 5), FILE_OK);
        EXPECT_EQ(text, expected);
        fileClose(n);
    }
}

std::string captureStdout(void (*print)()) {
    ScratchDir dir;
    const int saved = ::dup(STDOUT_FILENO);
    const int fd = ::open(dir.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
    ::dup2(fd, STDOUT_FILENO);
    print();
    flushConsole();
    ::dup2(saved, STDOUT_FILENO);
    ::close(fd);
    ::close(saved);
    const Bytes bytes = readFile(dir.file("out"));
    return std::string(bytes.begin(), bytes.end());
}

TEST(Console, MessagesEndWithCarriageReturnLineFeed) {
    EXPECT_EQ(captureStdout([] { printMessage("not Vgm :( ", true); }), "not Vgm :( \r\n");
    EXPECT_EQ(captureStdout([] {
                  printMessage("unexpected byte ", false);
                  printByteValue(49, true);
              }),
              "unexpected byte 49\r\n");
    EXPECT_EQ(captureStdout([] { printByteValue(0, true); }), "0\r\n");
    EXPECT_EQ(captureStdout([] { printByteValue(255, false); }), "255");
    EXPECT_EQ(captureStdout([] { printMessage("", true); }), "\r\n");
}

}  // namespace
