#include "report.hpp"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* pattern, ...) {
    char text[256];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// The lag is given in whole milliseconds: its refinement between 5 ms frames is not finer.
long roundedLag(double lagMs) {
    return std::lround(lagMs);
}

// Signed, "0" without a sign.
std::string lagText(double lagMs) {
    const long lag = roundedLag(lagMs);
    return lag == 0 ? std::string("0") : format("%+ld", lag);
}

std::string bandLabel(int band) {
    const double hz = OCTAVE_CENTRES_HZ[band];
    if (hz >= 1000) return format("%.0f kHz", hz / 1000);
    return format("%.0f Hz", std::ceil(hz));
}

// Band key in JSON: the nominal centre in Hz.
std::string bandKey(int band) {
    return format("%.0f", std::ceil(OCTAVE_CENTRES_HZ[band]));
}

std::string optionalNumber(const std::optional<double>& value, const char* pattern,
                           const char* none) {
    return value ? format(pattern, *value) : std::string(none);
}

}  // namespace

std::string fidelityText(const Fidelity& fidelity) {
    std::string text = format("compared            %.1f s\n", fidelity.seconds);
    text +=
        format("chroma similarity   %.3f   (mean cosine of pitch-class profiles, 1 = same notes)\n",
               fidelity.chroma);
    text += format(
        "timing              lag %s ms (positive = conversion late), onset correlation %.2f\n",
        lagText(fidelity.lagMs).c_str(), fidelity.onsetCorrelation);
    const double panned = 100 * fidelity.sourcePanning;
    if (fidelity.stereoCorrelation) {
        text += format(
            "stereo              balance correlation %.2f (source panned: %.0f%% of its band "
            "blocks lean to a side)\n",
            *fidelity.stereoCorrelation, panned);
    } else if (fidelity.monoInput) {
        text += "stereo              n/a (a file has one channel)\n";
    } else {
        text += format(
            "stereo              n/a (source is centred: %.0f%% of its band blocks lean to a "
            "side)\n",
            panned);
    }
    text += format("level               %+.1f dB; band envelope correlation %s (", fidelity.levelDb,
                   optionalNumber(fidelity.bandCorrelationMean, "%.2f", "n/a").c_str());
    for (int band = 0; band < OCTAVE_BANDS; ++band) {
        if (band > 0) text += ", ";
        text +=
            bandLabel(band) + " " + optionalNumber(fidelity.bandCorrelation[band], "%.2f", "n/a");
    }
    return text + ")\n";
}

std::string fidelityJson(const Fidelity& fidelity) {
    std::string json = format(
        "{\"seconds\":%.3f,\"chroma\":%.4f,\"lag_ms\":%ld,\"onset_correlation\":%.4f",
        fidelity.seconds, fidelity.chroma, roundedLag(fidelity.lagMs), fidelity.onsetCorrelation);
    json += ",\"stereo_correlation\":" + optionalNumber(fidelity.stereoCorrelation, "%.4f", "null");
    json += format(",\"source_panned\":%s,\"source_panning\":%.4f",
                   fidelity.sourcePanned ? "true" : "false", fidelity.sourcePanning);
    json += format(",\"level_db\":%.2f,\"band_correlation\":{", fidelity.levelDb);
    for (int band = 0; band < OCTAVE_BANDS; ++band) {
        if (band > 0) json += ',';
        json += '"' + bandKey(band) +
                "\":" + optionalNumber(fidelity.bandCorrelation[band], "%.4f", "null");
    }
    json += "},\"band_correlation_mean\":" +
            optionalNumber(fidelity.bandCorrelationMean, "%.4f", "null");
    return json + "}\n";
}
