// Executables and runs of opmdump for its tests.
#pragma once

#include <string>
#include <vector>

#include "tests/test_support.hpp"

// A stand-in player stub whose header holds a text size below 16 MiB, as a real one does:
// the converter leaves the size field's top byte as the stub has it.
Bytes makeDumpStub();

// An executable around the given stream, with the text size patched as the converter does.
Bytes makeExecutable(const Bytes& stream);

// A stream that replays: the prologue, then the given pairs, then the end marker.
Bytes streamWith(const Bytes& pairs);

// A program of opmcast-full with drums: a bank of three samples (0: 100 bytes at 15625 Hz,
// 1: left out, 2: 5 bytes at 7813 Hz), started and stopped by the stream in every way it can.
struct DrumProgram {
    Bytes stream;
    Bytes bank;
    Bytes program;
};
DrumProgram drumProgram();

// An executable broken in one way, and the offset at which the break is reported.
struct MalformedFile {
    std::string name;
    Bytes bytes;
    std::uint64_t offset;
    std::string says = "";  // a part of the message, where it matters
};
std::vector<MalformedFile> malformedExecutables();

struct DumpResult {
    int exitStatus = -1;
    std::string out;
    std::string err;
};
DumpResult runDump(const std::vector<std::string>& args);

// The text of a field of a one-line JSON object: a number, a quoted text with its quotes, an
// array or an object; empty when the key is absent.
std::string jsonField(const std::string& line, const std::string& key);
