// What opmdump reads, and how it names a malformation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// A malformation of an input file and the offset at which it was found.
struct Problem {
    std::string text;
    std::uint64_t offset = 0;
};

// "0x1B2"
std::string hexOffset(std::uint64_t offset);
// "offset 0x1B2: text", the one line reported for a malformed file.
std::string describeProblem(const Problem& problem);
