// The lane vocabulary's probe (vocabulary.hpp), written once over the
// vocabulary and compiled once per instruction set.
#include "simd/lanes.hpp"

#include <cstdint>
#include <cstring>

#include "lanes/vocabulary.hpp"

namespace molvak::test::vocabulary::MOLVAK_LANES_NS {
namespace {

using namespace simd::lanes;

vd as_double(vm m) { return select(m, set1(1.0), set1(0.0)); }

void apply(int which, const double* a, const double* b, const double* c, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; i += W) {
        const vd x = loadu(a + i), y = loadu(b + i), z = loadu(c + i);
        vd r = x;
        switch (which) {
            case op::add: r = add(x, y); break;
            case op::sub: r = sub(x, y); break;
            case op::mul: r = mul(x, y); break;
            case op::divide: r = divide(x, y); break;
            case op::sqrt: r = simd::lanes::sqrt(x); break;
            case op::fmadd: r = simd::lanes::fmadd(x, y, z); break;
            case op::fnmadd: r = simd::lanes::fnmadd(x, y, z); break;
            case op::fmsub: r = simd::lanes::fmsub(x, y, z); break;
            case op::absval: r = simd::lanes::absval(x); break;
            case op::copysign: r = simd::lanes::copysign(x, y); break;
            case op::set1: r = simd::lanes::set1(a[i]); break;
            case op::sine: { vd s, co; sincos(x, &s, &co); r = s; break; }
            case op::cosine: { vd s, co; sincos(x, &s, &co); r = co; break; }
            case op::load_pairs: {
                // pairs from a + i / 2 (W of them in 2W doubles): real parts to
                // the first half of out, imaginary parts to the second
                if (i >= n / 2) continue;
                vd re, im;
                simd::lanes::load_pairs(a + 2 * i, &re, &im);
                storeu(out + i, re);
                storeu(out + n / 2 + i, im);
                continue;
            }
            case op::store_pairs:
                if (i >= n / 2) continue;
                simd::lanes::store_pairs(out + 2 * i, x, y);
                continue;
            case op::roundtrip_bits: r = from_bits(bits(x)); break;
            case op::lt: r = as_double(simd::lanes::lt(x, y)); break;
            case op::le: r = as_double(simd::lanes::le(x, y)); break;
            case op::gt: r = as_double(simd::lanes::gt(x, y)); break;
            case op::ge: r = as_double(simd::lanes::ge(x, y)); break;
            case op::both: r = as_double(simd::lanes::both(simd::lanes::lt(x, y), simd::lanes::lt(y, z))); break;
            case op::invert: r = as_double(simd::lanes::invert(simd::lanes::le(x, y))); break;
            case op::select: r = simd::lanes::select(simd::lanes::lt(x, y), x, z); break;
            case op::select_mask:
                r = as_double(simd::lanes::select_mask(simd::lanes::gt(x, z), simd::lanes::lt(x, y),
                                                       simd::lanes::ge(y, z)));
                break;
            case op::zero_unless: r = simd::lanes::zero_unless(simd::lanes::ge(x, y), z); break;
            case op::lane_bits: {
                // lane l reads bit l of the mask's bits
                const unsigned m = simd::lanes::lane_bits(simd::lanes::lt(x, y));
                for (std::size_t l = 0; l < W; ++l) out[i + l] = static_cast<double>((m >> l) & 1u);
                continue;
            }
            case op::any: r = set1(simd::lanes::any(simd::lanes::lt(x, y)) ? 1.0 : 0.0); break;
            case op::first_lanes: r = as_double(simd::lanes::first_lanes((i / W) % (W + 2))); break;
            case op::srl: r = from_bits(simd::lanes::srl<52>(bits(x))); break;
            case op::sll: r = from_bits(simd::lanes::sll<11>(bits(x))); break;
            case op::iand: r = from_bits(simd::lanes::iand(bits(x), bits(y))); break;
            case op::ior: r = from_bits(simd::lanes::ior(bits(x), bits(y))); break;
            case op::iadd: r = from_bits(simd::lanes::iadd(bits(x), bits(y))); break;
            case op::isub: r = from_bits(simd::lanes::isub(bits(x), bits(y))); break;
            case op::iset1: {
                std::int64_t v;
                std::memcpy(&v, a + i, sizeof v);
                r = from_bits(simd::lanes::iset1(v));
                break;
            }
            case op::iselect: {
                const vi p = bits(x), q = bits(y);
                r = from_bits(simd::lanes::iselect(simd::lanes::igt(p, q), p, bits(z)));
                break;
            }
            case op::igt: r = as_double(simd::lanes::igt(bits(x), bits(y))); break;
            case op::istore_iload: {
                std::int64_t tmp[W];
                simd::lanes::istoreu(tmp, bits(x));
                r = from_bits(simd::lanes::iloadu(tmp));
                break;
            }
            case op::gather: {
                // indices |trunc(a)| mod 16
                std::int64_t idx[W];
                for (std::size_t l = 0; l < W; ++l) {
                    const auto t = static_cast<std::int64_t>(a[i + l]);
                    idx[l] = (t < 0 ? -t : t) & 15;
                }
                r = simd::lanes::gather(c, simd::lanes::iloadu(idx));
                break;
            }
            case op::lookup16: {
                std::int64_t q[W];
                for (std::size_t l = 0; l < W; ++l) q[l] = static_cast<std::int64_t>(a[i + l]);
                r = simd::lanes::lookup16(simd::lanes::iloadu(q), c);
                break;
            }
            case op::index_roundtrip: r = index_value(to_index(x)); break;
            case op::xadd: r = index_value(simd::lanes::xadd(to_index(x), to_index(y))); break;
            case op::xgt: r = as_double(simd::lanes::xgt(to_index(x), to_index(y))); break;
            case op::xlt: r = as_double(simd::lanes::xlt(to_index(x), xset1(3))); break;
            case op::gather_or_zero: {
                // indices |trunc(a)| mod 16, read where b > 0
                std::int64_t idx[W];
                double pos[W];
                for (std::size_t l = 0; l < W; ++l) {
                    const auto t = static_cast<std::int64_t>(a[i + l]);
                    idx[l] = (t < 0 ? -t : t) & 15;
                    pos[l] = static_cast<double>(idx[l]);
                }
                r = simd::lanes::gather_or_zero(c, to_index(loadu(pos)), simd::lanes::gt(y, set1(0.0)));
                break;
            }
            default: break;
        }
        storeu(out + i, r);
    }
}

}  // namespace

const Table table = {W, kFusedMultiplyAdd, &apply};

}  // namespace molvak::test::vocabulary::MOLVAK_LANES_NS
