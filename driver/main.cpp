// opmcast: converts a YM2612 + SN76489 VGM log into an X68000 program that replays it on
// the YM2151 (OPM).
#include "channels/console.hpp"
#include "driver/run_state.hpp"

int main(int argc, char** argv) {
    ignoreWriteSignals();
    endProgram(runConversion(baseNameFromArguments(argc, argv)));
}
