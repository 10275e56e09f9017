#include "channels/file_channels.hpp"

#include "channels/console.hpp"
#include "channels/gzip_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <utility>

FileChannel fileChannelTable[MAX_FILE_CHANNELS + 1];

FileChannel::~FileChannel() = default;

namespace {

FileChannel* openChannel(int number) {
    if (number < 1 || number > MAX_FILE_CHANNELS || !fileChannelTable[number].open) return nullptr;
    return &fileChannelTable[number];
}

void flushWrites(FileChannel& ch) {
    int done = 0;
    while (done < ch.writeLength) {
        const ssize_t n = ::write(ch.fd, ch.buffer.get() + done, size_t(ch.writeLength - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // The rest is lost; keep the descriptor in step with the logical position.
            ch.writeFailed = true;
            ::lseek(ch.fd, ch.position, SEEK_SET);
            break;
        }
        done += int(n);
    }
    ch.writeLength = 0;
}

// Gives the read-ahead back so that the descriptor stands at the logical position.
void dropReadAhead(FileChannel& ch) {
    if (ch.readIndex < ch.readLength) ::lseek(ch.fd, ch.position, SEEK_SET);
    ch.readIndex = ch.readLength = 0;
}

bool refill(FileChannel& ch) {
    if (ch.unpacking) {
        ch.readIndex = 0;
        ch.readLength = gzipRead(*ch.gzip, ch.buffer.get(), FILE_BUFFER_SIZE);
        return ch.readLength > 0;
    }
    for (;;) {
        const ssize_t n = ::read(ch.fd, ch.buffer.get(), FILE_BUFFER_SIZE);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A file shortened since it was opened, or one that cannot be read any further,
            // ends here.
            ch.sizeAtOpen = std::min(ch.sizeAtOpen, ch.position);
            return false;
        }
        ch.readIndex = 0;
        ch.readLength = int(n);
        return true;
    }
}

// Reads and discards up to count bytes, stopping at the end of the data.
void readThrough(FileChannel& ch, std::int64_t count) {
    while (count > 0 && (ch.readIndex < ch.readLength || refill(ch))) {
        const int take = int(std::min<std::int64_t>(count, ch.readLength - ch.readIndex));
        ch.readIndex += take;
        ch.position += take;
        count -= take;
    }
}

// Moves to an explicit 1-based position; 0 keeps the current one. Decompressed data is
// passed over forwards; going back decompresses again from the start of the file.
bool seekTo(FileChannel& ch, std::int32_t position) {
    if (position == 0) return true;
    if (ch.unpacking) {
        const std::int64_t target = std::int64_t(position) - 1;
        if (target < ch.position) {
            ch.readIndex = ch.readLength = 0;
            ch.position = 0;
            if (::lseek(ch.fd, 0, SEEK_SET) != 0 || !gzipBegin(*ch.gzip, ch.fd)) return false;
        }
        readThrough(ch, target - ch.position);
        return ch.position == target;
    }
    flushWrites(ch);
    ch.readIndex = ch.readLength = 0;
    if (::lseek(ch.fd, std::int64_t(position) - 1, SEEK_SET) < 0) {
        ::lseek(ch.fd, ch.position, SEEK_SET);
        return false;
    }
    ch.position = std::int64_t(position) - 1;
    return true;
}

int openDescriptor(const std::string& name, FileAccess access) {
    if (access == FileAccess::createNew)
        return ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    // Non-blocking, so that a FIFO cannot hold the open; only regular files are accepted.
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int fileFreeNumber() {
    for (int number = 1; number <= MAX_FILE_CHANNELS; ++number)
        if (!fileChannelTable[number].open) return number;
    return 0;
}

FileStatus fileOpen(const std::string& name, int number, FileAccess access) {
    if (number < 1 || number > MAX_FILE_CHANNELS || fileChannelTable[number].open)
        return FILE_ILLEGAL_CALL;
    const int fd = openDescriptor(name, access);
    if (fd < 0) return FILE_NOT_FOUND;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size < 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
        ::close(fd);
        return FILE_ILLEGAL_CALL;
    }
    FileChannel& ch = fileChannelTable[number];
    ch.unpacking = access == FileAccess::readUnpacked && gzipMagicAt(fd);
    if (ch.unpacking) {
        if (!ch.gzip) ch.gzip = std::make_unique<GzipReader>();
        if (!gzipBegin(*ch.gzip, fd)) {
            ::close(fd);
            ch.unpacking = false;
            return FILE_IO_ERROR;
        }
    }
    if (!ch.buffer) ch.buffer = std::make_unique<std::uint8_t[]>(FILE_BUFFER_SIZE);
    ch.open = true;
    ch.fd = fd;
    ch.access = access;
    ch.writable = access == FileAccess::createNew;
    ch.sizeAtOpen = size;
    ch.position = 0;
    ch.readIndex = ch.readLength = ch.writeLength = 0;
    ch.writeFailed = false;
    return FILE_OK;
}

FileStatus fileRead(int number, std::int32_t position, void* destination, int n) {
    FileChannel* ch = openChannel(number);
    if (!ch || position < 0) return FILE_ILLEGAL_CALL;
    if (!seekTo(*ch, position)) return FILE_IO_ERROR;
    flushWrites(*ch);
    auto* out = static_cast<std::uint8_t*>(destination);
    int got = 0;
    while (got < n) {
        if (ch->readIndex == ch->readLength && !refill(*ch)) break;
        const int take = std::min(n - got, ch->readLength - ch->readIndex);
        std::memcpy(out + got, ch->buffer.get() + ch->readIndex, size_t(take));
        ch->readIndex += take;
        got += take;
    }
    std::memset(out + got, 0, size_t(n - got));
    ch->position += got;
    return FILE_OK;
}

FileStatus fileReadText(int number, std::int32_t position, std::string& text, int capacity) {
    char bytes[256] = {};
    const int n = std::clamp(capacity - 1, 0, int(sizeof bytes) - 1);
    const FileStatus status = fileRead(number, position, bytes, n);
    if (status != FILE_OK) return status;
    text.assign(bytes, ::strnlen(bytes, size_t(n)));
    return FILE_OK;
}

FileStatus fileWrite(int number, std::int32_t position, const void* source, int n) {
    FileChannel* ch = openChannel(number);
    if (!ch || position < 0) return FILE_ILLEGAL_CALL;
    if (!seekTo(*ch, position)) return FILE_IO_ERROR;
    if (ch->access != FileAccess::createNew) return FILE_IO_ERROR;
    dropReadAhead(*ch);
    const bool failedBefore = ch->writeFailed;
    const auto* in = static_cast<const std::uint8_t*>(source);
    for (int done = 0; done < n;) {
        if (ch->writeLength == FILE_BUFFER_SIZE) flushWrites(*ch);
        const int take = std::min(n - done, FILE_BUFFER_SIZE - ch->writeLength);
        std::memcpy(ch->buffer.get() + ch->writeLength, in + done, size_t(take));
        ch->writeLength += take;
        ch->position += take;
        done += take;
    }
    return ch->writeFailed && !failedBefore ? FILE_IO_ERROR : FILE_OK;
}

FileStatus fileSkip(int number, std::int64_t count) {
    FileChannel* ch = openChannel(number);
    if (!ch) return FILE_ILLEGAL_CALL;
    flushWrites(*ch);
    if (ch->unpacking) {
        readThrough(*ch, count);
        return FILE_OK;
    }
    const std::int64_t step = std::min(count, ch->sizeAtOpen - ch->position);
    if (step <= 0) return FILE_OK;
    if (step <= ch->readLength - ch->readIndex) {
        ch->readIndex += int(step);
    } else {
        ch->readIndex = ch->readLength = 0;
        if (::lseek(ch->fd, ch->position + step, SEEK_SET) < 0) return FILE_IO_ERROR;
    }
    ch->position += step;
    return FILE_OK;
}

std::uint8_t fileReadByteThroughCall(int number) {
    std::uint8_t b = 0;
    fileRead(number, 0, &b, 1);
    return b;
}

bool fileAtEndUnpacking(int number) {
    FileChannel* ch = openChannel(number);
    if (ch && ch->unpacking) return ch->readIndex == ch->readLength && !refill(*ch);
    return !ch || ch->position >= ch->sizeAtOpen;
}

bool fileDamaged(int number) {
    const FileChannel* ch = openChannel(number);
    return ch && ch->unpacking && ch->gzip->damaged;
}

std::int64_t fileOffset(int number) {
    const FileChannel* ch = openChannel(number);
    return ch ? ch->position : 0;
}

FileStatus fileClose(int number) {
    FileChannel* ch = openChannel(number);
    if (!ch) return FILE_ILLEGAL_CALL;
    flushWrites(*ch);
    bool failed = ch->writeFailed;
    if (ch->unpacking) {
        failed = failed || ch->gzip->damaged;
        gzipEnd(*ch->gzip);
        ch->unpacking = false;
    }
    failed = ::close(ch->fd) != 0 || failed;
    ch->open = false;
    ch->writable = false;
    ch->fd = -1;
    ch->readIndex = ch->readLength = ch->writeLength = 0;
    return failed ? FILE_IO_ERROR : FILE_OK;
}

void fileCloseAll() {
    for (int number = 1; number <= MAX_FILE_CHANNELS; ++number)
        if (fileChannelTable[number].open) fileClose(number);
}

namespace {

// The temporary output of the run, removed if the process is interrupted before it is
// renamed into place. A fixed buffer, since the signal handler may not allocate.
char pendingTemporary[4096];
volatile std::sig_atomic_t temporaryPending = 0;

void removeTemporaryAndStop(int signal) {
    if (temporaryPending) ::unlink(pendingTemporary);
    flushConsole();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void setPendingTemporary(const std::string& name) {
    temporaryPending = 0;
    if (name.size() >= sizeof pendingTemporary) return;
    std::memcpy(pendingTemporary, name.c_str(), name.size() + 1);
    temporaryPending = 1;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, removeTemporaryAndStop);
}

}  // namespace

bool fileCreateTemporary(const std::string& target, int number, std::string& createdName) {
    const std::string stem = target + ".tmp" + std::to_string(::getpid());
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = attempt == 0 ? stem : stem + "-" + std::to_string(attempt);
        const FileStatus status = fileOpen(name, number, FileAccess::createNew);
        if (status == FILE_OK) {
            // Only a file this run created may be removed on an interrupt.
            setPendingTemporary(name);
            createdName = std::move(name);
            return true;
        }
        if (status != FILE_NOT_FOUND || errno != EEXIST) return false;
    }
    return false;
}

bool fileExists(const std::string& name) {
    struct stat st;
    return ::lstat(name.c_str(), &st) == 0;
}

bool fileReplaceable(const std::string& name) {
    struct stat st;
    if (::stat(name.c_str(), &st) != 0) return errno == ENOENT;
    return S_ISREG(st.st_mode) && ::access(name.c_str(), W_OK) == 0;
}

bool fileRename(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return false;
    temporaryPending = 0;
    return true;
}

void fileRemove(const std::string& name) {
    ::unlink(name.c_str());
    temporaryPending = 0;
}
