// What a program printed through the DOS console: the screen it leaves, and its lines as they
// were printed.

#include "opm_sim.hpp"

namespace opmsim {

std::vector<std::string> screenLines(const SimResult& result) {
    std::vector<std::string> lines(1);
    std::size_t row = 0, column = 0;
    for (const ConsoleText& text : result.console) {
        for (const char byte : text.bytes) {
            if (byte == '\r') {
                column = 0;
            } else if (byte == '\n') {
                if (++row == lines.size()) lines.emplace_back();
                column = 0;
            } else if (byte == '\b') {
                if (column > 0) --column;
            } else {
                std::string& line = lines[row];
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
        for (const char byte : text.bytes) {
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
