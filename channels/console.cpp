#include "channels/console.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "channels/file_channels.hpp"

namespace {

void writeOut(const char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere left to report to
        bytes += n;
        length -= std::size_t(n);
    }
}

// A message goes out in one write when its line ends (or the buffer fills, or the run ends),
// rather than a write per piece: a log with thousands of unrecognised commands prints
// thousands of lines.
char pending[32768];
std::size_t pendingLength = 0;
// Set while the buffer is being written: an interrupt that arrives then leaves it alone
// rather than write the same text twice.
volatile std::sig_atomic_t flushing = 0;

void append(const char* bytes, std::size_t length) {
    if (length <= sizeof pending - pendingLength) [[likely]] {
        std::memcpy(pending + pendingLength, bytes, length);
        pendingLength += length;
        return;
    }
    while (length > 0) {
        if (pendingLength == sizeof pending) flushConsole();
        const std::size_t n = std::min(length, sizeof pending - pendingLength);
        std::memcpy(pending + pendingLength, bytes, n);
        pendingLength += n;
        bytes += n;
        length -= n;
    }
}

}  // namespace

void printMessage(std::string_view text, bool lineEnd) {
    append(text.data(), text.size());
    if (!lineEnd) return;
    append("\r\n", 2);
    flushConsole();
}

void flushConsole() {
    if (flushing) return;
    flushing = 1;
    writeOut(pending, pendingLength);
    pendingLength = 0;
    flushing = 0;
}

void printByteValue(std::uint8_t value, bool lineEnd) {
    char digits[3];  // unsigned decimal, as %u prints it
    std::size_t start = sizeof digits;
    do {
        digits[--start] = char('0' + value % 10);
        value = std::uint8_t(value / 10);
    } while (value != 0);
    printMessage(std::string_view(digits + start, sizeof digits - start), lineEnd);
}

void ignoreWriteSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

void endProgram(int status) {
    flushConsole();
    fileCloseAll();
    std::exit(status);
}
