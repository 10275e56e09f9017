#include "dump/json_line.hpp"

#include "dump/text_format.hpp"

void jsonRaw(JsonLine& line, const char* key, const std::string& json) {
    if (line.text.size() > 1) line.text += ',';
    line.text += '"';
    line.text += key;
    line.text += "\":";
    line.text += json;
}

void jsonNumber(JsonLine& line, const char* key, std::uint64_t value) {
    jsonRaw(line, key, std::to_string(value));
}

void jsonSigned(JsonLine& line, const char* key, std::int64_t value) {
    jsonRaw(line, key, std::to_string(value));
}

void jsonSeconds(JsonLine& line, const char* key, double seconds) {
    jsonRaw(line, key, format("%.6f", seconds));
}

// Quotes and backslashes escaped, control characters as \u00XX; other bytes, UTF-8 included,
// go as they are.
void jsonText(JsonLine& line, const char* key, const std::string& value) {
    std::string json = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            json += format("\\u%04X", unsigned(c));
        } else {
            json += c;
        }
    }
    jsonRaw(line, key, json + '"');
}

void jsonBool(JsonLine& line, const char* key, bool value) {
    jsonRaw(line, key, value ? "true" : "false");
}

void jsonNull(JsonLine& line, const char* key) {
    jsonRaw(line, key, "null");
}

void jsonOptional(JsonLine& line, const char* key, std::optional<std::uint64_t> value) {
    if (value) {
        jsonNumber(line, key, *value);
    } else {
        jsonNull(line, key);
    }
}

void jsonObject(JsonLine& line, const char* key, const JsonLine& inner) {
    jsonRaw(line, key, inner.text + "}");
}

std::string jsonEnd(const JsonLine& line) {
    return line.text + "}\n";
}
