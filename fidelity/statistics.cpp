#include "statistics.hpp"

#include <algorithm>
#include <cmath>

namespace {

// Variances below this (relative to the mean square) count as no variation at all.
constexpr double FLAT = 1e-12;

}  // namespace

double pearson(std::span<const double> a, std::span<const double> b) {
    const std::size_t n = std::min(a.size(), b.size());
    if (n < 2) return 0;
    double meanA = 0, meanB = 0;
    for (std::size_t i = 0; i < n; ++i) {
        meanA += a[i];
        meanB += b[i];
    }
    meanA /= static_cast<double>(n);
    meanB /= static_cast<double>(n);
    double cross = 0, varA = 0, varB = 0, squareA = 0, squareB = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double da = a[i] - meanA, db = b[i] - meanB;
        cross += da * db;
        varA += da * da;
        varB += db * db;
        squareA += a[i] * a[i];
        squareB += b[i] * b[i];
    }
    if (varA <= FLAT * squareA || varB <= FLAT * squareB || varA <= 0 || varB <= 0) return 0;
    return std::clamp(cross / std::sqrt(varA * varB), -1.0, 1.0);
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    const auto at = static_cast<std::size_t>(
        std::clamp(fraction, 0.0, 1.0) * static_cast<double>(values.size() - 1) + 0.5);
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at),
                     values.end());
    return values[at];
}

double cosine(const std::array<double, 12>& a, const std::array<double, 12>& b) {
    double dot = 0, normA = 0, normB = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        dot += a[i] * b[i];
        normA += a[i] * a[i];
        normB += b[i] * b[i];
    }
    if (normA <= 0 || normB <= 0) return 0;
    return std::clamp(dot / std::sqrt(normA * normB), -1.0, 1.0);
}

double parabolicPeakOffset(double before, double peak, double after) {
    const double curvature = before - 2 * peak + after;
    if (curvature >= 0) return 0;  // not a peak
    return std::clamp(0.5 * (before - after) / curvature, -0.5, 0.5);
}

namespace {

// Correlation of source[k] with converted[k + lag] over the k where both exist.
double laggedCorrelation(std::span<const double> source, std::span<const double> converted,
                         long lag) {
    const auto n = static_cast<long>(std::min(source.size(), converted.size()));
    const long first = std::max(0L, -lag);
    const long count = std::min(n, n - lag) - first;
    if (count <= 0) return 0;
    return pearson(
        source.subspan(static_cast<std::size_t>(first), static_cast<std::size_t>(count)),
        converted.subspan(static_cast<std::size_t>(first + lag), static_cast<std::size_t>(count)));
}

}  // namespace

BestLag bestLag(const std::vector<double>& source, const std::vector<double>& converted,
                long maxLag) {
    // At least half of the sequences overlap at any lag tried.
    const long n = static_cast<long>(std::min(source.size(), converted.size()));
    maxLag = std::clamp(maxLag, 0L, n / 2);
    std::vector<double> correlation;
    std::size_t best = 0;
    for (long lag = -maxLag; lag <= maxLag; ++lag) {
        correlation.push_back(laggedCorrelation(source, converted, lag));
        if (correlation.back() > correlation[best]) best = correlation.size() - 1;
    }
    double offset = 0;
    if (best > 0 && best + 1 < correlation.size())
        offset =
            parabolicPeakOffset(correlation[best - 1], correlation[best], correlation[best + 1]);
    return {static_cast<double>(static_cast<long>(best) - maxLag) + offset, correlation[best]};
}
