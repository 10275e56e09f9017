// What opmdump prints about an album: the track table, then each track as a song (its
// timeline, or its summary), as text or as JSON lines.
#pragma once

#include "dump/album/album.hpp"

// The album's facts and its track table: number, stream offset, pairs, length, loop, passes,
// fade and the title (the first line of the track's display header).
std::string albumTableText(const Album& album);
// The table, then each track's timeline under "track N of M".
std::string albumDumpText(const Album& album);
// The table, then each track's summary under "track N of M".
std::string albumSummaryText(const Album& album);
// A line of type "album": the table, the shared drums and an object a track with the fields
// of a song's summary; then, unless `summaryOnly`, every track's pairs tagged with "track".
std::string albumJson(const Album& album, bool summaryOnly);
// Track `index` alone: its heading and table row, then its timeline or summary (text), or its
// summary line and pairs (JSON), each tagged with its number.
std::string albumTrackText(const Album& album, std::size_t index, bool summary);
std::string albumTrackJson(const Album& album, std::size_t index, bool summaryOnly);
