// opmdump: shows what an opmcast executable (.x) replays on the OPM, and what a VGM file
// holds that the conversion leaves out.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "channels/console.hpp"
#include "dump/executable_stream.hpp"
#include "dump/stream_report.hpp"
#include "dump/vgm_export.hpp"
#include "dump/vgm_summary.hpp"
#include "dump/vgz_input.hpp"

namespace {

const char* const USAGE =
    "usage: opmdump [--summary] [--json] FILE.x\n"
    "       opmdump --vgm [--json] FILE.vgm|FILE.vgz\n"
    "       opmdump --to-vgm FILE.x OUT.vgm\n"
    "       opmdump --version\n";

struct Options {
    bool summary = false;
    bool json = false;
    bool vgm = false;
    bool toVgm = false;
    std::string file;
    std::string output;  // of --to-vgm
};

bool parseArguments(int argc, char** argv, Options& options) {
    if (argc == 4 && std::string(argv[1]) == "--to-vgm") {
        options.toVgm = true;
        options.file = argv[2];
        options.output = argv[3];
        return !options.file.starts_with("--") && !options.output.starts_with("--");
    }
    bool haveFile = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--summary") {
            options.summary = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--vgm") {
            options.vgm = true;
        } else if (arg.starts_with("--") || haveFile) {
            return false;
        } else {
            options.file = arg;
            haveFile = true;
        }
    }
    return haveFile;
}

// The whole file, or the reason it cannot be read.
std::optional<std::string> readWholeFile(const std::string& name, Bytes& bytes) {
    std::FILE* file = std::fopen(name.c_str(), "rb");
    if (!file) return std::strerror(errno);
    char chunk[65536];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) return std::strerror(error);
    return std::nullopt;
}

int reportProblem(const std::string& file, const Problem& problem) {
    std::fprintf(stderr, "opmdump: %s: %s\n", file.c_str(), describeProblem(problem).c_str());
    return 1;
}

// The executable's stream as a YM2151 VGM file; nothing is written unless the whole
// executable is well formed.
int exportToVgm(const Options& options, const Bytes& bytes) {
    ExecutableStream stream;
    Bytes vgm;
    if (auto problem = readExecutable(bytes, stream)) return reportProblem(options.file, *problem);
    if (auto problem = exportVgm(stream, vgm)) return reportProblem(options.file, *problem);
    ignoreWriteSignals();
    if (auto reason = writeFileInPlace(options.output, vgm)) {
        std::fprintf(stderr, "opmdump: %s: cannot write the file: %s\n", options.output.c_str(),
                     reason->c_str());
        return 1;
    }
    return 0;
}

int run(const Options& options) {
    Bytes bytes;
    if (auto reason = readWholeFile(options.file, bytes)) {
        std::fprintf(stderr, "opmdump: %s: cannot read the file: %s\n", options.file.c_str(),
                     reason->c_str());
        return 1;
    }
    std::string output;
    if (options.toVgm) return exportToVgm(options, bytes);
    if (options.vgm) {
        if (isGzip(bytes))
            if (auto problem = unpackGzip(options.file, bytes))
                return reportProblem(options.file, *problem);
        VgmSummary summary;
        if (auto problem = summarizeVgm(bytes, summary))
            return reportProblem(options.file, *problem);
        output = options.json ? vgmSummaryJson(summary) : vgmSummaryText(summary);
    } else {
        ExecutableStream stream;
        if (auto problem = readExecutable(bytes, stream))
            return reportProblem(options.file, *problem);
        if (options.summary) {
            output = options.json ? summaryJson(stream) : summaryText(stream);
        } else {
            output = options.json ? dumpJson(stream) : dumpText(stream);
        }
    }
    if (std::fwrite(output.data(), 1, output.size(), stdout) != output.size() ||
        std::fflush(stdout) != 0)
        return 1;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::puts("opmdump " OPMCAST_VERSION);
        return 0;
    }
    Options options;
    if (!parseArguments(argc, argv, options)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    try {
        return run(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "opmdump: %s: %s\n", options.file.c_str(), e.what());
        return 1;
    }
}
