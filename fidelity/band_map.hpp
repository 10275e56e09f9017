// Groups the bins of a real FFT into frequency bands. Each bin stands for the interval of one bin
// width around its centre frequency; it contributes to a band by the fraction of that interval the
// band covers, so narrow bands at low frequencies still receive their share of a wide bin.
#pragma once

#include <vector>

struct BandWeight {
    int bin;
    int band;
    double weight;  // 0..1
};

struct BandMap {
    int bands = 0;
    std::vector<BandWeight> weights;
};

// Band i spans [edgesHz[i], edgesHz[i + 1]). Bins above the Nyquist frequency do not exist.
BandMap buildBandMap(int fftSize, double rate, const std::vector<double>& edgesHz);

// Edges of bands a fraction 1/perOctave of an octave wide, from lowHz up to at most highHz.
std::vector<double> logBandEdges(double lowHz, double highHz, int perOctave);
