#include <cstdint>
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

enum class InputCheck { vgm, notVgm, damaged };

// Opens the input and reads its identification. Compressed data is first read through
// once, so that damage is reported before any of it is converted or identified.
InputCheck checkInput(RunState& state, const std::string& inputName) {
    state.inputChannel = fileFreeNumber();
    fileOpen(inputName, state.inputChannel, FileAccess::readUnpacked);
    fileSkip(state.inputChannel, INT64_MAX);
    if (fileDamaged(state.inputChannel)) return InputCheck::damaged;
    std::string identification;
    fileReadText(state.inputChannel, 1, identification, 5);  // from the start again
    return identification == "Vgm " ? InputCheck::vgm : InputCheck::notVgm;
}

// The player is vgmstub.bin in the current folder; where that name is not there at all, the
// copy installed with the program (none when installedStub is empty). A vgmstub.bin that is
// there but is no player fails as before, and nothing is created.
bool stubIsExecutable(RunState& state, const std::string& installedStub) {
    const bool useInstalled = !installedStub.empty() && !fileExists(STUB_NAME);
    state.stubChannel = fileFreeNumber();
    fileOpen(useInstalled ? installedStub : STUB_NAME, state.stubChannel, FileAccess::readOnly);
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

InputChoice chooseInput(const std::string& baseName) {
    for (const char* extension : {".vgm", ".vgz"})
        if (fileExists(baseName + extension)) return {baseName + extension, baseName};
    for (const char* extension : {".vgm", ".vgz"})
        if (baseName.ends_with(extension) && fileExists(baseName))
            return {baseName, baseName.substr(0, baseName.size() - 4)};
    return {baseName + ".vgm", baseName};
}

std::string baseNameFromArguments(int argc, const char* const* argv) {
    std::string baseName;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) baseName += ' ';
        baseName += argv[i];
    }
    return baseName;
}

namespace {

int convert(const std::string& baseName, const std::string& installedStub) {
    RunState state;
    initOpmShadow(state.shadow, state.latches);
    const InputChoice choice = chooseInput(baseName);
    const std::string cannotUnpack = "can't unpack " + choice.inputName + " :( ";
    const InputCheck check = checkInput(state, choice.inputName);
    if (check == InputCheck::damaged) return fail(state, cannotUnpack);
    if (check == InputCheck::notVgm) return fail(state, "not Vgm :( ");
    if (!stubIsExecutable(state, installedStub)) return fail(state, "can't open vgmstub.bin :( ");
    state.outputName = choice.outputBase + ".x";
    if (!fileReplaceable(state.outputName) || !createTemporaryOutput(state))
        return cannotWrite(state);

    copyStubHead(state);
    readVgmHeader(state);
    state.sampleBacklog = 0;
    state.pendingTicks = 0;
    writeStreamPrologue(state);
    runCommandLoop(state);
    finishExecutable(state);

    // Checked once more to the end, in case the file changed since it was first read.
    fileSkip(state.inputChannel, INT64_MAX);
    if (fileDamaged(state.inputChannel)) return fail(state, cannotUnpack);
    // A log made for other chips would convert to a program that plays nothing.
    if (state.otherChipCommand && !commandDataWritesSourceChips(state))
        return fail(state, "no YM2612 or SN76489 data :( ");
    fileClose(state.inputChannel);
    const bool written = fileClose(state.outputChannel) == FILE_OK;
    fileClose(state.stubChannel);
    if (!written || !fileRename(state.temporaryName, state.outputName)) return cannotWrite(state);
    state.temporaryName.clear();
    return 0;
}

}  // namespace

int runConversion(const std::string& baseName, const std::string& installedStub) {
    const int status = convert(baseName, installedStub);
    flushConsole();
    return status;
}
