// The boot sector code of a data disk (player/bootloader.s, assembled and built into the
// program). The X68000's IPL ROM reads a floppy's sector 0 to $2000 and runs it in supervisor
// mode; on a disk without Human68k this code, put where the sector's bra.s lands (byte $3E),
// prints through the IOCS that the disk holds no system and how to play it from Human68k
// (the disk in drive 1, its .X program run from there), then waits in a loop for the machine to
// be restarted with its RESET button or power switch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Position-independent 68000 code, at most the 962 bytes after the BPB.
std::span<const std::uint8_t> dataDiskBootLoader();
