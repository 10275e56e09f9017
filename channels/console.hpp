// Console messages and the orderly end of the program.
#pragma once

#include <cstdint>
#include <string_view>

// Writes the text unchanged, then CR LF if lineEnd is set. A line goes out in one write once
// it ends; a line not yet ended waits for flushConsole, which the end of a conversion,
// endProgram and an interrupt call.
void printMessage(std::string_view text, bool lineEnd);
// Writes out what printMessage holds. Safe in a signal handler; one that interrupts a flush
// leaves it to finish.
void flushConsole();
// Writes the value in unsigned decimal ("%u"), then CR LF if lineEnd is set.
void printByteValue(std::uint8_t value, bool lineEnd);
// Lets failed writes be reported by the calls that make them instead of ending the process:
// a console that has gone away (SIGPIPE) and a file size limit (SIGXFSZ).
void ignoreWriteSignals();
// Closes every file channel, writing out its buffer, and ends the process.
[[noreturn]] void endProgram(int status);
