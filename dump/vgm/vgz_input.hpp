// VGM logs are often stored gzip-compressed (.vgz); the converter reads them unpacked.
#pragma once

#include <optional>
#include <string>

#include "dump/problem.hpp"

bool isGzip(const Bytes& bytes);
// Whether the bytes read from the named file are a VGM log, plain or gzip-compressed, going
// by its identification "Vgm ".
bool isVgmLog(const std::string& name, const Bytes& bytes);

// Replaces `bytes`, the gzip data read from the named file, with what it unpacks to, read
// through the converter's own file channel. Corrupt or cut-short data is a problem at the
// offset in the unpacked data where it turned up.
std::optional<Problem> unpackGzip(const std::string& name, Bytes& bytes);
