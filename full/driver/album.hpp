// An album: every log a track of one program, played one after the other, with one bank of
// drums that the tracks share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "full/driver/command_line.hpp"

// Makes options.album of options.inputs: the tracks' lines and the album's on stdout (none
// with -q), failures on stderr. The exit status: 0, or 1 when a log failed or the album was
// not made.
int makeAlbum(const Options& options);

// What a data disk needs of an album it holds: made as for --album, into a file it reads back.
struct AlbumMemory {
    bool probing = false;   // only whether it fits: no line on a limit too small
    bool tooLarge = false;  // the tracks did not fit under options.maxSize
    std::vector<std::uint8_t> program;
    std::vector<std::string> names;  // the track list's names (UTF-8)
    double seconds = 0;              // how long the tracks play
};
// As makeAlbum, the album's own line left out (the disk's is printed instead); `memory` gets
// the program's bytes when it was made.
int makeAlbum(const Options& options, AlbumMemory& memory);
