#include "channels/console.hpp"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

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

}  // namespace

void printMessage(std::string_view text, bool lineEnd) {
    writeOut(text.data(), text.size());
    if (lineEnd) writeOut("\r\n", 2);
}

void printByteValue(std::uint8_t value, bool lineEnd) {
    char digits[8];
    const int n = std::snprintf(digits, sizeof digits, "%u", unsigned(value));
    printMessage(std::string_view(digits, std::size_t(n)), lineEnd);
}

void ignoreWriteSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

void endProgram(int status) {
    fileCloseAll();
    std::exit(status);
}
