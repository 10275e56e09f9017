// opmdump: shows what an executable (.x) of opmcast or opmcast-full replays on the OPM, and
// what a VGM file holds that the conversion leaves out.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "channels/console.hpp"
#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"
#include "dump/album/album.hpp"
#include "dump/album/album_report.hpp"
#include "dump/program/executable_stream.hpp"
#include "dump/program/opm_levels.hpp"
#include "dump/program/stream_report.hpp"
#include "dump/program/vgm_export.hpp"
#include "dump/text_format.hpp"
#include "dump/vgm/vgm_settle.hpp"
#include "dump/vgm/vgm_summary.hpp"
#include "dump/vgm/vgz_input.hpp"

namespace {

const char* const USAGE =
    "usage: opmdump [--summary] [--json] [--track N] FILE.x\n"
    "       opmdump --levels [--track N] FILE.x\n"
    "       opmdump --vgm [--json] NAME\n"
    "       opmdump --to-vgm FILE.x OUT.vgm [--track N]\n"
    "       opmdump --settle-dac LOG OUT.vgm\n"
    "       opmdump --help | --version\n"
    "\n"
    "  FILE.x          the register stream of a program opmcast or opmcast-full wrote,\n"
    "                  as a timeline\n"
    "  --summary       only a summary of the stream\n"
    "  --track N       of an album, track N alone (from 1); without it an album shows\n"
    "                  its track table and every track, and --to-vgm exports them all\n"
    "  --json          JSON lines instead of text\n"
    "  --levels        when each OPM channel of an opmcast-full program sounds above\n"
    "                  -48 dB, by a model of the chip's envelopes\n"
    "  --vgm NAME      a summary of a VGM log: NAME.vgm, else NAME.vgz, else NAME itself\n"
    "  --to-vgm        the program's stream as a YM2151 VGM file OUT.vgm (not the input),\n"
    "                  with the OKIM6258 for an opmcast-full program's drums and a GD3\n"
    "                  tag from the texts its display shows\n"
    "  --settle-dac    the VGM log LOG (plain or gzip) as OUT.vgm with each run of DAC\n"
    "                  writes within one sample written as its last, as the log plays it\n"
    "                  (MAME's vgmplay garbles long runs)\n"
    "  --help          this text\n"
    "  --version       the version\n";

struct Options {
    bool summary = false;
    bool levels = false;
    bool json = false;
    bool vgm = false;
    bool toVgm = false;
    bool settleDac = false;
    std::string file;
    std::string output;  // of --to-vgm and --settle-dac
    long track = 0;      // --track N; 0: none
};

bool parseTrack(const std::string& text, long& track) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    track = std::stol(text);
    return track > 0;
}

