#include "common/hermitian.hpp"

#include <cmath>

namespace molvak::hermitian {

namespace {
inline double& re(double* a, std::size_t lda, std::size_t i, std::size_t j) { return a[2 * (i * lda + j)]; }
inline double& im(double* a, std::size_t lda, std::size_t i, std::size_t j) { return a[2 * (i * lda + j) + 1]; }
inline double re(const double* a, std::size_t lda, std::size_t i, std::size_t j) { return a[2 * (i * lda + j)]; }
inline double im(const double* a, std::size_t lda, std::size_t i, std::size_t j) { return a[2 * (i * lda + j) + 1]; }
}  // namespace

bool cholesky(double* a, std::size_t n, std::size_t lda) {
    for (std::size_t j = 0; j < n; ++j) {
        // pivot: a_jj - sum_k |g_jk|^2
        double d = re(a, lda, j, j);
        for (std::size_t k = 0; k < j; ++k) {
            const double gr = re(a, lda, j, k), gi = im(a, lda, j, k);
            d -= gr * gr + gi * gi;
        }
        if (!(d > 0.0)) return false;
        const double root = std::sqrt(d);
        re(a, lda, j, j) = root;
        im(a, lda, j, j) = 0.0;
        const double inv = 1.0 / root;
        for (std::size_t i = j + 1; i < n; ++i) {
            // g_ij = (a_ij - sum_k g_ik conj(g_jk)) / g_jj
            double sr = re(a, lda, i, j), si = im(a, lda, i, j);
            for (std::size_t k = 0; k < j; ++k) {
                const double ar = re(a, lda, i, k), ai = im(a, lda, i, k);
                const double br = re(a, lda, j, k), bi = im(a, lda, j, k);
                sr -= ar * br + ai * bi;
                si -= ai * br - ar * bi;
            }
            re(a, lda, i, j) = sr * inv;
            im(a, lda, i, j) = si * inv;
        }
    }
    return true;
}

void solve_lower(const double* g, std::size_t n, std::size_t lda, double* b) {
    for (std::size_t i = 0; i < n; ++i) {
        double sr = b[2 * i], si = b[2 * i + 1];
        for (std::size_t k = 0; k < i; ++k) {
            const double ar = re(g, lda, i, k), ai = im(g, lda, i, k);
            const double xr = b[2 * k], xi = b[2 * k + 1];
            sr -= ar * xr - ai * xi;
            si -= ar * xi + ai * xr;
        }
        const double d = re(g, lda, i, i);
        b[2 * i] = sr / d;
        b[2 * i + 1] = si / d;
    }
}

void solve_upper_conj(const double* g, std::size_t n, std::size_t lda, double* b) {
    for (std::size_t ii = n; ii-- > 0;) {
        double sr = b[2 * ii], si = b[2 * ii + 1];
        for (std::size_t k = ii + 1; k < n; ++k) {
            // (G^H)_{ii,k} = conj(g_{k,ii})
            const double ar = re(g, lda, k, ii), ai = -im(g, lda, k, ii);
            const double xr = b[2 * k], xi = b[2 * k + 1];
            sr -= ar * xr - ai * xi;
            si -= ar * xi + ai * xr;
        }
        const double d = re(g, lda, ii, ii);
        b[2 * ii] = sr / d;
        b[2 * ii + 1] = si / d;
    }
}

void invert_lower(const double* g, std::size_t n, std::size_t lda, double* inv) {
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) re(inv, lda, i, j) = im(inv, lda, i, j) = 0.0;
    // column j of the inverse solves G x = e_j; x_i = 0 for i < j
    for (std::size_t j = 0; j < n; ++j) {
        re(inv, lda, j, j) = 1.0 / re(g, lda, j, j);
        for (std::size_t i = j + 1; i < n; ++i) {
            double sr = 0.0, si = 0.0;
            for (std::size_t k = j; k < i; ++k) {
                const double ar = re(g, lda, i, k), ai = im(g, lda, i, k);
                const double xr = re(inv, lda, k, j), xi = im(inv, lda, k, j);
                sr += ar * xr - ai * xi;
                si += ar * xi + ai * xr;
            }
            const double d = re(g, lda, i, i);
            re(inv, lda, i, j) = -sr / d;
            im(inv, lda, i, j) = -si / d;
        }
    }
}

bool toeplitz_solve(const double* t, std::size_t n, double* b, double* work) {
    if (n == 0) return true;
    if (!(t[0] > 0.0)) return false;
    // The forward vector f of the leading m x m block (T_m f = e_1) and the
    // solution x of its system. T is Hermitian and Toeplitz, so J T J =
    // conj(T) (J reverses order): the backward vector (T_m g = e_m) is
    // g_k = conj(f_(m-1-k)), and its error on the next row is conj(ef).
    double* f = work;
    double* nf = work + 2 * n;
    double* x = work + 4 * n;
    f[0] = 1.0 / t[0];
    f[1] = 0.0;
    x[0] = b[0] / t[0];
    x[1] = b[1] / t[0];
    for (std::size_t m = 1; m < n; ++m) {
        // ef = sum_k t_(m-k) f_k and ex = sum_k t_(m-k) x_k: row m of T on
        // [f; 0] and [x; 0]
        double efr = 0.0, efi = 0.0, exr = 0.0, exi = 0.0;
        for (std::size_t k = 0; k < m; ++k) {
            const double ar = t[2 * (m - k)], ai = t[2 * (m - k) + 1];
            efr += ar * f[2 * k] - ai * f[2 * k + 1];
            efi += ar * f[2 * k + 1] + ai * f[2 * k];
            exr += ar * x[2 * k] - ai * x[2 * k + 1];
            exi += ar * x[2 * k + 1] + ai * x[2 * k];
        }
        // D = 1 - |ef|^2: positive while T is positive definite
        const double d = 1.0 - (efr * efr + efi * efi);
        if (!(d > 0.0)) return false;
        const double inv = 1.0 / d;
        // f' = ([f; 0] - ef [0; g]) / D, with [0; g]_k = conj(f_(m-k))
        for (std::size_t k = 0; k <= m; ++k) {
            const double fr = k < m ? f[2 * k] : 0.0, fi = k < m ? f[2 * k + 1] : 0.0;
            const double gr = k > 0 ? f[2 * (m - k)] : 0.0, gi = k > 0 ? -f[2 * (m - k) + 1] : 0.0;
            nf[2 * k] = (fr - (efr * gr - efi * gi)) * inv;
            nf[2 * k + 1] = (fi - (efr * gi + efi * gr)) * inv;
        }
        double* swap = f;
        f = nf;
        nf = swap;
        // x' = [x; 0] + (b_m - ex) g', g'_k = conj(f'_(m-k))
        const double rr = b[2 * m] - exr, ri = b[2 * m + 1] - exi;
        x[2 * m] = 0.0;
        x[2 * m + 1] = 0.0;
        for (std::size_t k = 0; k <= m; ++k) {
            const double gr = f[2 * (m - k)], gi = -f[2 * (m - k) + 1];
            x[2 * k] += rr * gr - ri * gi;
            x[2 * k + 1] += rr * gi + ri * gr;
        }
    }
    for (std::size_t k = 0; k < 2 * n; ++k) b[k] = x[k];
    return true;
}

}  // namespace molvak::hermitian
