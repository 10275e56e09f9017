#include "dump/problem.hpp"

#include "dump/text_format.hpp"

std::string hexOffset(std::uint64_t offset) {
    return format("0x%llX", ull(offset));
}

std::string describeProblem(const Problem& problem) {
    return "offset " + hexOffset(problem.offset) + ": " + problem.text;
}
