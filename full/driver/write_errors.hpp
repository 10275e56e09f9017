// Why a program cannot be written where it should go, in the user's terms.
#pragma once

#include <string>

// "cannot write OUT: REASON", the reason found by looking at the path and its folder.
std::string whyNotWritable(const std::string& output);
