// Gzip decompression behind a read-only file channel. Memory is fixed: one compressed-input
// buffer and zlib's inflate state with its 32 KiB window, whatever the size of the data.
#pragma once

#include <zlib.h>

#include <cstdint>

#include "channels/file_channels.hpp"

struct GzipReader {
    z_stream zs{};
    bool started = false;  // inflate state allocated
    int fd = -1;
    bool ended = false;    // the last member's trailer has been checked
    bool damaged = false;  // corrupt data, a bad checksum, or the file ends inside a member
    std::uint8_t input[FILE_BUFFER_SIZE];
};

// True when the file at the descriptor begins with the gzip magic bytes 0x1F 0x8B.
bool gzipMagicAt(int fd);
// Starts (or starts again) decompressing from the descriptor's current position, which is
// the first member's header.
bool gzipBegin(GzipReader& reader, int fd);
// Decompresses up to capacity bytes; returns how many, 0 only at the end of the data or once
// the data is found damaged. Members that follow one another are read as one stream.
int gzipRead(GzipReader& reader, std::uint8_t* out, int capacity);
// Frees the inflate state; the descriptor stays with its owner.
void gzipEnd(GzipReader& reader);
