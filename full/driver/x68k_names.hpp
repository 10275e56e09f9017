// File and folder names as Human68k holds them: at most 18 bytes of Shift-JIS before the dot
// and 3 after, no blanks (its shell splits words at them), none of the characters it reserves.
// The names are written on the host in UTF-8; their bytes are counted as Shift-JIS, as the
// X68000 will hold them.
#pragma once

#include <set>
#include <string>

// Why an X68000 cannot hold the file or folder name `name` (UTF-8, with its extension if it
// has one), "" when it can.
std::string x68kNameProblem(const std::string& name);

// A name for the program of `stem` (UTF-8, without extension) that Human68k holds: the
// characters Shift-JIS has kept as they are, the others transliterated to ASCII where they
// can be, else "_"; blanks, dots and reserved characters as "_"; cut to 18 bytes of Shift-JIS
// (never inside a two-byte character), and not among `taken` (compared without ASCII case, as
// Human68k does), which it joins. Without its ".x". A stem that fits stays as it is.
std::string x68kStem(const std::string& stem, std::set<std::string>& taken);

// A folder's name made to fit as x68kStem makes a stem (a name that fits, with an extension
// or not, stays as it is), unique among `taken`, which it joins.
std::string x68kFolderName(const std::string& name, std::set<std::string>& taken);
