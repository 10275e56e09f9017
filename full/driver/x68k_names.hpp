// File names as Human68k holds them: at most 18 bytes of Shift-JIS before the dot and 3
// after, no blanks (its shell splits words at them), none of the characters it reserves.
#pragma once

#include <set>
#include <string>

// Why an X68000 cannot hold the file name `name` (UTF-8, with its extension), "" when it can.
std::string x68kNameProblem(const std::string& name);

// A name for the program of `stem` (UTF-8, without extension) that Human68k holds: ASCII
// (letters transliterated where they can be, else "_"), blanks and reserved characters as
// "_", at most 18 characters, and not among `taken` (compared without case, as Human68k
// does), which it joins. Without its ".x".
std::string x68kStem(const std::string& stem, std::set<std::string>& taken);
