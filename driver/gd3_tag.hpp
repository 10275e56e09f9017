// The GD3 tag of a VGM log: its texts as UTF-8.
#pragma once
#include <cstdint>
#include <span>
#include <string>
struct Gd3Tag {
    std::string titleEnglish, titleJapanese, gameEnglish, gameJapanese, systemEnglish,
        systemJapanese, authorEnglish, authorJapanese, date, loggedBy, notes;
};
// Parses a GD3 block starting at its "Gd3 " marker; false when there is none or it is damaged
// (texts cut short are kept as far as they go; a missing field is empty).
bool parseGd3Tag(std::span<const std::uint8_t> block, Gd3Tag& tag);
// Reads the tag of the VGM log at `path`, plain or gzip; false when it has none or cannot be read.
bool readGd3Tag(const std::string& path, Gd3Tag& tag);
