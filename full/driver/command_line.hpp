// opmcast-full's command line: the options and the files or folders to convert.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct Options {
    std::string outputDir;
    std::string outputProgram;  // -o NAME.x with one log: the program's own name
    std::int64_t maxSize = 1 << 20;
    bool quiet = false;
    bool recursive = false;   // folders: their subfolders too
    bool x68kNames = false;   // output names an X68000 can hold
    int jobs = 0;             // conversions at a time; 0: one per processor
    int loops = 0;            // passes through the loop before the fade; 0: until a key
    bool loopsGiven = false;  // --loops was given (an album's tracks play 2 passes without it)
    double fadeSeconds = 5;   // the fade after the last pass
    bool fadeGiven = false;
    double lengthSeconds = 0;  // --length: only the log's first seconds, then the fade; 0: all
    bool display = true;       // the program shows title and time on the X68000's screen
    bool japanese = false;     // ... the Japanese texts first, in Shift-JIS
    std::string album;         // --album OUT.x: one program playing every log as a track
    bool repeat = false;       // the album starts again after its last track
    bool skipBad = false;      // the album leaves out the logs that fail
    std::string disk;          // --disk OUT.xdf: the album on floppy images (OUT1.xdf, ... if more)
    std::string diskLabel;     // "disk 1 of 3" on the keys' line of a disk's album
    bool help = false;
    bool version = false;
    std::vector<std::string> inputs;  // files and folders
};

extern const char* const FULL_USAGE;

// The options, or the one-line reason they are wrong ("--max-size 10X: not a size ...").
std::optional<std::string> parseCommandLine(int argc, char** argv, Options& options);
