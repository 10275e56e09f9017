// A VGM log with its bursts of DAC writes settled, for renderers that take time over them.
#pragma once

#include "dump/problem.hpp"

struct DacSettling {
    std::uint64_t runs = 0;           // runs of DAC writes within one sample, settled
    std::uint64_t droppedWrites = 0;  // the writes before each run's last
};

// Commands that write the YM2612's DAC (0x52 0x2A, and 0x80-0x8F, which write the data bank's
// byte at the seek pointer and step it) or move the pointer (0xE0) and that follow each other
// within one sample play at one instant: only the last value written stays on the DAC. Each
// such run with two writes or more becomes that last write, with the seeks that leave the
// pointer where the run left it, where that is shorter; a 0x81-0x8F that ends a run keeps its
// wait. Everything else
// is copied as it stands, and the header's offsets (end of file, GD3 tags, loop) follow the
// commands they point to. A run is not settled across the loop point, nor where a header
// offset points inside it. Settling stops at the end command or at a command cut short by the
// end of the file; the rest is copied.
DacSettling settleDacWrites(const Bytes& log, Bytes& settled);
