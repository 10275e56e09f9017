// Why a program cannot be written where it should go, in the user's terms.
#pragma once

#include <cstdint>
#include <string>

// "cannot write OUT: REASON", the reason found by looking at the path and its folder, then
// at the error of the write that failed (0 where none is known) and the room the disk has
// for the `needed` bytes of the program.
std::string whyNotWritable(const std::string& output, int writeError = 0, std::int64_t needed = 0);

// The reason for a write the disk had no room for, or -1 bytes free where that is not known:
// "the disk is full: the program needs 23 KiB, 4 KiB are free".
std::string noRoomReason(std::int64_t needed, std::int64_t available);
