#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace kestrane::bench {

/// The value below which `percent` of `samples` lie (nearest rank); 0 when
/// there are none.
inline double Percentile(std::vector<double> samples, double percent) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    const auto rank =
        static_cast<std::size_t>(percent / 100.0 * static_cast<double>(samples.size()));
    return samples[std::min(rank, samples.size() - 1)];
}

inline double Median(const std::vector<double>& samples) {
    return Percentile(samples, 50);
}

inline double Smallest(const std::vector<double>& samples) {
    return samples.empty() ? 0 : *std::min_element(samples.begin(), samples.end());
}

inline double Largest(const std::vector<double>& samples) {
    return samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
}

} // namespace kestrane::bench
