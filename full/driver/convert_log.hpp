// One log converted by opmcast-full: read twice, translated, written as an X68000 program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "full/translate/dac_capture.hpp"
#include "full/translate/full_run.hpp"

// The largest program an X68000 can load: its main memory, 12 MiB at most.
inline constexpr std::int64_t FULL_MAX_PROGRAM_SIZE = std::int64_t(12) << 20;

struct ConvertRequest {
    std::string input;
    std::string output;
    std::int64_t maxSize = 1 << 20;                // the largest program written, in bytes
    std::vector<OwnerChange>* ownerLog = nullptr;  // when set, which channel plays what, when
    int loops = 0;           // passes through the loop before the fade; 0: until a key
    double fadeSeconds = 5;  // the fade after the last pass
    bool display = true;     // title and time on the X68000's screen
    bool japanese = false;   // ... the Japanese texts first, in Shift-JIS
};

// The drums as the program plays them on the ADPCM.
struct Drums {
    int samples = 0;               // in the bank
    std::int64_t bytes = 0;        // of ADPCM
    int lowered = 0;               // played at 10.4 or 7.8 kHz to fit
    int atRate[3] = {};            // kept samples at 15.6, 10.4 and 7.8 kHz
    int leftOut = 0;               // long samples left out to fit
    double leftOutSeconds = 0;     // their length
    std::int64_t hitsLeftOut = 0;  // beyond what the capture keeps
};

struct ConvertResult {
    std::string error;  // empty on success
    std::int64_t programSize = 0;
    double seconds = 0;
    double loopSeconds = -1;  // -1 without a loop
    Played played;
    Drums drums;
    LeftOut leftOut;
    std::int64_t otherChipCommands = 0;
    std::int64_t unknownCommands = 0;
    // A log that ends without its end marker: converted as far as it goes.
    bool cutShort = false;
    std::int64_t logBytes = 0;   // the log's length, unpacked
    double headerSeconds = 0;    // the length the header gives, 0 when it gives none
    std::string title;           // from the log's GD3 tag, empty without one
    int loops = 0;               // passes before the fade, 0 when the program loops until a key
    double fadeSeconds = 0;      // with loops
    double playingSeconds = 0;   // with loops: the passes and the fade
    std::int64_t fadeBytes = 0;  // the stream's fade, with loops
    // For a program larger than --max-size: the smallest size it fits in, the drums at their
    // lowest rate and long samples left out; 0 otherwise.
    std::int64_t smallestFit = 0;
};

ConvertResult convertLog(const ConvertRequest& request);

// What the log at `input` plays on the YM2612's DAC, gathered into hits as the conversion
// gathers them; false when it cannot be read as a VGM log.
bool gatherDacHits(const std::string& input, DacCapture& capture);
