// opmplay-sim: runs an X68000 music program (.x made by opmcast or opmcast-full) on an emulated
// 68000 and prints every OPM register write with the virtual time it happened at.

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "opm_sim.hpp"

namespace {

// On stdout when asked for with --help, on stderr after a wrong command line.
void printUsage(std::FILE* to = stderr) {
    std::fprintf(
        to,
        "usage: opmplay-sim FILE.x [options]\n"
        "       opmplay-sim --help | --version\n"
        "  --key-at SECONDS   press a key at this virtual time (a song that loops until a\n"
        "                     key needs one)\n"
        "  --keys SCRIPT      press keys at these virtual times: SECONDS:KEY,... with KEY a\n"
        "                     printable character, esc or space (5:n,12.5:p,20:q)\n"
        "  --limit SECONDS    give up after this much virtual time (default 600, or the\n"
        "                     program's length and a minute when it ends by itself later)\n"
        "  --cpu-mhz MHZ      68000 clock (default 10)\n"
        "  --opm-irq-off      start with the OPM interrupt disabled in the MFP\n"
        "  --opm-1b BYTE      the system's copy of OPM register 1B at $09DA (default 0)\n"
        "  --check            compare the writes with the file's register stream\n"
        "  --quiet            do not list the writes and the ADPCM samples\n"
        "  --ppi-log          list every write of PPI port C (the ADPCM's divider and sides)\n"
        "  --help             this text\n"
        "  --version          the version\n"
        "What the program printed (DOS _CONCTRL, _PRINT) follows the report under \"screen:\",\n"
        "as the X68000's screen shows it at the end (Shift-JIS shown as UTF-8).\n"
        "Exit status: 0 clean run (and, with --check, a faithful replay), 1 otherwise,\n"
        "2 for a usage or file error.\n");
}

bool parseSeconds(const char* text, std::int64_t& ns) {
    char* end = nullptr;
    double seconds = std::strtod(text, &end);
    // Up to a day of virtual time: beyond it (or for nan and inf) nanoseconds would not fit.
    if (end == text || *end != '\0' || !(seconds >= 0 && seconds <= 86400)) return false;
    ns = std::int64_t(seconds * 1e9);
    return true;
}

// A byte in decimal, or in hexadecimal with 0x (a leading 0 does not mean octal).
bool parseByte(const char* text, std::uint8_t& byte) {
    bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    long value = std::strtol(text, &end, hex ? 16 : 10);
    if (end == text || *end != '\0' || value < 0 || value > 255) return false;
    byte = std::uint8_t(value);
    return true;
}

// A line of the X68000's screen (Shift-JIS, code page 932) in UTF-8 for the terminal; a byte
// that does not convert shows as '?'.
std::string screenToUtf8(const std::string& line) {
    static iconv_t cd = iconv_open("UTF-8", "CP932");
    std::string out;
    if (cd == iconv_t(-1)) {
        for (const char c : line) out.push_back((c & 0x80) || c < 0x20 ? '?' : c);
        return out;
    }
    std::string in = line;
    char* from = in.data();
    std::size_t left = in.size();
    char buffer[256];
    while (left > 0) {
        char* to = buffer;
        std::size_t room = sizeof buffer;
        const std::size_t done = iconv(cd, &from, &left, &to, &room);
        out.append(buffer, std::size_t(to - buffer));
        if (done == std::size_t(-1) && errno != E2BIG) {
            out.push_back('?');  // a byte that is no character, or a lead byte cut off
            ++from;
            --left;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

// A key as a script names it.
std::string keyName(std::uint16_t code) {
    const unsigned ascii = code & 0xFF;
    if (ascii == 0x1B) return "esc";
    if (ascii == 0x20) return "space";
    if (ascii > 0x20 && ascii < 0x7F) return std::string(1, char(ascii));
    char text[16];
    std::snprintf(text, sizeof text, "$%04X", unsigned(code));
    return text;
}

// The rest of the first line for a program of one song: its stream, its player, its drums.
void printSong(const opmsim::DecodedStream& stream, const char* unit) {
    std::printf("stream of %zu pairs, %u %ss", stream.pairs, stream.endStep, unit);
    if (stream.loops) std::printf(", loop from %s %u", unit, stream.loopStep);
    if (stream.fades) {
        std::printf(", %u passes, then a fade of %u %ss", unsigned(stream.passes), stream.fadeSteps,
                    unit);
    }
    if (stream.endCommand != 0xFF) {
        std::printf(", ends at the reserved command 00 %02X", stream.endCommand);
    }
    if (stream.player == opmsim::PlayerKind::Full) std::printf("; full player (opmcast-full)");
    if (stream.drums) std::printf(", drums: %zu samples in the bank", stream.bank.size());
    std::printf("\n");
}

// When a program that ends by itself (a song, or an album that does not repeat and whose
// tracks all end) should have ended, in virtual nanoseconds from the timer's start; nothing for
// one that plays until a key. The headers the player prints take no time from the songs.
std::optional<std::int64_t> naturalEndNs(const opmsim::DecodedStream& stream,
                                         const std::optional<opmsim::AlbumTable>& album) {
    auto songNs = [](const opmsim::DecodedStream& s) -> std::optional<std::int64_t> {
        const std::optional<std::uint32_t> end = opmsim::songEndStep(s);
        if (!end) return std::nullopt;
        return std::int64_t(*end * opmsim::TICK_NS / s.stepsPerTick);
    };
    if (!album) return songNs(stream);
    if (!album->error.empty() || album->repeat) return std::nullopt;
    std::int64_t total = 0;
    for (const opmsim::AlbumTrack& track : album->tracks) {
        const std::optional<std::int64_t> ns = songNs(track.stream);
        if (!ns) return std::nullopt;
        total += *ns;
    }
    return total;
}

// The default limit: 600 s, or for a program that ends by itself later, its length and a
// minute more (and a second a track) for what it prints and its clean states.
std::int64_t defaultLimitNs(const opmsim::DecodedStream& stream,
                            const std::optional<opmsim::AlbumTable>& album) {
    constexpr std::int64_t SECOND = 1'000'000'000, DEFAULT = 600 * SECOND;
    const std::optional<std::int64_t> end = naturalEndNs(stream, album);
    if (!end) return DEFAULT;
    const std::int64_t tracks = album ? std::int64_t(album->tracks.size()) : 1;
    return std::min<std::int64_t>(86400 * SECOND,
                                  std::max(DEFAULT, *end + 60 * SECOND + tracks * SECOND));
}

// The key taken at a time of the run, as a script names it ("key n", "key esc").
std::string keyTakenAt(const opmsim::SimResult& result, std::int64_t timeNs) {
    for (const opmsim::KeyPress& key : result.keysTaken)
        if (key.timeNs == timeNs) return "key " + keyName(key.code);
    return "a key";
}

// How a replay went through the loop: the passes it played (the one a key cut included), as
// the player's time line counts them.
std::string passesText(const opmsim::DecodedStream& stream, std::uint32_t loopReturns) {
    if (!stream.loops) return "no loop";
    return std::to_string(loopReturns + 1) + (loopReturns == 0 ? " pass" : " passes");
}

// The album's table: its tracks, each with its stream's length (and loop, passes and fade) in
// steps and seconds. A malformed table, on which the player exits at once, is named.
void printAlbum(const opmsim::AlbumTable& album) {
    if (!album.error.empty()) {
        std::printf("album: %s\n", album.error.c_str());
        return;
    }
    std::printf("album of %zu tracks%s%s\n", album.tracks.size(), album.repeat ? ", repeating" : "",
                album.drums ? ", one bank of drums for all" : "");
    for (std::size_t i = 0; i < album.tracks.size(); ++i) {
        const opmsim::DecodedStream& s = album.tracks[i].stream;
        std::printf("  track %zu: stream at text offset %u, %zu pairs, %u steps (%.3f s)", i + 1,
                    album.tracks[i].streamOffset, s.pairs, s.endStep,
                    s.endStep * opmsim::TICK_NS / s.stepsPerTick / 1e9);
        if (s.loops) std::printf(", loop from step %u", s.loopStep);
        if (s.fades)
            std::printf(", %u passes, then a fade of %u steps", unsigned(s.passes), s.fadeSteps);
        if (const std::optional<std::uint32_t> end = opmsim::songEndStep(s))
            std::printf(", ends at %.3f s", *end * opmsim::TICK_NS / s.stepsPerTick / 1e9);
        else
            std::printf(", loops until a key");
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = nullptr;
    opmsim::SimOptions options;
    bool check = false, quiet = false, ppiLog = false, limitGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--key-at" && hasValue) {
            if (!parseSeconds(argv[++i], options.keyPressNs)) return printUsage(), 2;
        } else if (arg == "--keys" && hasValue) {
            std::string error;
            options.keys = opmsim::parseKeyScript(argv[++i], error);
            if (!error.empty()) {
                std::fprintf(stderr, "opmplay-sim: --keys: %s\n", error.c_str());
                return printUsage(), 2;
            }
        } else if (arg == "--limit" && hasValue) {
            if (!parseSeconds(argv[++i], options.timeLimitNs)) return printUsage(), 2;
            limitGiven = true;
        } else if (arg == "--cpu-mhz" && hasValue) {
            double mhz = std::atof(argv[++i]);
            if (mhz < 0.1 || mhz > 100) return printUsage(), 2;
            options.cpuHz = std::uint32_t(mhz * 1e6);
        } else if (arg == "--opm-1b" && hasValue) {
            if (!parseByte(argv[++i], options.systemCopy1B)) return printUsage(), 2;
        } else if (arg == "--opm-irq-off") {
            options.opmInterruptEnabled = false;
        } else if (arg == "--check") {
            check = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--ppi-log") {
            ppiLog = true;
        } else if (arg == "-h" || arg == "--help") {
            printUsage(stdout);
            return 0;
        } else if (arg == "--version") {
            std::puts("opmplay-sim " OPMCAST_VERSION);
            return 0;
        } else if (arg[0] != '-' && path == nullptr) {
            path = argv[i];
        } else {
            printUsage();
            return 2;
        }
    }
    if (path == nullptr) {
        printUsage();
        return 2;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "opmplay-sim: cannot open %s\n", path);
        return 2;
    }
    std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>()};

    opmsim::XHeader header;
    std::string headerError = opmsim::parseXHeader(file, header);
    if (!headerError.empty()) {
        std::fprintf(stderr, "opmplay-sim: %s: %s\n", path, headerError.c_str());
        return 2;
    }
    opmsim::DecodedStream stream = opmsim::decodeExecutableStream(file);
    // The stream's time in its own unit: ticks for the classic player, steps (fifths of a
    // tick) for the full player.
    const bool full = stream.player == opmsim::PlayerKind::Full;
    const char* unit = full ? "step" : "tick";
    // An album: the program, then its table, a line a track.
    const std::optional<opmsim::AlbumTable> album = opmsim::decodeAlbum(file);
    std::printf("%s: text %u bytes, data %u, bss %u; ", path, header.textSize, header.dataSize,
                header.bssSize);
    if (album) {
        std::printf("full player (opmcast-full), an album\n");
        printAlbum(*album);
    } else {
        printSong(stream, unit);
    }
    if (!limitGiven) options.timeLimitNs = defaultLimitNs(stream, album);

    opmsim::SimResult result = opmsim::runProgram(file, options);
    if (!quiet) {
        std::printf("    time [s]       %s  reg  value\n", unit);
        const double stepNs = opmsim::TICK_NS / stream.stepsPerTick;
        for (const opmsim::OpmWrite& w : result.writes) {
            std::printf("%12.6f %10.3f   %02X  %02X\n", double(w.timeNs) / 1e9,
                        double(w.timeNs) / stepNs, w.reg, w.value);
        }
    }
    std::printf("%zu OPM writes, %llu instructions, %llu timer A overflows", result.writes.size(),
                (unsigned long long)result.instructions,
                (unsigned long long)result.timerAOverflows);
    if (!result.adpcm.empty()) std::printf(", %zu ADPCM samples", result.adpcm.size());
    std::printf("\n");
    // One line per sample, unless quiet. A sample still playing when the run ended (at the time
    // limit) has no end, one the program never stopped no stop.
    for (std::size_t i = 0; !quiet && i < result.adpcm.size(); ++i) {
        const opmsim::AdpcmPlay& play = result.adpcm[i];
        std::printf("ADPCM sample at %.6f s: %zu of %u bytes, port C bits 3-0 %X, ",
                    double(play.startNs) / 1e9, play.bytes.size(), unsigned(play.count),
                    play.portC & 0x0F);
        if (play.endNs < 0) {
            std::printf("still playing when the run ended");
        } else {
            std::printf("%s at %.6f s", play.aborted ? "aborted" : "ended",
                        double(play.endNs) / 1e9);
        }
        if (play.stopNs < 0) {
            std::printf(", never stopped\n");
        } else {
            std::printf(", stopped at %.6f s\n", double(play.stopNs) / 1e9);
        }
    }
    // Port C: bits 3-2 the divider, bits 1-0 turn a side off; the ADPCM is heard on the others.
    static const char* const SIDES[4] = {"muted", "right", "left", "both"};
    for (std::size_t i = 0; ppiLog && i < result.portC.size(); ++i) {
        const opmsim::PortCWrite& w = result.portC[i];
        std::printf("port C at %.6f s: $%02X, ADPCM sides %s, %s\n", double(w.timeNs) / 1e9,
                    w.value, SIDES[~w.value & 0x03],
                    w.transferring ? "transfer running" : "no transfer");
    }
    for (const opmsim::KeyPress& key : result.keysTaken) {
        std::printf("key read at %.6f s", double(key.timeNs) / 1e9);
        if (result.keysTaken.size() > 1 || !options.keys.empty())
            std::printf(": %s", keyName(key.code).c_str());
        std::printf("\n");
    }
    if (result.exited && stream.fades && result.keyTakenNs < 0) {
        std::printf("exit status %d at %.6f s, by itself after %u passes and the fade\n",
                    result.exitCode, double(result.endNs) / 1e9, unsigned(stream.passes));
    } else if (result.exited) {
        std::printf("exit status %d at %.6f s\n", result.exitCode, double(result.endNs) / 1e9);
    } else {
        std::printf("no exit; run ended at %.6f s\n", double(result.endNs) / 1e9);
    }
    for (const std::string& e : result.errors) std::printf("error: %s\n", e.c_str());
    bool ok = result.exited && result.exitCode == 0 && result.errors.empty();
    if (check && album) {
        const opmsim::AlbumCheck c = opmsim::checkAlbumReplay(*album, result);
        for (const opmsim::AlbumTrackPlay& play : c.plays) {
            const std::string ending = play.keyNs >= 0 ? keyTakenAt(result, play.keyNs)
                                                       : opmsim::trackEndingName(play.ending);
            std::printf(
                "check: track %zu from %.6f s to %.6f s, %zu stream writes matched, %s, "
                "largest timing error %.4f ticks, ended by %s\n",
                play.track + 1, play.startNs / 1e9, play.endNs / 1e9, play.streamWrites,
                passesText(album->tracks[play.track].stream, play.loopPasses).c_str(),
                play.maxTickError, ending.c_str());
        }
        for (const std::string& p : c.problems) std::printf("check: %s\n", p.c_str());
        ok = ok && c.problems.empty();
    } else if (check) {
        opmsim::ReplayCheck c = opmsim::checkReplay(stream, result);
        std::printf("check: %zu stream writes matched, %s, largest timing error %.4f ticks",
                    c.streamWrites, passesText(stream, c.loopPasses).c_str(), c.maxTickError);
        if (full) std::printf(" (%.3f steps)", c.maxTickError * stream.stepsPerTick);
        if (stream.fades) std::printf(", %zu writes of the fade", c.fadeWrites);
        std::printf("\n");
        for (const std::string& p : c.problems) std::printf("check: %s\n", p.c_str());
        ok = ok && c.problems.empty();
    }
    // What the program left on the screen, when it printed anything.
    if (!result.console.empty()) {
        std::printf("screen:\n");
        for (const std::string& line : opmsim::screenLines(result))
            std::printf("  %s\n", screenToUtf8(line).c_str());
    }
    return ok ? 0 : 1;
}
