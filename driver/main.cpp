// opmcast: converts a YM2612 + SN76489 VGM log into an X68000 program that replays it on
// the YM2151 (OPM).
#include <cstdio>
#include <string_view>

#include "channels/console.hpp"
#include "driver/run_state.hpp"

// The player installed with the program, read when the current folder has no vgmstub.bin.
#ifndef OPMCAST_INSTALLED_STUB
#define OPMCAST_INSTALLED_STUB ""
#endif

namespace {

const char* const USAGE =
    "usage: opmcast NAME\n"
    "       opmcast --help | --version\n"
    "\n"
    "Converts the VGM log NAME.vgm (else NAME.vgz, else NAME itself when it ends in .vgm or\n"
    ".vgz; plain or gzip-compressed) of the YM2612 and SN76489 into NAME.x, an X68000 program\n"
    "that replays it on the YM2151. All the arguments, joined by single blanks, make NAME;\n"
    "there are no options (--help and --version only when alone). The player is vgmstub.bin\n"
    "in the current folder, else " OPMCAST_INSTALLED_STUB
    ".\n"
    "\n"
    "  --help      this text\n"
    "  --version   the version\n"
    "\n"
    "On success it prints nothing but a line for each command byte it passes over\n"
    "(unexpected byte N). A failure prints one line, leaves no NAME.x behind (an earlier one\n"
    "stays as it was) and gives exit status 1. opmcast-full plays everything the X68000 can.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::puts("opmcast " OPMCAST_VERSION);
        return 0;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        std::fputs(USAGE, stdout);
        return 0;
    }
    ignoreWriteSignals();
    endProgram(runConversion(baseNameFromArguments(argc, argv), OPMCAST_INSTALLED_STUB));
}
