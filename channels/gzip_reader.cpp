#include "channels/gzip_reader.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int GZIP_WINDOW_BITS = 15 + 16;  // 32 KiB window, gzip header and trailer only

// Tops the input buffer up with more of the file, keeping the unread bytes at its front.
// Returns false on a read error.
bool fillInput(GzipReader& r, unsigned atLeast) {
    if (r.zs.avail_in > 0 && r.zs.next_in != r.input)
        std::memmove(r.input, r.zs.next_in, r.zs.avail_in);
    r.zs.next_in = r.input;
    while (r.zs.avail_in < atLeast) {
        const ssize_t n = ::read(r.fd, r.input + r.zs.avail_in, sizeof r.input - r.zs.avail_in);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        r.zs.avail_in += unsigned(n);
    }
    return true;
}

// After a member's trailer another member follows only if the next two bytes are the magic;
// anything else after the data is padding and is ignored, as gunzip does.
bool startNextMember(GzipReader& r) {
    if (r.zs.avail_in < 2 && !fillInput(r, 2)) {
        r.damaged = true;
        return false;
    }
    if (r.zs.avail_in < 2 || r.zs.next_in[0] != 0x1F || r.zs.next_in[1] != 0x8B) return false;
    return inflateReset(&r.zs) == Z_OK;
}

}  // namespace

bool gzipMagicAt(int fd) {
    std::uint8_t magic[2] = {};
    return ::pread(fd, magic, 2, 0) == 2 && magic[0] == 0x1F && magic[1] == 0x8B;
}

bool gzipBegin(GzipReader& r, int fd) {
    r.fd = fd;
    r.ended = r.damaged = false;
    if (!r.started) {
        r.zs = z_stream{};
        r.started = inflateInit2(&r.zs, GZIP_WINDOW_BITS) == Z_OK;
    } else if (inflateReset(&r.zs) != Z_OK) {
        return false;
    }
    r.zs.next_in = r.input;
    r.zs.avail_in = 0;
    return r.started;
}

int gzipRead(GzipReader& r, std::uint8_t* out, int capacity) {
    if (!r.started || r.ended || r.damaged || capacity <= 0) return 0;
    r.zs.next_out = out;
    r.zs.avail_out = unsigned(capacity);
    while (!r.ended && !r.damaged && r.zs.avail_out == unsigned(capacity)) {
        if (r.zs.avail_in == 0) {
            if (!fillInput(r, 1) || r.zs.avail_in == 0) {
                r.damaged = true;  // a read error, or the file ends inside a member
                break;
            }
        }
        const int rc = inflate(&r.zs, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            r.ended = !startNextMember(r);
        } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && r.zs.avail_in == 0)) {
            r.damaged = true;  // Z_DATA_ERROR covers bad headers, bad codes and bad checksums
        }
    }
    return capacity - int(r.zs.avail_out);
}

void gzipEnd(GzipReader& r) {
    if (r.started) inflateEnd(&r.zs);
    r.started = false;
}
