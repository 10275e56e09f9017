// Runs opmcast-full as the user runs it, for the tests of its command line.
#pragma once

#include <string>
#include <vector>

#include "tests/test_support.hpp"

struct ToolResult {
    int exitStatus = -1;
    std::string out, err;
};

// What a run is put through besides its arguments.
struct RunConditions {
    long fileSizeLimit = 0;    // bytes a file may reach (RLIMIT_FSIZE); 0: no limit
    int interruptAfterMs = 0;  // a Ctrl-C (SIGINT to its process group) after that long; 0: none
};

// Runs opmcast-full in dir; stdout and stderr apart. As root, `asNobody` runs it as user and
// group 65534, to whom permissions apply.
ToolResult runFull(const ScratchDir& dir, std::vector<std::string> args, bool asNobody = false,
                   const RunConditions& conditions = {});
