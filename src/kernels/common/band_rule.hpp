// The one rule that maps a frequency band to a range of FFT bins. Plain C++.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace molvak {

struct BinRange {
    std::int64_t first;  // inclusive
    std::int64_t stop;   // exclusive; may lie below first (no bin of the spectrum)
};

// Truncation toward zero to a 64-bit integer that is defined for every double:
// values beyond the range saturate, NaN gives 0.
inline std::int64_t saturating_trunc(double q) noexcept {
    constexpr double limit = 9223372036854775808.0;  // 2**63
    if (std::isnan(q)) return 0;
    if (q >= limit) return std::numeric_limits<std::int64_t>::max();
    if (q < -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(q);
}

// Bin k of an FFT of length N at interval dt lies at k * df, df = 1 / (dt * N).
// first is the lowest bin whose frequency, computed as first * df, is not
// below f_min (never below bin 0); stop - 1 is the integer part of f_max / df,
// capped at the last of the `bins` bins. Infinite limits saturate, so that
// f_max = +inf reaches the top bin and f_min = -inf bin 0.
inline BinRange band_rule(double f_min, double f_max, double dt, std::int64_t N,
                          std::int64_t bins) noexcept {
    const double df = 1.0 / (dt * static_cast<double>(N));
    std::int64_t first = saturating_trunc(f_min / df);
    if (f_min > static_cast<double>(first) * df &&
        first < std::numeric_limits<std::int64_t>::max())
        first += 1;
    if (first < 0) first = 0;
    std::int64_t stop = saturating_trunc(f_max / df + 1.0);
    if (stop > bins) stop = bins;
    return {first, stop};
}

}  // namespace molvak
