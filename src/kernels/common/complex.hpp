// Double-precision complex arithmetic with explicit formulas: one rounding per
// operation, no fused multiply-add, no rescaling, and none of the special-value
// rules that library complex operators apply to infinities and NaN. The
// layout is that of one complex128 element (real part, then imaginary part).
#pragma once

#include <cmath>

namespace molvak::cx {

struct cdouble {
    double real;
    double imag;
};

// Each formula evaluated as written, in this order.
inline cdouble mulcc(cdouble a, cdouble b) {
    return {a.real * b.real - a.imag * b.imag, a.imag * b.real + a.real * b.imag};
}
inline cdouble mulcr(cdouble a, double r) { return {a.real * r, a.imag * r}; }
inline cdouble add(cdouble a, cdouble b) { return {a.real + b.real, a.imag + b.imag}; }
inline cdouble divcr(cdouble a, double r) { return {a.real / r, a.imag / r}; }
inline double abs(cdouble z) { return std::sqrt(z.real * z.real + z.imag * z.imag); }
inline cdouble conj(cdouble z) { return {z.real, -z.imag}; }
inline double arg(cdouble z) { return std::atan2(z.imag, z.real); }
// exp(re) * (cos im, sin im); with re == 0 this is exactly the unit phasor.
inline cdouble exp(cdouble z) {
    const double e = std::exp(z.real);
    return {e * std::cos(z.imag), e * std::sin(z.imag)};
}

}  // namespace molvak::cx
