#include "band_map.hpp"

#include <algorithm>
#include <cmath>

BandMap buildBandMap(int fftSize, double rate, const std::vector<double>& edgesHz) {
    BandMap map;
    if (edgesHz.size() < 2) return map;
    map.bands = static_cast<int>(edgesHz.size()) - 1;
    const double binWidth = rate / fftSize;
    // The DC bin carries no pitch and the Nyquist bin is shared with aliases: both are left out.
    for (int bin = 1; bin < fftSize / 2; ++bin) {
        const double low = (bin - 0.5) * binWidth;
        const double high = (bin + 0.5) * binWidth;
        for (int band = 0; band < map.bands; ++band) {
            const double overlap = std::min(high, edgesHz[band + 1]) - std::max(low, edgesHz[band]);
            if (overlap > 0) map.weights.push_back({bin, band, overlap / binWidth});
        }
    }
    return map;
}

std::vector<double> logBandEdges(double lowHz, double highHz, int perOctave) {
    std::vector<double> edges;
    for (int i = 0;; ++i) {
        const double edge = lowHz * std::exp2(static_cast<double>(i) / perOctave);
        if (edge > highHz) break;
        edges.push_back(edge);
    }
    return edges;
}
