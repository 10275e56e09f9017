// A run state wired to scratch files, for driving the converter's routines directly.
#pragma once

#include "channels/file_channels.hpp"
#include "driver/run_state.hpp"
#include "stream/register_stream.hpp"
#include "tests/test_support.hpp"

struct RunFixture {
    ScratchDir dir;
    RunState state;

    RunFixture() {
        initOpmShadow(state.shadow, state.latches);
        state.outputChannel = fileFreeNumber();
        fileOpen(dir.file("out"), state.outputChannel, FileAccess::createNew);
    }
    ~RunFixture() { fileCloseAll(); }

    void setInput(const Bytes& bytes) {
        writeFile(dir.file("in"), bytes);
        state.inputChannel = fileFreeNumber();
        fileOpen(dir.file("in"), state.inputChannel, FileAccess::readOnly);
    }

    // Everything written so far; closes the output.
    Bytes output() {
        drainStream(state);
        fileClose(state.outputChannel);
        return readFile(dir.file("out"));
    }

    // Pretends the stream already holds every wanted value.
    void markAllSent() { state.shadow.sent = state.shadow.wanted; }

    // The wanted image, for a change made outside the translation: the next flush looks at
    // every register.
    OpmImage& wantedToChange() {
        markEverythingChanged(state.shadow);
        return state.shadow.wanted;
    }
};
