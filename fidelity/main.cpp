// opmfidelity: compares the rendering of a converted program with the rendering of its source
// and prints how closely notes, timing, stereo placement and levels agree.
#include <cstdio>
#include <exception>
#include <string>

#include "audio_file.hpp"
#include "compare.hpp"
#include "report.hpp"

namespace {

const char* const USAGE =
    "usage: opmfidelity [--json] SOURCE.wav CONVERTED.wav\n"
    "       opmfidelity --help | --version\n"
    "Compares two stereo renderings of the same song: pitch classes, onset timing, left/right\n"
    "balance and level.\n"
    "  --json      one JSON line instead of text\n"
    "  --help      this text\n"
    "  --version   the version\n";

struct Options {
    bool json = false;
    std::string source;
    std::string converted;
};

bool parseArguments(int argc, char** argv, Options& options) {
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            options.json = true;
        } else if ((arg.size() > 1 && arg[0] == '-') || files == 2) {
            return false;
        } else {
            (files++ == 0 ? options.source : options.converted) = arg;
        }
    }
    return files == 2;
}

int run(const Options& options) {
    StereoAudio source, converted;
    for (auto [path, audio] :
         {std::pair{&options.source, &source}, {&options.converted, &converted}}) {
        if (auto problem = readAudioFile(*path, *audio)) {
            std::fprintf(stderr, "opmfidelity: %s: %s\n", path->c_str(), problem->c_str());
            return 1;
        }
    }
    Fidelity fidelity;
    if (auto problem = compareRenderings(source, converted, fidelity)) {
        std::fprintf(stderr, "opmfidelity: cannot compare %s and %s: %s\n", options.source.c_str(),
                     options.converted.c_str(), problem->c_str());
        return 1;
    }
    const std::string output = options.json ? fidelityJson(fidelity) : fidelityText(fidelity);
    if (std::fwrite(output.data(), 1, output.size(), stdout) != output.size() ||
        std::fflush(stdout) != 0) {
        std::fputs("opmfidelity: cannot write the output\n", stderr);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::puts("opmfidelity " OPMCAST_VERSION);
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
    try {
        return run(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "opmfidelity: %s\n", e.what());
        return 1;
    }
}
