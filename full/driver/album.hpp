// An album: every log a track of one program, played one after the other, with one bank of
// drums that the tracks share.
#pragma once

#include "full/driver/command_line.hpp"

// Makes options.album of options.inputs: the tracks' lines and the album's on stdout (none
// with -q), failures on stderr. The exit status: 0, or 1 when a log failed or the album was
// not made.
int makeAlbum(const Options& options);
