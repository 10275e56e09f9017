#include "full/translate/msm6258_adpcm.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>

namespace {

// floor(16 * 1.1^i), i = 0-48.
constexpr std::array<int, 49> STEP_SIZES = {
    16,  17,  19,  21,  23,  25,  28,  31,  34,  37,  41,   45,   50,   55,   60,  66,  73,
    80,  88,  97,  107, 118, 130, 143, 157, 173, 190, 209,  230,  253,  279,  307, 337, 371,
    408, 449, 494, 544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552};
// How the step index moves after a nibble, by its magnitude (bits 2-0).
constexpr std::array<int, 8> INDEX_MOVES = {-1, -1, -1, -1, 2, 4, 6, 8};

// The difference each magnitude adds, by step index: rising with the magnitude.
constexpr auto DIFFERENCES = [] {
    std::array<std::array<int, 8>, STEP_SIZES.size()> table{};
    for (std::size_t i = 0; i < STEP_SIZES.size(); ++i)
        for (int m = 0; m < 8; ++m) {
            const int step = STEP_SIZES[i];
            table[i][std::size_t(m)] =
                step / 8 + (m & 1 ? step / 4 : 0) + (m & 2 ? step / 2 : 0) + (m & 4 ? step : 0);
        }
    return table;
}();

}  // namespace

int adpcmDecodeNibble(AdpcmState& state, std::uint8_t nibble) {
    const int step = STEP_SIZES[std::size_t(state.stepIndex)];
    // The chip adds step/8 always and step/4, step/2 and step for bits 0-2, each truncated.
    int difference = step / 8;
    if (nibble & 0x01) difference += step / 4;
    if (nibble & 0x02) difference += step / 2;
    if (nibble & 0x04) difference += step;
    if (nibble & 0x08) difference = -difference;
    state.signal = std::clamp(state.signal + difference, ADPCM_SIGNAL_MIN, ADPCM_SIGNAL_MAX);
    state.stepIndex =
        std::clamp(state.stepIndex + INDEX_MOVES[nibble & 0x07], 0, int(STEP_SIZES.size()) - 1);
    return state.signal;
}

namespace {

// The least squared error any nibble leaves from `state` for `wanted`. The signals the 16
// nibbles reach are in order (the differences rise with the magnitude, and the clamp keeps the
// order), so the nearest is one of the two either side of `wanted`.
long long leastError(int signal, int stepIndex, int wanted) {
    const std::array<int, 8>& differences = DIFFERENCES[std::size_t(stepIndex)];
    const int direction = wanted >= signal ? 1 : -1;
    auto errorOf = [&](int signedDifference) {
        const long long e =
            std::clamp(signal + signedDifference, ADPCM_SIGNAL_MIN, ADPCM_SIGNAL_MAX) - wanted;
        return e * e;
    };
    // The first magnitude that reaches `wanted`, and the one below it (or the least difference
    // the other way).
    const int distance = direction * (wanted - signal);
    int reaching = 0;
    for (const int difference : differences) reaching += difference < distance;
    long long best = reaching == 0 ? errorOf(-direction * differences[0])
                                   : errorOf(direction * differences[std::size_t(reaching - 1)]);
    if (reaching < 8)
        best = std::min(best, errorOf(direction * differences[std::size_t(reaching)]));
    return best;
}

// The nibble for `wanted`, looking one sample ahead: the one whose squared error, with that
// of the best nibble after it for `next`, is least (the first such, in nibble order). Applied
// to the state.
std::uint8_t encodeNibble(AdpcmState& state, int wanted, int next) {
    const std::array<int, 8>& differences = DIFFERENCES[std::size_t(state.stepIndex)];
    std::uint8_t best = 0;
    long long bestError = LLONG_MAX;
    for (std::uint8_t nibble = 0; nibble < 16; ++nibble) {
        const int magnitude = nibble & 0x07;
        const int difference = differences[std::size_t(magnitude)];
        const int signal = std::clamp(state.signal + (nibble & 0x08 ? -difference : difference),
                                      ADPCM_SIGNAL_MIN, ADPCM_SIGNAL_MAX);
        const int stepIndex = std::clamp(state.stepIndex + INDEX_MOVES[std::size_t(magnitude)], 0,
                                         int(STEP_SIZES.size()) - 1);
        const long long error = signal - wanted;
        const long long total = error * error + leastError(signal, stepIndex, next);
        if (total < bestError) best = nibble, bestError = total;
    }
    adpcmDecodeNibble(state, best);
    return best;
}

}  // namespace

std::vector<std::uint8_t> adpcmEncode(std::span<const std::int16_t> signals) {
    std::vector<std::uint8_t> bytes((signals.size() + 1) / 2);
    AdpcmState state;
    for (std::size_t i = 0; i < signals.size(); ++i) {
        const int next = i + 1 < signals.size() ? signals[i + 1] : signals[i];
        const std::uint8_t nibble = encodeNibble(state, signals[i], next);
        bytes[i / 2] |= std::uint8_t(i % 2 == 0 ? nibble : nibble << 4);
    }
    if (signals.size() % 2 == 1)
        bytes.back() |= std::uint8_t(encodeNibble(state, state.signal, state.signal) << 4);
    return bytes;
}

std::vector<std::int16_t> adpcmDecode(std::span<const std::uint8_t> bytes) {
    std::vector<std::int16_t> signals;
    signals.reserve(2 * bytes.size());
    AdpcmState state;
    for (const std::uint8_t byte : bytes) {
        signals.push_back(std::int16_t(adpcmDecodeNibble(state, byte & 0x0F)));
        signals.push_back(std::int16_t(adpcmDecodeNibble(state, byte >> 4)));
    }
    return signals;
}
