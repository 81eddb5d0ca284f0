#include "fdbf/hankel_phase.hpp"

#include <math.h>  // j0, y0 (POSIX)

#include <cmath>
#include <utility>

namespace molvak::hankel {

double library_phase(double kappa) { return std::atan2(::y0(kappa), ::j0(kappa)); }

namespace {

constexpr long double kPiL = 3.141592653589793238462643383279502884L;

// g(k) = theta(k) - k, taken in the branch around -0.7: the true values lie
// in (-pi/2, -pi/4), so the window (-pi - 0.7, pi - 0.7] leaves no doubt.
// k is reduced exactly as the fast evaluation reduces it (k = q pi/2 + r,
// the same three fused steps), so that the evaluation's k + g lands on the
// library's angle at the nodes up to the rounding of its final sums.
long double phase_excess(double kappa) {
    const double q = (kappa * kTwoOverPi + kRoundMagic) - kRoundMagic;
    double r = std::fma(-q, kPio2Hi, kappa);
    r = std::fma(-q, kPio2Mid, r);
    r = std::fma(-q, kPio2Lo, r);
    const long double quadrant = static_cast<long double>(std::fmod(q, 4.0));
    long double g = static_cast<long double>(library_phase(kappa)) - static_cast<long double>(r) -
                    quadrant * (kPiL / 2);
    while (g > kPiL - 0.7L) g -= 2 * kPiL;
    while (g <= -kPiL - 0.7L) g += 2 * kPiL;
    return g;
}

// Solves the n x n system a x = b in place (partial pivoting).
template <int n>
void solve(long double (&a)[n][n], long double (&b)[n]) {
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int row = col + 1; row < n; ++row)
            if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) pivot = row;
        if (pivot != col) {
            for (int k = 0; k < n; ++k) std::swap(a[col][k], a[pivot][k]);
            std::swap(b[col], b[pivot]);
        }
        for (int row = col + 1; row < n; ++row) {
            const long double f = a[row][col] / a[col][col];
            for (int k = col; k < n; ++k) a[row][k] -= f * a[col][k];
            b[row] -= f * b[col];
        }
    }
    for (int col = n - 1; col >= 0; --col) {
        long double s = b[col];
        for (int k = col + 1; k < n; ++k) s -= a[col][k] * b[k];
        b[col] = s / a[col][col];
    }
}

template <class Shape>
struct Table {
    double coefficients[Shape::kIntervals * Shape::kRowSize];

    Table() {
        constexpr int n = Shape::kCoefficients;
        constexpr int kPerOctave = Shape::kPerOctave;
        // Monomial coefficients of the Chebyshev polynomials T_0 .. T_{n-1}.
        long double cheb[n][n] = {};
        cheb[0][0] = 1;
        cheb[1][1] = 1;
        for (int k = 2; k < n; ++k)
            for (int j = 0; j < n; ++j)
                cheb[k][j] = (j > 0 ? 2 * cheb[k - 1][j - 1] : 0) - cheb[k - 2][j];

        for (int e = kMinExponent; e < kMinExponent + kOctaves; ++e) {
            for (int j = 0; j < kPerOctave; ++j) {
                // Window [a, a + 2 half) of the interval [a, a + half) and the
                // next one; half is a power of two, so the local coordinate
                // (k - mid) / half of a double k is exact.
                const double a = std::ldexp(1.0 + static_cast<double>(j) / kPerOctave, e);
                const double half = std::ldexp(1.0 / kPerOctave, e);
                const double mid = a + half;
                long double system[n][n];
                long double values[n];
                for (int m = 0; m < n; ++m) {
                    const double node = static_cast<double>(std::cos(kPiL * (m + 0.5L) / n));
                    const double kappa = mid + half * node;
                    const long double t = static_cast<long double>((kappa - mid) / half);
                    // T_k(t) by the recurrence.
                    long double tk_1 = 1, tk = t;
                    system[m][0] = 1;
                    system[m][1] = t;
                    for (int k = 2; k < n; ++k) {
                        const long double next = 2 * t * tk - tk_1;
                        tk_1 = tk;
                        tk = next;
                        system[m][k] = next;
                    }
                    const long double g = phase_excess(kappa);
                    // h = g - (kappa + g) * (8/pi) * (pi/8 - kPio8Hi)
                    const long double slope = 8 / kPiL * (kPiL / 8 - static_cast<long double>(kPio8Hi));
                    values[m] = g - (static_cast<long double>(kappa) + g) * slope;
                }
                solve(system, values);  // Chebyshev coefficients of the interpolant
                double* row = coefficients + ((e - kMinExponent) * kPerOctave + j) * Shape::kRowSize;
                row[0] = 1.0 / half;
                row[1] = mid / half;
                for (int p = 0; p < n; ++p) {
                    long double s = 0;
                    for (int k = p; k < n; ++k) s += values[k] * cheb[k][p];
                    row[2 + p] = static_cast<double>(s);
                }
            }
        }
    }
};

}  // namespace

template <class Shape>
const double* phase_table() {
    static const Table<Shape> table;
    return table.coefficients;
}

template const double* phase_table<Coarse>();
template const double* phase_table<Fine>();

}  // namespace molvak::hankel
