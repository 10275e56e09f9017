#include "full/translate/adpcm_bank.hpp"

#include <soxr.h>

#include <algorithm>
#include <cmath>
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

// The DAC's values at the ADPCM's rate, through libsoxr's high-quality filter, scaled into the
// 12-bit range.
std::vector<std::int16_t> resampleDac(const DacSample& sample, double rate) {
    std::vector<float> in(sample.values.size());
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = float((sample.values[i] - 128) / 128.0);
    std::vector<float> out(std::size_t(std::ceil(in.size() * rate / sample.rate)) + 1);
    std::size_t done = 0;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_error_t error =
        soxr_oneshot(sample.rate, rate, 1, in.data(), in.size(), nullptr, out.data(), out.size(),
                     &done, nullptr, &quality, nullptr);
    if (error) done = 0;
    std::vector<std::int16_t> signals(done);
    for (std::size_t i = 0; i < done; ++i) {
        const double scaled = std::round(out[i] * ADPCM_HEADROOM * ADPCM_SIGNAL_MAX);
        signals[i] =
            std::int16_t(std::clamp(scaled, double(ADPCM_SIGNAL_MIN), double(ADPCM_SIGNAL_MAX)));
    }
    return signals;
}

void encode(const DacSample& source, AdpcmSample& sample, AdpcmRate rate) {
    sample.rate = rate;
    sample.bytes = adpcmEncode(resampleDac(source, adpcmRateHz(rate)));
}

}  // namespace

AdpcmBank buildAdpcmBank(const std::vector<DacSample>& samples, std::size_t room) {
    AdpcmBank bank;
    bank.samples.resize(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        bank.samples[i].seconds = double(samples[i].values.size()) / samples[i].rate;
        encode(samples[i], bank.samples[i], AdpcmRate::hz15625);
        bank.bytes += bank.samples[i].bytes.size();
    }
    // The longest first.
    std::vector<std::size_t> order(samples.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return bank.samples[a].seconds > bank.samples[b].seconds;
    });
    for (const AdpcmRate rate : {AdpcmRate::hz10417, AdpcmRate::hz7813})
        for (const std::size_t i : order) {
            if (bank.bytes <= room) return bank;
            AdpcmSample& sample = bank.samples[i];
            if (sample.rate == AdpcmRate::hz15625) ++bank.lowered;
            bank.bytes -= sample.bytes.size();
            encode(samples[i], sample, rate);
            bank.bytes += sample.bytes.size();
        }
    for (const std::size_t i : order) {
        if (bank.bytes <= room) return bank;
        AdpcmSample& sample = bank.samples[i];
        if (sample.seconds < SHORT_HIT_SECONDS) break;
        bank.bytes -= sample.bytes.size();
        sample.bytes.clear();
        ++bank.leftOut;
        bank.leftOutSeconds += sample.seconds;
    }
    bank.fits = bank.bytes <= room;
    return bank;
}
