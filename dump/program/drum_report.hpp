// What opmdump prints about a full program's drums: the bank in the header and the summary,
// and the ADPCM commands of the timeline, as text and as JSON.
#pragma once

#include "dump/json_line.hpp"
#include "dump/program/executable_stream.hpp"
#include "dump/program/stream_report.hpp"

// The header's line about the bank; nothing without one.
std::string drumBankLine(const ExecutableStream& stream);
// A pair's meaning in its place in the stream: an ADPCM start with the sample it plays, a
// sample number, or what describePair says.
std::string describeStreamPair(const ExecutableStream& stream, std::size_t index);
// The facts of an ADPCM start or sample number for its JSON line.
void drumPairJson(JsonLine& line, const ExecutableStream& stream, std::size_t index);
// The summary's lines about the drums of a full program (nothing for a classic one).
std::string drumSummaryText(const ExecutableStream& stream, const StreamStats& stats);
// The summary's "drums" key of a full program: the bank and the starts, or null.
void drumSummaryJson(JsonLine& line, const ExecutableStream& stream, const StreamStats& stats);
