// Whole conversions run inside the calling process, and the properties every one of them
// must have whatever its input: shared by the fuzz target and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// Base name of the conversions run here: "song.vgm" becomes "song.x".
inline const char* const CHECK_BASE_NAME = "song";

struct ConversionResult {
    int exitStatus = -1;
    std::string console;             // what the conversion wrote to standard output
    bool outputExists = false;       // "song.x" after the run
    Bytes output;                    // its contents
    Bytes inputAfter;                // "song.vgm" after the run
    Bytes stubAfter;                 // "vgmstub.bin" after the run
    std::vector<std::string> extra;  // any other entry of the directory after the run
    int freeChannel = 0;             // lowest free file channel number after the run
};

// Writes vgm as "song.vgm" into the current directory, which must hold "vgmstub.bin" and
// nothing else, runs the conversion with standard output captured, and collects the result.
// "song.vgm" and "song.x" are removed again afterwards.
ConversionResult convertInProcess(const Bytes& vgm);

// Empty when the result has every property a conversion must have; otherwise a description
// of the first one it lacks. The properties:
// - the run either succeeded (status 0) or failed with its one message (status 1); a plain
//   input succeeds exactly when it starts with "Vgm " and its command data does not hold
//   commands for other chips without one YM2612 or SN76489 write;
// - on success the output is the stub head (text size patched to L - 76), the prologue,
//   pairs ending in exactly one end marker, then the 12-byte stub tail; at most one loop
//   marker and none when the header has no loop; only the registers the converter drives;
//   no register written again with the value it already holds; and the console holds only
//   "unexpected byte N" lines;
// - on failure there is no output;
// - in either case no other file is left behind, the input and the stub are unchanged and
//   every file channel is closed.
std::string checkConversion(const Bytes& vgm, const Bytes& stub, const Bytes& prologue,
                            const ConversionResult& result);
