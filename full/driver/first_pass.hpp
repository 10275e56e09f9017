// The walks through a VGM log besides the translation: the first pass, and the look-ahead.
#pragma once

#include <string>

#include "full/driver/vgm_reader.hpp"
#include "full/translate/dac_capture.hpp"
#include "full/translate/full_run.hpp"

// Pass 1: which FM channels are ever keyed, whether the log writes its chips at all, what else
// it holds, and the DAC's hits, gathered into `dac`.
SongFacts scanSong(VgmReader& reader, DacCapture& dac);

// A second reading of the log on a channel of its own, kept a little ahead of the translation:
// the FM key-ons and PSG note events up to where it has read, for the voice allocation
// (FullRun's keyOns and psgNotes point here). The translation drops those it has passed.
struct LookAhead {
    VgmReader reader;
    std::int64_t sample = 0;  // the log's time where it has read to
    bool ended = true;        // until started, and from the end of the log on
    FmKeyOns keyOns;
    PsgNoteEvents psgNotes;
    LookAhead() = default;
    LookAhead(const LookAhead&) = delete;
    LookAhead& operator=(const LookAhead&) = delete;
    ~LookAhead();
};
// Opens the log at `input` again; false when it cannot be read as one.
bool startLookAhead(LookAhead& ahead, const std::string& input);
// Reads on until the log's time reaches `sample` (a buffer's worth beyond, at most) or its end;
// nothing when not started.
void lookAheadTo(LookAhead& ahead, std::int64_t sample);
