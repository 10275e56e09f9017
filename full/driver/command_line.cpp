#include "full/driver/command_line.hpp"

#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "full/driver/convert_log.hpp"
#include "full/player/full_player.hpp"

const char* const FULL_USAGE =
    "usage: opmcast-full [OPTIONS] FILE|DIR...\n"
    "       opmcast-full --album OUT.x [OPTIONS] FILE|DIR...\n"
    "       opmcast-full --disk OUT.xdf [OPTIONS] FILE|DIR...\n"
    "       opmcast-full --help | --version\n"
    "\n"
    "Converts each FILE, a VGM log of the YM2612 and SN76489 (plain or gzip-compressed), into\n"
    "an X68000 program named after it with the extension replaced by .x: the FM channels at\n"
    "true pitch with their LFO, all three PSG tone voices and the noise, and the DAC's drums\n"
    "on the ADPCM. A DIR stands for every .vgm, .vgz and .vgm.gz in it, in name order.\n"
    "\n"
    "  -o, --output-dir DIR   write the programs into DIR (created if need be) instead of\n"
    "                         beside their logs; -o NAME.x with one log names its program\n"
    "  -r, --recursive        folders: their subfolders too, mirrored under -o DIR\n"
    "  -j, --jobs N           convert N files at a time (default: one per processor); the\n"
    "                         lines come in the order of the inputs, the programs the same\n"
    "  --max-size BYTES       refuse a program larger than BYTES (default 1048576, at most\n"
    "                         12M; K and M suffixes count 1024 and 1048576); long samples\n"
    "                         play at a lower rate, or are left out, to fit\n"
    "  --x68k-names           name the programs (and the folders -r mirrors) so that\n"
    "                         Human68k holds them: Shift-JIS characters kept, others\n"
    "                         transliterated, no blanks, at most 18 Shift-JIS bytes\n"
    "                         before .x, made unique\n"
    "  --loops N              play the loop N times (1 to 999), then fade out and end; 0, the\n"
    "                         default for a song, loops until a key is pressed. A song\n"
    "                         without a loop plays once\n"
    "  --fade SECONDS         the fade-out after the last loop (default 5; 0, or 0.5 to 60);\n"
    "                         only with --loops N (N from 1), --length or --album\n"
    "  --length SECONDS       convert only the log's first SECONDS (1 to 86400), then fade\n"
    "                         out over --fade seconds as the music goes on; for a log too\n"
    "                         long to load. A log no longer than that converts whole\n"
    "  --japanese             show the GD3 tag's Japanese texts (in Shift-JIS) where it has them\n"
    "  --no-display           leave the X68000's screen alone (by default the program shows the\n"
    "                         title, game, system, author and length, and the time as it plays)\n"
    "  -q, --quiet            print nothing for a file that converts\n"
    "  --album OUT.x          one program, OUT.x, that plays every log as a track, in the\n"
    "                         order given, with a shared bank of drums; N plays the next\n"
    "                         track, P the one before (or this one again), 1-9 that\n"
    "                         track, SPACE pauses and resumes, Q or ESC quits. Its\n"
    "                         tracks play 2 loops and a 5 s fade unless --loops says\n"
    "                         otherwise (--loops 0: each until N). A log that fails leaves\n"
    "                         the album unmade\n"
    "  --disk OUT.xdf         the album on a 2HD floppy image for the X68000: OUT.X (the\n"
    "                         disk's name fitted to 18.3) and README.TXT on a data disk;\n"
    "                         more than one disk holds: OUT1.xdf, OUT2.xdf, ..., each with\n"
    "                         an album of its tracks, as large as a disk holds (a\n"
    "                         --max-size given caps it lower)\n"
    "  --repeat               with --album or --disk: start again at the first track after\n"
    "                         the last\n"
    "  --skip-bad             with --album or --disk: leave out the logs that fail\n"
    "  --help                 this text\n"
    "  --version              the version\n"
    "\n"
    "Two inputs that would make the same program: the first is converted, the second refused\n"
    "(a line names both; exit status 1). A log cut short of its end is converted as far as\n"
    "it goes, with a warning; one that keeps less than a second, or nothing heard, is refused.\n"
    "\n"
    "Each program gets a line:\n"
    "  sonic1.vgm -> sonic1.x \"Green Hill Zone\": 52.8 s, loops at 14.4 s; FM 5, PSG 3 + noise;\n"
    "      drums: 3 samples, 5 KiB ADPCM at 15.6 kHz; 24 KiB\n"
    "    \"Green Hill Zone\"   the song's title from its GD3 tag\n"
    "    52.8 s         the song's length; loops at: where it starts again\n"
    "    2 loops + 5 s fade: 1:36   with --loops 2: how long the program plays\n"
    "    FM 5           YM2612 channels that play\n"
    "    PSG 3 + noise  SN76489 tone voices that play, and its noise\n"
    "    LFO            the YM2612's LFO is used\n"
    "    drums          the DAC's samples, played on the ADPCM, and at what rate; with a\n"
    "                   fade, what its copies of them at the fade's level take\n"
    "    24 KiB         the program's size\n"
    "and, where something could not be played, a second line:\n"
    "    left out: PSG tone 2 35.4 s   a tone had no OPM channel free for that long in all\n"
    "              (the OPM has 8 channels for 6 FM channels, 3 tones and the noise)\n"
    "    left out: 2 long samples      DAC samples left out to fit --max-size\n"
    "\n"
    "With --album, each track gets the line of its log, numbered, without the size, and the\n"
    "album a line of its own: its tracks, how long they play, the drums they share, its size.\n"
    "\n"
    "Exit status: 0 when every file converted, 1 when any failed (with --skip-bad too), 2 for\n"
    "a wrong command line.\n";

