// One log converted by opmcast-full: read twice, translated, written as an X68000 program.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "channels/file_channels.hpp"
#include "driver/gd3_tag.hpp"
#include "full/driver/display_text.hpp"
#include "full/driver/first_pass.hpp"
#include "full/driver/vgm_reader.hpp"
#include "full/translate/dac_capture.hpp"
#include "full/translate/full_run.hpp"

// The largest program an X68000 can load: its main memory, 12 MiB at most.
inline constexpr std::int64_t FULL_MAX_PROGRAM_SIZE = std::int64_t(12) << 20;

struct ConvertRequest {
    std::string input;
    std::string output;
    std::int64_t maxSize = 1 << 20;                // the largest program written, in bytes
    std::vector<OwnerChange>* ownerLog = nullptr;  // when set, which channel plays what, when
    int loops = 0;             // passes through the loop before the fade; 0: until a key
    double fadeSeconds = 5;    // the fade after the last pass
    bool display = true;       // title and time on the X68000's screen
    bool japanese = false;     // ... the Japanese texts first, in Shift-JIS
    double lengthSeconds = 0;  // only the log's first seconds, then the fade; 0: all of it
};

// The drums as the program plays them on the ADPCM.
struct Drums {
    int samples = 0;               // in the bank, the fade's copies left out
    std::int64_t bytes = 0;        // of ADPCM
    int fadeCopies = 0;            // the fade's attenuated copies
    std::int64_t fadeBytes = 0;    // their ADPCM, within `bytes`
    int lowered = 0;               // played at 10.4 or 7.8 kHz to fit
    int atRate[3] = {};            // kept samples at 15.6, 10.4 and 7.8 kHz
    int leftOut = 0;               // long samples left out to fit
    double leftOutSeconds = 0;     // their length
    std::int64_t hitsLeftOut = 0;  // beyond what the capture keeps
};

struct ConvertResult {
    std::string error;   // empty on success
    int writeError = 0;  // with "cannot write": errno of the write that failed, 0 if none known
    std::int64_t programSize = 0;  // with "cannot write" too: the size it would have had
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
    double cutSeconds = 0;       // with --length, where the log was cut for the fade; 0: not
    // For a program larger than --max-size: the smallest size it fits in, the drums at their
    // lowest rate and long samples left out; 0 otherwise.
    std::int64_t smallestFit = 0;
};

ConvertResult convertLog(const ConvertRequest& request);

// The steps of convertLog, which an album takes one track at a time.

// The channel of the input, closed when the conversion ends however it ends.
struct InputChannel {
    int number = 0;
    InputChannel() = default;
    InputChannel(const InputChannel&) = delete;
    InputChannel& operator=(const InputChannel&) = delete;
    ~InputChannel() {
        if (number) fileClose(number);
    }
};

// A log after its first pass: open, checked, its DAC hits gathered, read a second time a
// little ahead where PSG voices need placing.
struct LogRead {
    InputChannel input;
    VgmReader reader;
    std::unique_ptr<DacCapture> dac = std::make_unique<DacCapture>();
    std::unique_ptr<LookAhead> ahead = std::make_unique<LookAhead>();
    SongFacts facts;
    std::int64_t logBytes = 0;  // unpacked
    bool endMarker = false;     // the log ends with its end marker, not cut short
};
// The first pass; "" or why the log cannot be converted ("not a VGM log").
std::string readLog(const std::string& input, LogRead& log);

// A log's stream as translateLog made it.
struct SongStream {
    std::int64_t length = 0;  // bytes, written or only counted
    bool fits = true;         // within the room it was given
    bool tagged = false;
    Gd3Tag tag;
    DisplaySong shown;  // what the screen shows of it; its tag pointer left for the caller
    // The fade's drums: copies the bank must hold right after the samples it was given.
    std::vector<DacSample> fadeDrums;
};
// Pass 2 and the fade: the stream goes to `output` (a file channel, or OUTPUT_DROPPED), and is
// only counted once it grows beyond maxStream. Its drums start the samples `hits` name, which
// `samples` holds. Sets what `result` says of the song, all but the drums and the size.
SongStream translateLog(const ConvertRequest& request, LogRead& log,
                        std::span<const DacSample> samples, std::span<const DacHit> hits,
                        int output, std::int64_t maxStream, ConvertResult& result);

// The drums' bank in the room the stream leaves: the ADPCM samples, then their table's bytes.
// False when even the short hits do not fit.
bool makeBank(const std::vector<DacSample>& samples, std::int64_t hitsLeftOut, std::int64_t room,
              Drums& drums, std::vector<std::uint8_t>& bytes);
// The refusal of a `what` ("program") beyond --max-size, with the size it would fit in, which
// goes to smallestFit (whole KiB).
std::string tooLargeReason(const std::string& what, std::int64_t maxSize, std::int64_t smallest,
                           std::int64_t& smallestFit);
// A size as the user gave it: whole MiB or KiB where it is one, else bytes.
std::string sizeText(std::int64_t bytes);

// The program as it is written: under a temporary name beside the output until it is whole,
// and removed should the conversion fail.
struct ProgramFile {
    int channel = 0;
    std::string temporary;
    int writeError = 0;  // errno of a write that failed
    ProgramFile() = default;
    ProgramFile(const ProgramFile&) = delete;
    ProgramFile& operator=(const ProgramFile&) = delete;
    ~ProgramFile();
};
// Creates the temporary file and writes the player's head, whose fields are set once the
// stream's length is known; "" or why the program cannot be written.
std::string startProgram(const std::string& output, ProgramFile& program);
// The parts after the stream, then the head with its fields set, and the program renamed
// into place; "" or why it could not be written.
std::string finishProgram(const std::string& output, ProgramFile& program,
                          std::span<const std::uint8_t> head,
                          std::initializer_list<std::span<const std::uint8_t>> rest);

// With --length, the drums the program plays: the hits that start before the fade's end, and
// the samples they play, numbered anew in their order.
void keepDrumsOfFirstPart(DacCapture& dac, const ConvertRequest& request);

// What the log at `input` plays on the YM2612's DAC, gathered into hits as the conversion
// gathers them; false when it cannot be read as a VGM log.
bool gatherDacHits(const std::string& input, DacCapture& capture);
