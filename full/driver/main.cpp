// opmcast-full: converts VGM logs of the YM2612 and SN76489 into X68000 programs that play
// everything the X68000's OPM can: the FM channels at true pitch with their LFO, all three PSG
// tone voices and the noise.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "channels/console.hpp"
#include "full/driver/convert_log.hpp"
#include "full/driver/summary.hpp"

namespace {

namespace fs = std::filesystem;

const char* const USAGE =
    "usage: opmcast-full [OPTIONS] FILE...\n"
    "       opmcast-full --help | --version\n"
    "\n"
    "Converts each FILE, a VGM log of the YM2612 and SN76489 (plain or gzip-compressed), into\n"
    "an X68000 program named after it with the extension replaced by .x: the FM channels at\n"
    "true pitch with their LFO, all three PSG tone voices and the noise, and the DAC's drums\n"
    "on the ADPCM.\n"
    "\n"
    "  -o, --output-dir DIR   write the programs into DIR instead of beside their logs\n"
    "  --max-size BYTES       refuse a program larger than BYTES (default 1048576; K and M\n"
    "                         suffixes count 1024 and 1048576); long samples play at a\n"
    "                         lower rate, or are left out, to fit\n"
    "  -q, --quiet            print nothing for a file that converts\n"
    "  --help                 this text\n"
    "  --version              the version\n";

struct Options {
    std::string outputDir;
    std::int64_t maxSize = 1 << 20;
    bool quiet = false;
    std::vector<std::string> files;
};

bool parseSize(const std::string& text, std::int64_t& size) {
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || value <= 0) return false;
    std::int64_t unit = 1;
    if (*end == 'K' || *end == 'k')
        unit = 1024, ++end;
    else if (*end == 'M' || *end == 'm')
        unit = 1 << 20, ++end;
    if (*end != '\0' || value > INT32_MAX / unit) return false;
    size = value * unit;
    return true;
}

bool parseArguments(int argc, char** argv, Options& options) {
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
            options.files.push_back(arg);
        } else if (arg == "--") {
            optionsEnd = true;
        } else if ((arg == "-o" || arg == "--output-dir") && hasValue) {
            options.outputDir = argv[++i];
        } else if (arg.starts_with("--output-dir=")) {
            options.outputDir = arg.substr(13);
        } else if (arg == "--max-size" && hasValue) {
            if (!parseSize(argv[++i], options.maxSize)) return false;
        } else if (arg.starts_with("--max-size=")) {
            if (!parseSize(arg.substr(11), options.maxSize)) return false;
        } else if (arg == "-q" || arg == "--quiet") {
            options.quiet = true;
        } else {
            return false;
        }
    }
    return !options.files.empty() &&
           (options.outputDir.empty() || !options.outputDir.starts_with("-"));
}

// song.vgm, song.vgz, song.vgm.gz, SONG.VGZ: the name without its extensions, then ".x".
std::string outputNameOf(const std::string& input, const std::string& outputDir) {
    fs::path name = fs::path(input).filename();
    auto lower = [](std::string text) {
        for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    if (lower(name.extension().string()) == ".gz") name = name.stem();
    if (!name.extension().empty()) name = name.stem();
    name += ".x";
    const fs::path folder = outputDir.empty() ? fs::path(input).parent_path() : fs::path(outputDir);
    return (folder / name).string();
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    return fs::equivalent(a, b, error);
}

}  // namespace

int main(int argc, char** argv) {
    ignoreWriteSignals();
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::puts("opmcast-full " OPMCAST_VERSION);
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::fputs(USAGE, stdout);
        return 0;
    }
    Options options;
    if (!parseArguments(argc, argv, options)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    int failures = 0;
    for (const std::string& file : options.files) {
        ConvertRequest request{file, outputNameOf(file, options.outputDir), options.maxSize};
        ConvertResult result;
        if (sameFile(request.input, request.output))
            result.error = "the program would replace the log itself: " + request.output;
        else
            result = convertLog(request);
        if (!result.error.empty()) {
            std::fprintf(stderr, "%s: %s\n", file.c_str(), result.error.c_str());
            ++failures;
            continue;
        }
        if (!options.quiet) std::fputs(summaryLines(request, result).c_str(), stdout);
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}
