// Line geometry shared by the estimators that take a faster route on
// equally spaced traces. Plain C++.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace molvak {

// Whether offsets[0..n) are equally spaced to within a few units in the last
// place of the largest one (Capon's lag sums with plane steering, the
// Toeplitz path of the high-resolution Radon transform).
inline bool equally_spaced(const double* x, std::size_t n) {
    if (n < 2) return false;
    const double dx = (x[n - 1] - x[0]) / static_cast<double>(n - 1);
    if (!(dx != 0.0) || !std::isfinite(dx)) return false;
    double top = 0.0;
    for (std::size_t i = 0; i < n; ++i) top = std::max(top, std::fabs(x[i]));
    const double tol = 8.0 * std::numeric_limits<double>::epsilon() * top;
    for (std::size_t i = 0; i < n; ++i)
        if (!(std::fabs(x[i] - (x[0] + static_cast<double>(i) * dx)) <= tol)) return false;
    return true;
}

}  // namespace molvak