namespace {

std::optional<std::string> parseSize(const std::string& option, const std::string& text,
                                     std::int64_t& size) {
    const std::string wrong = option + " " + text + ": ";
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    std::int64_t unit = 1;
    if (end != text.c_str() && (*end == 'K' || *end == 'k'))
        unit = 1024, ++end;
    else if (end != text.c_str() && (*end == 'M' || *end == 'm'))
        unit = 1 << 20, ++end;
    if (end == text.c_str() || *end != '\0' || text[0] == '-' || text[0] == '+')
        return wrong + "not a size (a whole number of bytes, or of K or M)";
    if (value > FULL_MAX_PROGRAM_SIZE / unit)
        return wrong + "more than the 12 MiB an X68000 can load";
    size = value * unit;
    if (size < std::int64_t(FULL_PLAYER_SIZE))
        return wrong + "less than the player itself (" + std::to_string(FULL_PLAYER_SIZE) +
               " bytes)";
    return std::nullopt;
}

std::optional<std::string> parseJobs(const std::string& option, const std::string& text,
                                     int& jobs) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || value < 1 || value > 256)
        return option + " " + text + ": not a number of jobs from 1 to 256";
    jobs = int(value);
    return std::nullopt;
}

std::optional<std::string> parseLoops(const std::string& option, const std::string& text,
                                      int& loops) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || text[0] == '+' || value < 0 || value > 999)
        return option + " " + text + ": not a number of loops from 0 to 999";
    loops = int(value);
    return std::nullopt;
}

// A fade of 0.5 s at least, for the level to fall by 0.75 dB at most a step to silence.
std::optional<std::string> parseFade(const std::string& option, const std::string& text,
                                     double& seconds) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(value == 0 || (value >= 0.5 && value <= 60)))
        return option + " " + text + ": not a fade of 0, or of 0.5 to 60 seconds";
    seconds = value;
    return std::nullopt;
}

// --length: the seconds of the log converted before the fade.
std::optional<std::string> parseLength(const std::string& option, const std::string& text,
                                       double& seconds) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(value >= 1 && value <= 86400))
        return option + " " + text + ": not a length of 1 to 86400 seconds";
    seconds = value;
    return std::nullopt;
}

bool isProgramName(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return name.size() >= 3 && (name.ends_with(".x") || name.ends_with(".X"));
}

// A floppy image: a file name ending in .xdf.
std::optional<std::string> parseDiskName(const std::string& option, const std::string& text,
                                         std::string& disk) {
    std::string end = text.size() > 4 ? text.substr(text.size() - 4) : "";
    for (char& c : end) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (end != ".xdf") return option + " " + text + ": not the name of a floppy image (NAME.xdf)";
    disk = text;
    return std::nullopt;
}

// The album's program: a file name ending in .x.
std::optional<std::string> parseAlbumName(const std::string& option, const std::string& text,
                                          std::string& album) {
    if (!isProgramName(text)) return option + " " + text + ": not the name of a program (NAME.x)";
    album = text;
    return std::nullopt;
}

// "-q", "--loops": an option's name where a value was wanted. "-1" and "-" are not.
bool looksLikeOption(const std::string& text) {
    return text.size() >= 2 && text[0] == '-' &&
           !std::isdigit(static_cast<unsigned char>(text[1])) && text[1] != '.';
}

}  // namespace

