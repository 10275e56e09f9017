// One JSON object on one line, built field by field. Keys are plain ASCII chosen by this
// program; text values are UTF-8, escaped where JSON needs it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct JsonLine {
    std::string text = "{";
};

void jsonRaw(JsonLine& line, const char* key, const std::string& json);
void jsonNumber(JsonLine& line, const char* key, std::uint64_t value);
void jsonSigned(JsonLine& line, const char* key, std::int64_t value);
void jsonSeconds(JsonLine& line, const char* key, double seconds);
void jsonText(JsonLine& line, const char* key, const std::string& value);
void jsonBool(JsonLine& line, const char* key, bool value);
void jsonNull(JsonLine& line, const char* key);
// The number, or null when there is none.
void jsonOptional(JsonLine& line, const char* key, std::optional<std::uint64_t> value);
void jsonObject(JsonLine& line, const char* key, const JsonLine& inner);
// The finished object followed by a line end.
std::string jsonEnd(const JsonLine& line);
