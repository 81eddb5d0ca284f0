// The velocity loops of Capon beamforming, written once over the lane
// vocabulary and compiled once per instruction set.
#include "simd/lanes.hpp"

#include "capon/capon_lanes.hpp"

namespace molvak::capon::MOLVAK_LANES_NS {
namespace {

using namespace simd::lanes;

void quadratic(const double* inv, std::size_t M, const double* er, const double* ei, std::size_t stride,
               std::size_t n, double* zr, double* zi, double* q) {
    const std::size_t body = n / W * W;
    for (std::size_t h = 0; h < n; ++h) q[h] = 0.0;
    for (std::size_t i = 0; i < M; ++i) {
        for (std::size_t h = 0; h < n; ++h) zr[h] = zi[h] = 0.0;
        for (std::size_t j = 0; j <= i; ++j) {
            const double lr = inv[2 * (i * M + j)], li = inv[2 * (i * M + j) + 1];
            const vd vlr = set1(lr), vli = set1(li);
            const double* a = er + j * stride;
            const double* b = ei + j * stride;
            for (std::size_t h = 0; h < body; h += W) {
                const vd va = loadu(a + h), vb = loadu(b + h);
                storeu(zr + h, add(loadu(zr + h), sub(mul(vlr, va), mul(vli, vb))));
                storeu(zi + h, add(loadu(zi + h), add(mul(vlr, vb), mul(vli, va))));
            }
            for (std::size_t h = body; h < n; ++h) {
                zr[h] += lr * a[h] - li * b[h];
                zi[h] += lr * b[h] + li * a[h];
            }
        }
        for (std::size_t h = 0; h < body; h += W) {
            const vd a = loadu(zr + h), b = loadu(zi + h);
            storeu(q + h, add(loadu(q + h), add(mul(a, a), mul(b, b))));
        }
        for (std::size_t h = body; h < n; ++h) q[h] += zr[h] * zr[h] + zi[h] * zi[h];
    }
}

void lag_form(const double* s, std::size_t M, const double* zr, const double* zi, std::size_t n, double* q) {
    const std::size_t body = n / W * W;
    const double s0 = s[0];
    std::size_t h = 0;
    for (; h < body; h += W) {
        const vd cr = loadu(zr + h), ci = loadu(zi + h);
        vd ar = set1(s[2 * (M - 1)]), ai = set1(s[2 * (M - 1) + 1]);
        for (std::size_t l = M - 1; l-- > 1;) {
            // a = a z + s_l
            const vd tr = add(sub(mul(ar, cr), mul(ai, ci)), set1(s[2 * l]));
            const vd ti = add(add(mul(ar, ci), mul(ai, cr)), set1(s[2 * l + 1]));
            ar = tr;
            ai = ti;
        }
        // s_0 + 2 Re(a z)
        const vd re = sub(mul(ar, cr), mul(ai, ci));
        storeu(q + h, M > 1 ? add(set1(s0), mul(set1(2.0), re)) : set1(s0));
    }
    for (; h < n; ++h) {
        const double cr = zr[h], ci = zi[h];
        double ar = s[2 * (M - 1)], ai = s[2 * (M - 1) + 1];
        for (std::size_t l = M - 1; l-- > 1;) {
            const double tr = (ar * cr - ai * ci) + s[2 * l];
            const double ti = (ar * ci + ai * cr) + s[2 * l + 1];
            ar = tr;
            ai = ti;
        }
        q[h] = M > 1 ? s0 + 2.0 * (ar * cr - ai * ci) : s0;
    }
}

}  // namespace

const LaneKernels lane_kernels = {&quadratic, &lag_form};

}  // namespace molvak::capon::MOLVAK_LANES_NS