bool parseArguments(int argc, char** argv, Options& options) {
    bool haveFile = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--to-vgm" || arg == "--settle-dac") {
            if (haveFile || i + 2 >= argc) return false;
            options.toVgm = arg == "--to-vgm";
            options.settleDac = arg == "--settle-dac";
            options.file = argv[++i];
            options.output = argv[++i];
            if (options.file.starts_with("--") || options.output.starts_with("--")) return false;
            haveFile = true;
        } else if (arg == "--track") {
            if (options.track != 0 || i + 1 >= argc || !parseTrack(argv[++i], options.track))
                return false;
        } else if (arg == "--summary") {
            options.summary = true;
        } else if (arg == "--levels") {
            options.levels = true;
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
    const bool exporting = options.toVgm || options.settleDac;
    if (exporting && (options.summary || options.levels || options.json || options.vgm))
        return false;
    if (options.track != 0 && (options.vgm || options.settleDac)) return false;
    return haveFile && !(options.levels && (options.summary || options.json || options.vgm));
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

int reportError(const std::string& file, const std::string& message) {
    std::fprintf(stderr, "opmdump: %s: %s\n", file.c_str(), message.c_str());
    return 1;
}

// The log --vgm NAME reads: found as opmcast finds its input, else NAME itself.
std::string vgmLogName(const std::string& name) {
    const InputChoice choice = chooseInput(name);
    return fileExists(choice.inputName) ? choice.inputName : name;
}

// Whether the output names the input file itself, under whatever name or link.
bool isSameFile(const std::string& a, const std::string& b) {
    struct stat first, second;
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

int reportProblem(const std::string& file, const Problem& problem) {
    std::fprintf(stderr, "opmdump: %s: %s\n", file.c_str(), describeProblem(problem).c_str());
    return 1;
}

// The program's song, or the album's track options.track, or (without --track) nothing for an
// album; `status` set when it cannot be read or --track does not fit it.
std::optional<ExecutableStream> readSong(const Options& options, const Bytes& bytes,
                                         std::optional<Album>& album, int& status) {
    status = 0;
    if (isAlbumProgram(bytes)) {
        album.emplace();
        if (auto problem = readAlbum(bytes, *album)) {
            status = reportProblem(options.file, *problem);
            return std::nullopt;
        }
        if (options.track == 0) return std::nullopt;
        if (std::size_t(options.track) > album->tracks.size()) {
            reportError(options.file, format("--track %ld: the album has tracks 1 to %zu",
                                             options.track, album->tracks.size()));
            status = 2;
            return std::nullopt;
        }
        return albumTrack(*album, std::size_t(options.track - 1));
    }
    ExecutableStream stream;
    if (auto problem = readExecutable(bytes, stream)) {
        status = reportProblem(options.file, *problem);
        return std::nullopt;
    }
    if (options.track != 0) {
        reportError(options.file, "--track reads albums only; this program plays one song");
        status = 2;
        return std::nullopt;
    }
    return stream;
}

// The executable's stream as a YM2151 VGM file; nothing is written unless the whole
// executable is well formed.
int exportToVgm(const Options& options, const Bytes& bytes) {
    Bytes vgm;
    if (isSameFile(options.file, options.output))
        return reportError(options.output, "is the input file; name another output file");
    std::optional<Album> album;
    int status = 0;
    const std::optional<ExecutableStream> stream = readSong(options, bytes, album, status);
    if (status != 0) return status;
    if (auto problem = stream ? exportVgm(*stream, vgm) : exportAlbumVgm(*album, vgm))
        return reportProblem(options.file, *problem);
    ignoreWriteSignals();
    if (auto reason = writeFileInPlace(options.output, vgm)) {
        std::fprintf(stderr, "opmdump: %s: cannot write the file: %s\n", options.output.c_str(),
                     reason->c_str());
        return 1;
    }
    return 0;
}

// The log with its runs of DAC writes settled; nothing is written unless it is a VGM log.
int settleToVgm(const Options& options, Bytes& bytes) {
    if (isSameFile(options.file, options.output))
        return reportError(options.output, "is the input file; name another output file");
    if (isGzip(bytes))
        if (auto problem = unpackGzip(options.file, bytes))
            return reportProblem(options.file, *problem);
    VgmSummary summary;
    if (auto problem = summarizeVgm(bytes, summary)) return reportProblem(options.file, *problem);
    Bytes settled;
    const DacSettling settling = settleDacWrites(bytes, settled);
    ignoreWriteSignals();
    if (auto reason = writeFileInPlace(options.output, settled)) {
        std::fprintf(stderr, "opmdump: %s: cannot write the file: %s\n", options.output.c_str(),
                     reason->c_str());
        return 1;
    }
    std::printf("%s: %llu runs of DAC writes settled, %llu writes dropped\n",
                options.output.c_str(), static_cast<unsigned long long>(settling.runs),
                static_cast<unsigned long long>(settling.droppedWrites));
    return 0;
}

int run(Options options) {
    if (options.vgm) {
        const std::string name = options.file;
        options.file = vgmLogName(name);
        if (!fileExists(options.file))
            return reportError(name, "no such file, nor " + name + ".vgm or " + name + ".vgz");
    }
    Bytes bytes;
    if (auto reason = readWholeFile(options.file, bytes)) {
        std::fprintf(stderr, "opmdump: %s: cannot read the file: %s\n", options.file.c_str(),
                     reason->c_str());
        return 1;
    }
    std::string output;
    if (options.toVgm) return exportToVgm(options, bytes);
    if (options.settleDac) return settleToVgm(options, bytes);
    if (options.vgm) {
        if (isGzip(bytes))
            if (auto problem = unpackGzip(options.file, bytes))
                return reportProblem(options.file, *problem);
        VgmSummary summary;
        if (auto problem = summarizeVgm(bytes, summary))
            return reportProblem(options.file, *problem);
        output = options.json ? vgmSummaryJson(summary) : vgmSummaryText(summary);
    } else {
        if (isVgmLog(options.file, bytes))
            return reportError(
                options.file,
                "a VGM log, not an X68000 program: use opmdump --vgm " + options.file);
        std::optional<Album> album;
        int status = 0;
        const std::optional<ExecutableStream> stream = readSong(options, bytes, album, status);
        if (status != 0) return status;
        const std::size_t track = std::size_t(options.track - 1);
        if (options.levels && !stream)
            return reportError(options.file, "--levels reads one track of an album: --track N");
        if (options.levels && stream->player != PlayerKind::full)
            return reportError(options.file, "--levels reads programs of opmcast-full only");
        if (options.levels) {
            output = levelSpansText(opmLevels(*stream));
        } else if (album && stream) {
            output = options.json ? albumTrackJson(*album, track, options.summary)
                                  : albumTrackText(*album, track, options.summary);
        } else if (album) {
            output = options.json      ? albumJson(*album, options.summary)
                     : options.summary ? albumSummaryText(*album)
                                       : albumDumpText(*album);
        } else if (options.summary) {
            output = options.json ? summaryJson(*stream) : summaryText(*stream);
        } else {
            output = options.json ? dumpJson(*stream) : dumpText(*stream);
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
        std::fprintf(stderr, "opmdump: %s: %s\n", options.file.c_str(), e.what());
        return 1;
    }
}
