// Numbered binary file channels: the converter's only access to files. Every channel is
// buffered, reads past the end yield zero bytes, and a write error is remembered until the
// channel is closed. A channel opened with readUnpacked on gzip data delivers the
// decompressed bytes: positions, skips and the end test all count decompressed bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

inline constexpr int MAX_FILE_CHANNELS = 255;
inline constexpr int FILE_BUFFER_SIZE = 8192;

enum FileStatus { FILE_OK, FILE_ILLEGAL_CALL, FILE_NOT_FOUND, FILE_IO_ERROR };

enum class FileAccess {
    readOnly,      // an existing regular file, never written, created or shortened
    createNew,     // a file that must not exist yet, created for reading and writing
    readUnpacked,  // as readOnly, but a file that starts with the gzip magic is decompressed
};

struct GzipReader;

// One numbered channel. Single-byte transfers are served from the buffer inline (see
// fileReadByte and fileWriteByte below); everything else goes through the routines.
struct FileChannel {
    bool open = false;
    bool writable = false;  // open on a file created by this program
    int fd = -1;
    FileAccess access = FileAccess::readOnly;
    std::int64_t sizeAtOpen = 0;
    std::int64_t position = 0;  // logical position the caller sees
    std::unique_ptr<std::uint8_t[]> buffer;
    // Read-ahead: bytes [readIndex, readLength) of the buffer come next; the descriptor
    // stands after them. Pending writes: the first writeLength bytes of the buffer, ending
    // at position; the descriptor stands before them. At most one of the two is in use, and
    // both are empty while the channel is closed.
    int readIndex = 0;
    int readLength = 0;
    int writeLength = 0;
    bool writeFailed = false;
    bool unpacking = false;  // reads come from gzip below instead of the descriptor
    std::unique_ptr<GzipReader> gzip;
    ~FileChannel();
};

extern FileChannel fileChannelTable[MAX_FILE_CHANNELS + 1];  // entry 0 is never used

// Lowest number 1..255 with no open channel; 0 when all are open. Reserves nothing.
int fileFreeNumber();
FileStatus fileOpen(const std::string& name, int number, FileAccess access);

// Positions are 1-based; position 0 means the current position. On gzip data a position
// beyond the end of the decompressed data cannot be reached (FILE_IO_ERROR).
// A read always fills all n bytes: those beyond the end of the file are zero.
FileStatus fileRead(int number, std::int32_t position, void* destination, int n);
// Reads capacity - 1 bytes as text that ends at the first zero byte.
FileStatus fileReadText(int number, std::int32_t position, std::string& text, int capacity);
FileStatus fileWrite(int number, std::int32_t position, const void* source, int n);
// Moves forward by up to count bytes without going past the end of the file.
FileStatus fileSkip(int number, std::int64_t count);
// fileAtEnd of a channel that unpacks gzip data, or of a number with no open channel.
bool fileAtEndUnpacking(int number);
// True once the position has reached the length the file had when it was opened; on gzip
// data, once the last decompressed byte has been read (or the data was found damaged).
inline bool fileAtEnd(int number) {
    if (std::uint32_t(number - 1) < MAX_FILE_CHANNELS) [[likely]] {
        const FileChannel& ch = fileChannelTable[number];
        if (ch.open && !ch.unpacking) return ch.position >= ch.sizeAtOpen;
    }
    return fileAtEndUnpacking(number);
}
// True once the gzip data of the channel has turned out corrupt or cut short; the bytes
// that would have followed read as zeros.
bool fileDamaged(int number);
std::int64_t fileOffset(int number);
// Writes out the buffer and closes. FILE_IO_ERROR if any write on the channel failed or its
// gzip data was found damaged.
FileStatus fileClose(int number);
void fileCloseAll();

// Creates a new file named after target (in the same directory) and opens it on the number
// for writing; its name is stored in createdName. Until it is renamed or removed, an
// interrupt (SIGINT, SIGTERM, SIGHUP) removes it before the process ends.
bool fileCreateTemporary(const std::string& target, int number, std::string& createdName);

// fileRead and fileWrite of one byte at the current position, without a call while the
// buffer holds the next byte or has room for one more.
std::uint8_t fileReadByteThroughCall(int number);
inline std::uint8_t fileReadByte(int number) {
    if (std::uint32_t(number - 1) < MAX_FILE_CHANNELS) [[likely]] {
        FileChannel& ch = fileChannelTable[number];
        if (ch.readIndex < ch.readLength) [[likely]] {
            ++ch.position;
            return ch.buffer[std::size_t(ch.readIndex++)];
        }
    }
    return fileReadByteThroughCall(number);
}

inline void fileWriteByte(int number, std::uint8_t b) {
    if (std::uint32_t(number - 1) < MAX_FILE_CHANNELS) {
        FileChannel& ch = fileChannelTable[number];
        if (ch.writable && ch.readLength == 0 && ch.writeLength < FILE_BUFFER_SIZE) {
            ++ch.position;
            ch.buffer[std::size_t(ch.writeLength++)] = b;
            return;
        }
    }
    fileWrite(number, 0, &b, 1);
}

// The bytes a reading channel holds ready at its position, up to the length the file had when
// it was opened, for a reader that takes several at a time; fileConsume moves past them.
struct FileReadWindow {
    const std::uint8_t* bytes;
    int count;
};
inline FileReadWindow fileReadWindow(int number) {
    if (std::uint32_t(number - 1) < MAX_FILE_CHANNELS) {
        const FileChannel& ch = fileChannelTable[number];
        if (ch.open && ch.readIndex < ch.readLength) {
            std::int64_t count = ch.readLength - ch.readIndex;
            if (!ch.unpacking) count = std::min(count, ch.sizeAtOpen - ch.position);
            return {ch.buffer.get() + ch.readIndex, int(std::max<std::int64_t>(count, 0))};
        }
    }
    return {nullptr, 0};
}
// count must not exceed the count of the window last taken.
inline void fileConsume(int number, int count) {
    if (std::uint32_t(number - 1) >= MAX_FILE_CHANNELS) return;
    FileChannel& ch = fileChannelTable[number];
    ch.readIndex += count;
    ch.position += count;
}

// Whole-file operations used around the output.
bool fileExists(const std::string& name);
// True when the name is free, or names a regular file this process may replace.
bool fileReplaceable(const std::string& name);
bool fileRename(const std::string& from, const std::string& to);
void fileRemove(const std::string& name);
