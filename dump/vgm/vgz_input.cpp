#include "dump/vgm/vgz_input.hpp"
#include <algorithm>

#include "channels/file_channels.hpp"

bool isGzip(const Bytes& bytes) {
    return bytes.size() >= 2 && bytes[0] == 0x1F && bytes[1] == 0x8B;
}

bool isVgmLog(const std::string& name, const Bytes& bytes) {
    Bytes unpacked = bytes;
    if (isGzip(bytes) && unpackGzip(name, unpacked)) return false;
    return unpacked.size() >= 4 && std::equal(unpacked.begin(), unpacked.begin() + 4, "Vgm ");
}

std::optional<Problem> unpackGzip(const std::string& name, Bytes& bytes) {
    bytes.clear();
    const int channel = fileFreeNumber();
    if (channel == 0 || fileOpen(name, channel, FileAccess::readUnpacked) != FILE_OK)
        return Problem{"cannot open the file again to unpack it", 0};
    while (!fileAtEnd(channel)) {
        std::uint8_t b = 0;
        fileRead(channel, 0, &b, 1);
        if (fileDamaged(channel)) break;
        bytes.push_back(b);
    }
    const bool damaged = fileDamaged(channel);
    fileClose(channel);
    if (damaged)
        return Problem{"the gzip data is corrupt or cut short (offset in the unpacked data)",
                       bytes.size()};
    return std::nullopt;
}
