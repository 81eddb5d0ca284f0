// The phase of the Hankel function of the first kind of order zero,
// H0(1)(k) = J0(k) + i Y0(k) = M0(k) exp(i theta(k)), as cylindrical-wave
// steering uses it, and the constants of the vectorised sine and cosine.
// Plain C++.
//
// The reference value is the math library's atan2(y0(k), j0(k)) (three calls
// of about 70 ns each). The fast evaluation writes
//
//     theta(k) = k + g(k)        (mod 2 pi),
//
// where g is smooth: g(k) -> -pi/2 as k -> 0 (Y0 -> -inf) and
// g(k) = -pi/4 + c(k) for large k with the modulus-phase expansion
// (Abramowitz & Stegun 9.2.29, DLMF 10.18.18, mu = 4 nu^2 = 0)
//
//     c(k) ~ -1/(8k) + 25/(384k^3) - 1073/(5120k^5) + 375733/(229376k^7)
//            - 55384775/(2359296k^9) + 24713030909/(46137344k^11) - ...
//
// * 64 <= k <= 2^32: g from the six terms above. The first omitted term is
//   below 6e-20 at k = 64 and falls as k^-13.
// * 2^-12 <= k < 64: g from a table of polynomials of degree 9, one per
//   interval [2^e (1 + j/16), 2^e (1 + (j+1)/16)), e = -12..5, j = 0..15,
//   each valid over its interval and the next (a window of 1/8 octave, so
//   that a block of nearby arguments can share one row). The windows scale
//   with k, so their centres lie at least 17 half-widths from the logarithmic
//   branch point of Y0 at k = 0 (the only singularity near the positive
//   axis): Chebyshev interpolation at 10 nodes converges like 34^-10,
//   and the truncation error, checked against 30-digit values of the Bessel
//   functions over the octaves, stays below 2e-17. A second table of degree
//   7 over windows of 1/16 octave (32 intervals per octave, truncation below
//   1e-16) serves blocks of arguments packed closely enough to share its
//   rows, two multiply-adds cheaper. The polynomials are built
//   once per process by interpolating the library's own phase at
//   near-Chebyshev nodes, so the table follows the library it stands in
//   for; its values carry the library's rounding (a few units in the last
//   place) times the interpolation's Lebesgue constant (about 2.5).
// * Everything else (k = 0, negative k, k below 2^-12 or above 2^32, NaN,
//   infinities) goes to the library itself, so those results are the
//   library's, bit for bit.
//
// theta is reduced to q pi/8 + r, |r| <= pi/16, in one pass from k and g (see
// kReducedSlope): k - q pi/8 is formed with fused multiply-adds, exactly or
// within one rounding for every k up to 2^32, so the size of k does not erode
// the phase. The sine and cosine of r come from short polynomials, and the
// sixteenth root of unity e^(i q pi/8) is applied by the caller.
//
// Error bound against atan2(y0(k), j0(k)) on the fast range: the library's
// own rounding, the interpolation error above and a few roundings of numbers
// below 2, altogether a few times 1e-16 rad (measured: at most 8.9e-16 over
// k from 0 to 2^33; the tests sweep k from 0 to 1e6 and beyond and hold it
// to 1e-12 rad).
#pragma once

#include <cstddef>
#include <cstdint>

