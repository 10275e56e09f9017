// The lines opmcast-full prints for a converted log.
#pragma once

#include <string>

#include "full/driver/convert_log.hpp"

// "song.vgm -> song.x: 52.8 s, loops at 14.4 s; FM 6, PSG 3 + noise, LFO; 18 KiB", and a
// second line, indented, naming what could not be carried.
std::string summaryLines(const ConvertRequest& request, const ConvertResult& result);
