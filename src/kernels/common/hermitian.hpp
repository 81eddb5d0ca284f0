// Small dense Hermitian systems: Cholesky factorisation, triangular solves
// and the inverse of a triangular factor. Complex numbers are interleaved
// (real, imaginary) doubles; matrices are row-major n x n with a leading
// dimension counted in complex elements. Plain C++, one rounding per
// operation.
#pragma once

#include <cstddef>

namespace molvak::hermitian {

// A = G G^H for a Hermitian positive definite A, read from its lower
// triangle and overwritten there by the lower-triangular G (the strict upper
// triangle is left alone). False, with A partly overwritten, when a pivot is
// not positive (or NaN): A is not positive definite to working precision.
bool cholesky(double* a, std::size_t n, std::size_t lda);

// x = G^-1 b in place (forward substitution), G from cholesky.
void solve_lower(const double* g, std::size_t n, std::size_t lda, double* b);

// x = G^-H b in place (back substitution with the conjugate transpose).
void solve_upper_conj(const double* g, std::size_t n, std::size_t lda, double* b);

// A^-1 b = G^-H G^-1 b in place.
inline void solve(const double* g, std::size_t n, std::size_t lda, double* b) {
    solve_lower(g, n, lda, b);
    solve_upper_conj(g, n, lda, b);
}

// The lower-triangular inverse of the lower-triangular G into inv (same
// layout; the strict upper triangle of inv is set to zero).
void invert_lower(const double* g, std::size_t n, std::size_t lda, double* inv);

// x = T^-1 b in place for the Hermitian Toeplitz matrix T_ik = t_(i-k)
// (i >= k; T_ki = conj(t_(i-k))), t[0..n) its first column, by Levinson's
// recursion (O(n^2)); `work` holds 3 n complex numbers. False when a
// leading block is not positive definite to working precision (b is then
// left partly overwritten).
bool toeplitz_solve(const double* t, std::size_t n, double* b, double* work);

}  // namespace molvak::hermitian
