// Small statistics over sequences of numbers.
#pragma once

#include <array>
#include <span>
#include <vector>

// Pearson correlation of a[i] and b[i]; 0 when either does not vary, as nothing then follows
// the other.
double pearson(std::span<const double> a, std::span<const double> b);

// The value below which the given fraction (0..1) of the values lie; 0 for no values.
double percentile(std::vector<double> values, double fraction);

// Cosine of the angle between two vectors; 0 when either is zero.
double cosine(const std::array<double, 12>& a, const std::array<double, 12>& b);

// Position of the top of the parabola through (-1, before), (0, peak), (1, after): -0.5..0.5.
double parabolicPeakOffset(double before, double peak, double after);

struct BestLag {
    double lag;          // in steps of the sequences, refined between them
    double correlation;  // at the nearest whole lag
};

// The lag within +-maxLag (fewer when the sequences are short) at which converted[k + lag]
// correlates best with source[k], refined by a parabola through its neighbours.
BestLag bestLag(const std::vector<double>& source, const std::vector<double>& converted,
                long maxLag);
