// One log converted by opmcast-full: read twice, translated, written as an X68000 program.
#pragma once

#include <cstdint>
#include <string>

#include "full/translate/full_run.hpp"

struct ConvertRequest {
    std::string input;
    std::string output;
    std::int64_t maxSize = 1 << 20;  // the largest program written, in bytes
};

struct ConvertResult {
    std::string error;  // empty on success
    std::int64_t programSize = 0;
    double seconds = 0;
    double loopSeconds = -1;  // -1 without a loop
    Played played;
    LeftOut leftOut;
    std::int64_t otherChipCommands = 0;
    std::int64_t unknownCommands = 0;
};

ConvertResult convertLog(const ConvertRequest& request);
