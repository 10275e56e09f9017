// The one run state of a conversion, owned by the driver and handed by reference to every
// routine of the command loop.
#pragma once

#include <cstdint>
#include <string>

#include "translate/opm_image.hpp"

// RegisterStream bytes gathered before they go to the output channel, several pairs at a time.
inline constexpr int STREAM_BUFFER_SIZE = 8192;
struct StreamBuffer {
    std::uint8_t bytes[STREAM_BUFFER_SIZE];
    int length = 0;
};

struct RunState {
    std::string outputName;     // base name + ".x"
    std::string temporaryName;  // where the output is written until it is complete
    int inputChannel = 0;
    int stubChannel = 0;
    int outputChannel = 0;
    std::int32_t inputPos = 0;   // absolute offset of the next unread input byte
    std::int32_t loopPoint = 0;  // input offset of the loop point; 0 when none is pending
    bool loopMarkerWritten = false;
    std::int32_t sampleBacklog = 0;  // VGM samples not yet turned into ticks
    std::uint32_t pendingTicks = 0;  // ticks not yet written as a wait
    bool forceFlush = false;         // write the pending wait even if no register changed
    bool otherChipCommand = false;   // a command for some other chip was passed over
    StreamBuffer stream;             // pairs not yet handed to the output channel (drainStream)
    OpmShadow shadow{};
    SourceLatches latches{};
};

// Converts baseName + ".vgm" (or, when that does not exist, baseName + ".vgz", or baseName
// itself when it ends in one of the two) into a ".x" with the player from "vgmstub.bin" in the
// current folder, or, when there is no such name there, from installedStub (the installed
// copy; none when empty). Gzip input is decompressed as it is read. Prints its own messages
// and returns the exit status.
int runConversion(const std::string& baseName, const std::string& installedStub);

struct InputChoice {
    std::string inputName;
    std::string outputBase;  // the output is this + ".x"
};

// BASE.vgm, else BASE.vgz, else BASE itself when the name typed already carries one of the
// two extensions (the output then drops it). Nothing found: BASE.vgm, which is reported.
InputChoice chooseInput(const std::string& baseName);

// Joins the command-line arguments after the program name with single blanks.
std::string baseNameFromArguments(int argc, const char* const* argv);
