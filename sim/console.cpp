// What a program printed through the DOS console: the screen it leaves, and its lines as they
// were printed.

#include <algorithm>

#include "opm_sim.hpp"

namespace opmsim {

namespace {

// The length of the escape sequence ESC [ numbers letter at `at` of `bytes` (0: none there),
// its numbers (1 when left out) and its letter.
std::size_t escapeSequence(const std::string& bytes, std::size_t at, int numbers[2], char& letter) {
    if (bytes[at] != '\x1b' || at + 1 >= bytes.size() || bytes[at + 1] != '[') return 0;
    numbers[0] = numbers[1] = -1;
    int count = 0;
    for (std::size_t i = at + 2; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c >= '0' && c <= '9') {
            if (count == 0) count = 1;
            numbers[count - 1] = std::max(numbers[count - 1], 0) * 10 + (c - '0');
        } else if (c == ';' && count < 2) {
            count = 2;
        } else {
            letter = c;
            return i + 1 - at;
        }
    }
    return 0;
}

}  // namespace

std::vector<std::string> screenLines(const SimResult& result) {
    std::vector<std::string> lines(1);
    std::size_t row = 0, column = 0;
    const auto toRow = [&lines](std::size_t r) {
        if (lines.size() <= r) lines.resize(r + 1);
    };
    for (const ConsoleText& text : result.console) {
        const std::string& bytes = text.bytes;
        for (std::size_t at = 0; at < bytes.size(); ++at) {
            const char byte = bytes[at];
            int numbers[2];
            char letter = 0;
            if (const std::size_t length = escapeSequence(bytes, at, numbers, letter)) {
                if (letter == 'H') {  // the cursor to row;column, from 1
                    row = std::size_t(std::max(numbers[0], 1) - 1);
                    column = std::size_t(std::max(numbers[1], 1) - 1);
                    toRow(row);
                } else if (letter == 'J' && numbers[0] == 2) {  // all erased
                    lines.assign(row + 1, "");
                } else if (letter == 'J' && numbers[0] == 1) {  // up to the cursor
                    for (std::size_t r = 0; r < row; ++r) lines[r].clear();
                    lines[row].replace(0, std::min(column + 1, lines[row].size()),
                                       std::min(column + 1, lines[row].size()), ' ');
                } else if (letter == 'J') {  // from the cursor on
                    lines.resize(row + 1);
                    if (lines[row].size() > column) lines[row].resize(column);
                }
                at += length - 1;
            } else if (byte == '\r') {
                column = 0;
            } else if (byte == '\n') {
                toRow(++row);
                column = 0;
            } else if (byte == '\b') {
                if (column > 0) --column;
            } else {
                std::string& line = lines[row];
                if (column > line.size()) line.resize(column, ' ');
                if (column < line.size()) {
                    line[column] = byte;
                } else {
                    line.push_back(byte);
                }
                ++column;
            }
        }
    }
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

std::vector<PrintedLine> printedLines(const SimResult& result) {
    std::vector<PrintedLine> lines;
    PrintedLine current;
    auto close = [&lines, &current] {
        if (!current.text.empty()) lines.push_back(current);
        current.text.clear();
    };
    for (const ConsoleText& text : result.console) {
        const std::string& bytes = text.bytes;
        for (std::size_t at = 0; at < bytes.size(); ++at) {
            const char byte = bytes[at];
            int numbers[2];
            char letter = 0;
            if (const std::size_t length = escapeSequence(bytes, at, numbers, letter)) {
                close();  // the cursor moved or the screen was erased
                at += length - 1;
                continue;
            }
            if (byte == '\r' || byte == '\n') {
                close();
                continue;
            }
            if (current.text.empty()) current.startNs = text.timeNs;
            current.endNs = text.timeNs;
            current.text.push_back(byte);
        }
    }
    close();
    return lines;
}

}  // namespace opmsim
