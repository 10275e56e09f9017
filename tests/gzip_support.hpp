// Gzip compression for the tests, with zlib as gzip(1) would write it.
#pragma once

#include <zlib.h>

#include <stdexcept>

#include "tests/test_support.hpp"

inline Bytes gzipped(const Bytes& data, int level = Z_DEFAULT_COMPRESSION) {
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    Bytes out(deflateBound(&zs, uLong(data.size())));
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = uInt(data.size());
    zs.next_out = out.data();
    zs.avail_out = uInt(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
    out.resize(zs.total_out);
    return out;
}

// Bytes that compress poorly, so that damage lands inside the deflate data.
inline Bytes noise(std::size_t length, std::uint32_t seed = 1) {
    Bytes b(length);
    for (std::uint8_t& x : b) {
        seed = seed * 1103515245u + 12345u;
        x = std::uint8_t(seed >> 16);
    }
    return b;
}
