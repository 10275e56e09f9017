// The lines opmcast-full prints for a converted log.
#pragma once

#include <string>
#include <vector>

#include "full/driver/convert_log.hpp"

// "song.vgm -> song.x: 52.8 s, loops at 14.4 s; FM 6, PSG 3 + noise, LFO; 18 KiB", and a
// second line, indented, naming what could not be carried.
std::string summaryLines(const ConvertRequest& request, const ConvertResult& result);

// The pieces of those lines, for an album's.
// The song's length and loop, how long it plays, and its voices: "52.8 s, loops at 14.4 s".
std::vector<std::string> songParts(const ConvertResult& result);
// "drums: 3 samples<afterCount>, 5 KiB ADPCM at 15.6 kHz", or how many at each rate.
std::string drumsPart(const Drums& drums, const std::string& afterCount = "");
// "23 KiB", "1.2 MiB".
std::string programSizeText(std::int64_t bytes);
// "  left out: ...\n", or "" when nothing was.
std::string leftOutLine(const ConvertResult& result);
// The warning for a log that ends before its end marker.
std::string cutShortWarning(const std::string& input, const ConvertResult& result);
