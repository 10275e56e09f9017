// The GD3 tag of an exported VGM file, recovered from the display block a program of
// opmcast-full shows: its header's first line is "title - game" (an album's track begins with
// "3/8  "), the next, when there is one, "system - author", the last the song's length.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "driver/gd3_tag.hpp"
#include "dump/problem.hpp"

// The tag as well as the header's lines tell it, texts as UTF-8. What the screen lost stays
// lost: the other language, a text cut to the screen's width (it ends in "..."), letters
// transliterated to ASCII, a " - " inside a title (it splits there), a game without a title
// (it reads as the title). A first line that is a log's file name (".vgm" or ".vgz": its tag
// had no title nor game) gives neither; a header with nothing else gives no tag. Shift-JIS
// texts go to the Japanese fields, ASCII ones to the English fields.
std::optional<Gd3Tag> tagFromDisplay(const std::string& header);

// One tag for a whole album: the title, game, system and author its tracks all share, and the
// tracks' titles listed in the notes; nothing when no track has a tag.
std::optional<Gd3Tag> albumTag(const std::vector<std::optional<Gd3Tag>>& tracks);

// Appends the tag as a GD3 block (version 1.00, its eleven texts in UTF-16LE) to a finished
// VGM file and sets the header's GD3 offset (0x14) and end-of-file offset (0x04).
void appendGd3(Bytes& vgm, const Gd3Tag& tag);