namespace molvak::hankel {

// pi/2 = kPio2Hi + kPio2Mid + kPio2Lo to about 160 bits (building the table).
inline constexpr double kPio2Hi = 0x1.921fb54442d18p+0;
inline constexpr double kPio2Mid = 0x1.1a62633145c07p-54;
inline constexpr double kPio2Lo = -0x1.f1976b7ed8fbcp-110;
inline constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
// Adding 1.5 * 2^52 rounds a double of magnitude below 2^51 to an integer and
// leaves that integer, two's complement, in the low bits of the mantissa.
inline constexpr double kRoundMagic = 0x1.8p52;

// Largest |argument| reduced by the fast code; larger ones use the library.
inline constexpr double kMaxArgument = 0x1p32;

// The tabulated range [2^kMinExponent, kAsymptoticFrom).
inline constexpr int kMinExponent = -12;
inline constexpr int kOctaves = 18;
inline constexpr double kMinKappa = 0x1p-12;
inline constexpr double kAsymptoticFrom = 64.0;

// The shape of a table: 2^PerOctaveLog2 intervals per octave, a polynomial
// of Coefficients terms per interval, valid over the interval and the next.
template <int PerOctaveLog2, int Coefficients>
struct TableShape {
    static constexpr int kPerOctaveLog2 = PerOctaveLog2;
    static constexpr int kPerOctave = 1 << PerOctaveLog2;
    static constexpr int kIntervals = kOctaves * kPerOctave;
    static constexpr int kCoefficients = Coefficients;
    static constexpr int kRowSize = 2 + Coefficients;
    // The bits of a positive normal double shifted right by 52 - PerOctaveLog2
    // are (biased exponent, top mantissa bits): the interval number plus this.
    static constexpr std::uint64_t kBase = static_cast<std::uint64_t>(1023 + kMinExponent)
                                           << PerOctaveLog2;
};
// Windows of 1/8 octave, degree 9: truncation below 2e-17.
using Coarse = TableShape<4, 10>;
// Windows of 1/16 octave, degree 7: truncation below 1e-16, for blocks of
// arguments that spread over less than 1/64 of their size.
using Fine = TableShape<5, 8>;

// c(k) = u * (b0 + u^2 (b1 + u^2 (b2 + ...))), u = 1/k.
inline constexpr int kAsymptoticTerms = 6;
inline constexpr double kAsymptotic[kAsymptoticTerms] = {
    -1.0 / 8.0,
    25.0 / 384.0,
    -1073.0 / 5120.0,
    375733.0 / 229376.0,
    -55384775.0 / 2359296.0,
    24713030909.0 / 46137344.0,
};

// Reduction to sixteenths of a turn for the sine and cosine: x = q pi/8 + r,
// |r| <= pi/16 (+ 1e-6), with the two-part pi/8 = kPio8Hi + kPio8Mid (the
// part left out is below 1e-33).
inline constexpr double kEightOverPi = 0x1.45f306dc9c883p+1;
inline constexpr double kPio8Hi = 0x1.921fb54442d18p-2;
inline constexpr double kPio8Mid = 0x1.1a62633145c07p-56;
inline constexpr double kPio4 = 0x1.921fb54442d18p-1;
// cos and sin of q pi/8, q = 0..15, rounded to double.
inline constexpr double kRootCos[16] = {
    1.0,  0.9238795325112867,  0.7071067811865476,  0.3826834323650898,
    0.0,  -0.3826834323650898, -0.7071067811865476, -0.9238795325112867,
    -1.0, -0.9238795325112867, -0.7071067811865476, -0.3826834323650898,
    0.0,  0.3826834323650898,  0.7071067811865476,  0.9238795325112867,
};
inline constexpr double kRootSin[16] = {
    0.0,  0.3826834323650898,  0.7071067811865476,  0.9238795325112867,
    1.0,  0.9238795325112867,   0.7071067811865476,  0.3826834323650898,
    0.0,  -0.3826834323650898, -0.7071067811865476, -0.9238795325112867,
    -1.0, -0.9238795325112867,  -0.7071067811865476, -0.3826834323650898,
};

// sin r = r + r^3 (s0 + z (s1 + ...)) and cos r = 1 + z (c0 + z (c1 + ...)),
// z = r^2, for |r| <= pi/16 (+ 1e-6): near-minimax polynomials in z
// (interpolation at Chebyshev nodes of [0, (pi/16)^2]); truncation below
// 2e-17 and 6e-17, and evaluated in double with fused steps the results
// stay within 0.6 units in the last place.
inline constexpr int kSinTerms = 4;
inline constexpr double kSin[kSinTerms] = {
    -0.16666666666666624,
    0.008333333332974613,
    -0.00019841265188812475,
    2.7538008998069786e-06,
};
inline constexpr int kCosTerms = 5;
inline constexpr double kCos[kCosTerms] = {
    -0.5,
    0.04166666666666663,
    -0.0013888888888589936,
    2.4801583424293108e-05,
    -2.7541226587914694e-07,
};

// The Hankel phase is reduced as theta = q pi/8 + (kappa - q kPio8Hi) + h,
// where h = g - (kappa + g) kReducedSlope stands in for g: the last term is
// q kPio8Mid up to half of kPio8Mid (below 2e-17), so the reduction needs one
// step less. The table holds h; the series gives g and subtracts the term.
inline constexpr double kReducedSlope = kEightOverPi * kPio8Mid;

// A table: Shape::kIntervals rows of Shape::kRowSize doubles, one per
// interval [a, a + w), a = 2^e (1 + j/n), w = 2^e / n, n = Shape::kPerOctave.
// Each row's polynomial holds on [a, a + 2w), its own interval and the next
// one, so that a block of arguments spread over two neighbouring intervals
// can share the row of the lower one. A row holds the scale 2^(log2 n - e)
// and the offset n + 1 + j that map k to the local coordinate
// t = k * scale - offset in [-1, 1) of that window (exactly; the row's own
// interval is t < 0), then the monomial coefficients in t, constant term
// first. Built on the first call (thread-safe), then read-only.
template <class Shape>
const double* phase_table();

// The library's phase, atan2(y0(k), j0(k)).
double library_phase(double kappa);

}  // namespace molvak::hankel
