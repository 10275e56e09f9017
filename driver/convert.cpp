#include <string>

#include "channels/console.hpp"
#include "channels/file_channels.hpp"
#include "driver/command_loop.hpp"
#include "driver/executable.hpp"
#include "driver/run_state.hpp"
#include "stream/register_stream.hpp"

namespace {

const char* const STUB_NAME = "vgmstub.bin";

// Ends a run that failed: the message, every channel closed, no partial output left behind.
int fail(RunState& state, const std::string& message) {
    printMessage(message, true);
    fileCloseAll();
    if (!state.temporaryName.empty()) fileRemove(state.temporaryName);
    return 1;
}

int cannotWrite(RunState& state) {
    return fail(state, "can't write " + state.outputName + " :( ");
}

bool inputIsVgm(RunState& state, const std::string& inputName) {
    state.inputChannel = fileFreeNumber();
    fileOpen(inputName, state.inputChannel, FileAccess::readOnly);
    std::string identification;
    fileReadText(state.inputChannel, 0, identification, 5);
    return identification == "Vgm ";
}

bool stubIsExecutable(RunState& state) {
    state.stubChannel = fileFreeNumber();
    fileOpen(STUB_NAME, state.stubChannel, FileAccess::readOnly);
    std::uint8_t magic[2] = {};
    fileRead(state.stubChannel, 0, magic, 2);
    return (magic[0] | magic[1] << 8) == STUB_MAGIC;
}

// The output is written under a fresh name beside it and renamed once it is complete, so
// that a failed run never leaves a partial file or damages an earlier one.
bool createTemporaryOutput(RunState& state) {
    state.outputChannel = fileFreeNumber();
    return fileCreateTemporary(state.outputName, state.outputChannel, state.temporaryName);
}

}  // namespace

std::string baseNameFromArguments(int argc, const char* const* argv) {
    std::string baseName;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) baseName += ' ';
        baseName += argv[i];
    }
    return baseName;
}

int runConversion(const std::string& baseName) {
    RunState state;
    initOpmShadow(state.shadow, state.latches);
    if (!inputIsVgm(state, baseName + ".vgm")) return fail(state, "not Vgm :( ");
    if (!stubIsExecutable(state)) return fail(state, "can't open vgmstub.bin :( ");
    state.outputName = baseName + ".x";
    if (!fileReplaceable(state.outputName) || !createTemporaryOutput(state))
        return cannotWrite(state);

    copyStubHead(state);
    readVgmHeader(state);
    state.sampleBacklog = 0;
    state.pendingTicks = 0;
    writeStreamPrologue(state);
    runCommandLoop(state);
    finishExecutable(state);

    fileClose(state.inputChannel);
    const bool written = fileClose(state.outputChannel) == FILE_OK;
    fileClose(state.stubChannel);
    if (!written || !fileRename(state.temporaryName, state.outputName)) return cannotWrite(state);
    state.temporaryName.clear();
    return 0;
}
