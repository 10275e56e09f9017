// Runs opmcast-full as the user runs it, for the tests of its command line.
#pragma once

#include <string>
#include <vector>

#include "tests/test_support.hpp"

struct ToolResult {
    int exitStatus = -1;
    std::string out, err;
};

// Runs opmcast-full in dir; stdout and stderr apart. As root, `asNobody` runs it as user and
// group 65534, to whom permissions apply.
ToolResult runFull(const ScratchDir& dir, std::vector<std::string> args, bool asNobody = false);
