// Key scripts: the presses a run gets, written as opmplay-sim --keys takes them.

#include <algorithm>
#include <cstdlib>

#include "opm_sim.hpp"

namespace opmsim {

namespace {

// One press, SECONDS:KEY.
bool parsePress(const std::string& text, KeyPress& press, std::string& error) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) {
        error = "\"" + text + "\" is not SECONDS:KEY";
        return false;
    }
    const std::string time = text.substr(0, colon), key = text.substr(colon + 1);
    char* end = nullptr;
    const double seconds = std::strtod(time.c_str(), &end);
    // Up to a day of virtual time, as --key-at and --limit.
    if (end == time.c_str() || *end != '\0' || !(seconds >= 0 && seconds <= 86400)) {
        error = "\"" + time + "\" is not a number of seconds from 0 to 86400";
        return false;
    }
    press.timeNs = std::int64_t(seconds * 1e9);
    if (key == "esc") {
        press.code = KEY_ESC;
    } else if (key == "space") {
        press.code = KEY_SPACE;
    } else if (key.size() == 1 && key[0] > 0x20 && key[0] < 0x7F) {
        press.code = std::uint8_t(key[0]);
    } else {
        error = "\"" + key + "\" is not a key (a printable character, esc or space)";
        return false;
    }
    return true;
}

}  // namespace

std::vector<KeyPress> parseKeyScript(const std::string& script, std::string& error) {
    std::vector<KeyPress> presses;
    error.clear();
    std::size_t from = 0;
    while (true) {
        const std::size_t comma = script.find(',', from);
        KeyPress press;
        if (!parsePress(script.substr(from, comma - from), press, error)) return {};
        presses.push_back(press);
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    std::stable_sort(presses.begin(), presses.end(),
                     [](const KeyPress& a, const KeyPress& b) { return a.timeNs < b.timeNs; });
    return presses;
}

}  // namespace opmsim
