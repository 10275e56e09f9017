// A soundtrack on floppy images for the X68000: the album on 2HD data disks, split over as
// many as its tracks need.
#pragma once

#include "full/driver/command_line.hpp"

// Writes options.disk (or OUT1.xdf, OUT2.xdf, ... when the tracks need more than one disk),
// each holding an album of its tracks and README.TXT; a line per disk on stdout (none with
// -q), failures on stderr. The exit status: 0, or 1 when a log failed or no disk was written.
int makeDisks(const Options& options);