std::optional<std::string> parseCommandLine(int argc, char** argv, Options& options) {
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
            options.inputs.push_back(arg);
            continue;
        }
        // --name=value, or --name value / -x value
        std::string name = arg;
        std::optional<std::string> value;
        if (const auto equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        } else if ((arg.starts_with("-j") || arg.starts_with("-o")) && arg.size() > 2) {
            name = arg.substr(0, 2);  // -j4, -oDIR
            value = arg.substr(2);
        }
        const auto takeValue = [&]() -> std::optional<std::string> {
            if (value) return value;
            if (i + 1 < argc) return std::string(argv[++i]);
            return std::nullopt;
        };
        const bool takesValue = name == "-o" || name == "--output-dir" || name == "--max-size" ||
                                name == "-j" || name == "--jobs" || name == "--loops" ||
                                name == "--fade" || name == "--album" || name == "--length" ||
                                name == "--disk";
        if (value && !takesValue) return name + ": takes no value";
        if (name == "--") {
            optionsEnd = true;
        } else if (takesValue) {
            const bool separate = !value;
            const std::optional<std::string> given = takeValue();
            if (!given) return name + ": needs a value";
            // "-o -q": the option's value forgotten, not a folder named -q (-o ./-q is one).
            if (separate && looksLikeOption(*given))
                return name + ": needs a value, not the option " + *given;
            if (name == "-o" || name == "--output-dir") {
                if (given->empty()) return name + ": needs a folder";
                options.outputDir = *given;
            } else if (name == "--max-size") {
                if (auto wrong = parseSize(name, *given, options.maxSize)) return wrong;
            } else if (name == "--loops") {
                if (auto wrong = parseLoops(name, *given, options.loops)) return wrong;
                options.loopsGiven = true;
            } else if (name == "--album") {
                if (auto wrong = parseAlbumName(name, *given, options.album)) return wrong;
            } else if (name == "--disk") {
                if (auto wrong = parseDiskName(name, *given, options.disk)) return wrong;
            } else if (name == "--fade") {
                if (auto wrong = parseFade(name, *given, options.fadeSeconds)) return wrong;
                options.fadeGiven = true;
            } else if (name == "--length") {
                if (auto wrong = parseLength(name, *given, options.lengthSeconds)) return wrong;
            } else if (auto wrong = parseJobs(name, *given, options.jobs)) {
                return wrong;
            }
        } else if (name == "-q" || name == "--quiet") {
            options.quiet = true;
        } else if (name == "-r" || name == "--recursive") {
            options.recursive = true;
        } else if (name == "--x68k-names") {
            options.x68kNames = true;
        } else if (name == "--japanese") {
            options.japanese = true;
        } else if (name == "--no-display") {
            options.display = false;
        } else if (name == "--repeat") {
            options.repeat = true;
        } else if (name == "--skip-bad") {
            options.skipBad = true;
        } else if (name == "--help") {
            options.help = true;
        } else if (name == "--version") {
            options.version = true;
        } else {
            return "unknown option " + name;
        }
    }
    if (options.inputs.empty() && !options.help && !options.version)
        return std::string("no FILE or DIR to convert");
    if (!options.disk.empty() && !options.album.empty())
        return std::string("--disk and --album: the disk holds its own album");
    if (!options.disk.empty() && !options.outputDir.empty())
        return std::string("--disk and -o: the disk goes where --disk names it");
    const bool album = !options.album.empty() || !options.disk.empty();
    if (!album && options.repeat) return std::string("--repeat: only with --album or --disk");
    if (!album && options.skipBad) return std::string("--skip-bad: only with --album or --disk");
    if (!options.album.empty() && !options.outputDir.empty())
        return std::string("--album and -o: the album goes where --album names it");
    // A song loops until a key unless told how often: a fade then has nothing to end.
    if (options.fadeGiven && !album && options.loops == 0 && options.lengthSeconds == 0)
        return std::string("--fade: only with --loops N (1 or more), --length or --album");
    // -o NAME.x names the program of one log; a folder of that name already there stays one.
    std::error_code error;
    if (isProgramName(options.outputDir) &&
        !std::filesystem::is_directory(options.outputDir, error)) {
        if (options.inputs.size() != 1 || std::filesystem::is_directory(options.inputs[0], error))
            return "-o " + options.outputDir +
                   ": names one program, for one log; for several, -o names a folder";
        options.outputProgram = options.outputDir;
        options.outputDir.clear();
    }
    return std::nullopt;
}
