#include "full/translate/adpcm_bank.hpp"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>

#include "full/translate/msm6258_adpcm.hpp"

double adpcmRateHz(AdpcmRate rate) {
    static const double HZ[3] = {8e6 / 512, 8e6 / 768, 8e6 / 1024};
    return HZ[int(rate)];
}

std::uint8_t adpcmDividerBits(AdpcmRate rate) {
    static const std::uint8_t BITS[3] = {0x08, 0x04, 0x00};
    return BITS[int(rate)];
}

namespace {

constexpr std::size_t SOXR_OUTPUT_SLACK = 16;

// One libsoxr resampler for each pair of rates: its filter is designed once, then cleared for
// each sample.
struct Resamplers {
    std::map<std::pair<std::uint32_t, AdpcmRate>, soxr_t> byRates;
    Resamplers() = default;
    Resamplers(const Resamplers&) = delete;
    Resamplers& operator=(const Resamplers&) = delete;
    ~Resamplers() {
        for (auto& [rates, resampler] : byRates) soxr_delete(resampler);
    }
};

// The DAC's values through the resampler for their rate, filter delay and tail included.
std::vector<float> resample(Resamplers& resamplers, const DacSample& sample, AdpcmRate rate) {
    soxr_t& resampler = resamplers.byRates[{sample.rate, rate}];
    if (!resampler) {
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_error_t error = nullptr;
        resampler =
            soxr_create(sample.rate, adpcmRateHz(rate), 1, &error, nullptr, &quality, nullptr);
        if (error) return {};
    } else {
        soxr_clear(resampler);
    }
    std::vector<float> in(sample.values.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = float((sample.values[i] - 128) / 128.0);
        if (i < sample.gains.size()) in[i] *= sample.gains[i];
    }
    const std::size_t room =
        std::size_t(std::ceil(double(in.size()) * adpcmRateHz(rate) / sample.rate)) + 1;
    // libsoxr's flush reads its output buffer a value past the room it is given: slack keeps
    // that read inside the buffer.
    std::vector<float> out(room + SOXR_OUTPUT_SLACK);
    std::size_t taken = 0, done = 0, more = 0;
    if (soxr_process(resampler, in.data(), in.size(), &taken, out.data(), room, &done)) return {};
    // The end of the input: what the filter still holds.
    do {
        if (soxr_process(resampler, nullptr, 0, nullptr, out.data() + done, room - done, &more))
            return {};
        done += more;
    } while (more > 0 && done < room);
    out.resize(done);
    return out;
}

std::vector<std::int16_t> signalsFrom(Resamplers& resamplers, const DacSample& sample,
                                      AdpcmRate rate) {
    const std::vector<float> out = resample(resamplers, sample, rate);
    std::vector<std::int16_t> signals(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double scaled = std::round(out[i] * ADPCM_HEADROOM * ADPCM_SIGNAL_MAX);
        signals[i] =
            std::int16_t(std::clamp(scaled, double(ADPCM_SIGNAL_MIN), double(ADPCM_SIGNAL_MAX)));
    }
    return signals;
}

}  // namespace

std::vector<std::int16_t> adpcmSignals(const DacSample& sample, AdpcmRate rate) {
    Resamplers resamplers;
    return signalsFrom(resamplers, sample, rate);
}

namespace {

// The bytes a sample takes at a rate: as many as libsoxr's output can be, two codes a byte.
std::size_t plannedBytes(const DacSample& source, AdpcmRate rate) {
    const double length = std::ceil(double(source.values.size()) * adpcmRateHz(rate) / source.rate);
    return (std::size_t(length) + 2) / 2;
}

}  // namespace

AdpcmBank buildAdpcmBank(const std::vector<DacSample>& samples, std::size_t room) {
    // The rates are planned from each sample's length first, so that only what is kept is
    // resampled and encoded (the encoder tries 256 code pairs a sample).
    AdpcmBank bank;
    bank.samples.resize(samples.size());
    std::size_t planned = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        bank.samples[i].seconds = double(samples[i].values.size()) / samples[i].rate;
        planned += plannedBytes(samples[i], AdpcmRate::hz15625);
    }
    // The longest first.
    std::vector<std::size_t> order(samples.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return bank.samples[a].seconds > bank.samples[b].seconds;
    });
    std::vector<bool> kept(samples.size(), true);
    // The fade's copies, heard ever quieter under the fading music, give up their rate first.
    for (const bool copies : {true, false})
        for (const AdpcmRate rate : {AdpcmRate::hz10417, AdpcmRate::hz7813})
            for (const std::size_t i : order) {
                if (planned <= room) break;
                if (samples[i].gains.empty() == copies) continue;
                AdpcmSample& sample = bank.samples[i];
                if (sample.rate == AdpcmRate::hz15625) ++bank.lowered;
                planned -= plannedBytes(samples[i], sample.rate);
                sample.rate = rate;
                planned += plannedBytes(samples[i], rate);
            }
    for (const std::size_t i : order) {
        if (planned <= room) break;
        AdpcmSample& sample = bank.samples[i];
        if (sample.seconds < SHORT_HIT_SECONDS) break;
        planned -= plannedBytes(samples[i], sample.rate);
        kept[i] = false;
        ++bank.leftOut;
        bank.leftOutSeconds += sample.seconds;
    }
    bank.fits = planned <= room;
    if (!bank.fits) return bank;
    Resamplers resamplers;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (!kept[i]) continue;
        AdpcmSample& sample = bank.samples[i];
        sample.bytes = adpcmEncode(signalsFrom(resamplers, samples[i], sample.rate));
        bank.bytes += sample.bytes.size();
    }
    return bank;
}

std::int64_t smallestBankBytes(const std::vector<DacSample>& samples) {
    if (samples.empty()) return 0;
    // A table entry and a closing byte a sample, a byte of padding.
    auto bytes = std::int64_t(samples.size()) * 9 + 1;
    for (const DacSample& sample : samples)
        if (double(sample.values.size()) / sample.rate < SHORT_HIT_SECONDS)
            bytes += std::int64_t(plannedBytes(sample, AdpcmRate::hz7813));
    return bytes;
}
