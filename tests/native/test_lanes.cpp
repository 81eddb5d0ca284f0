// The lane vocabulary on every instruction set against the scalar set, the
// reference of what each operation computes: bit for bit for every operation
// whose result is defined to the last bit (IEEE arithmetic with one rounding,
// fused multiply-adds included, masks, bits, integers, gathers), over
// ordinary values, signed zeros, subnormals, infinities and NaNs. Sine and
// cosine come from a vector math library on some sets: within 5 ulps of the
// scalar library's values (each within 4 of the exact ones, the library's
// bound, plus the scalar function's own last bit).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "harness.hpp"
#include "lanes/vocabulary.hpp"
#include "sets.hpp"

namespace voc = molvak::test::vocabulary;
namespace simd = molvak::simd;

const char* molvak::test::vocabulary::name(int op) {
    static const char* const names[] = {
        "add", "sub", "mul", "divide", "sqrt", "fmadd", "fnmadd", "fmsub", "absval", "copysign", "set1",
        "sine", "cosine", "load_pairs", "store_pairs", "roundtrip_bits", "lt", "le", "gt", "ge", "both",
        "invert", "select", "select_mask", "zero_unless", "lane_bits", "any", "first_lanes", "srl", "sll",
        "iand", "ior", "iadd", "isub", "iset1", "iselect", "igt", "istore_iload", "gather", "lookup16",
        "index_roundtrip", "xadd", "xgt", "xlt", "gather_or_zero"};
    static_assert(sizeof names / sizeof names[0] == voc::op::count, "one name per operation");
    return op >= 0 && op < voc::op::count ? names[op] : "?";
}

namespace {

const voc::Table& table_of(simd::Isa isa) {
    using namespace voc;
    return simd::pick(isa, MOLVAK_LANE_TABLE_LIST(table));
}

std::uint64_t bits_of(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Distance in units in the last place between two finite doubles of one sign.
double ulps(double x, double y) {
    if (x == y) return 0.0;
    const double scale = std::max(std::fabs(x), std::fabs(y));
    return std::fabs(x - y) / (std::nextafter(scale, INFINITY) - scale);
}

// Arithmetic, whose NaNs may carry any payload.
bool is_float_op(int op) { return op <= voc::op::copysign; }

// The inputs of an operation: the index operations take small values (the
// widest indices are 32-bit), the others every kind of double.
std::vector<double> inputs(std::mt19937_64& gen, std::size_t n, int op, bool gathers) {
    std::normal_distribution<double> normal(0.0, 1e3);
    std::uniform_int_distribution<int> kind(0, 11);
    std::uniform_real_distribution<double> small(-40.0, 40.0);
    std::vector<double> v(n);
    const bool integer_range = op == voc::op::index_roundtrip || op == voc::op::xadd || op == voc::op::xgt ||
                               op == voc::op::xlt || op == voc::op::lookup16 || gathers;
    for (double& x : v) {
        if (integer_range) {
            x = small(gen);
            continue;
        }
        switch (kind(gen)) {
            case 0: x = 0.0; break;
            case 1: x = -0.0; break;
            case 2: x = std::numeric_limits<double>::quiet_NaN(); break;
            case 3: x = kind(gen) % 2 ? INFINITY : -INFINITY; break;
            case 4: x = std::numeric_limits<double>::denorm_min() * (1 + kind(gen)); break;
            case 5: x = -std::numeric_limits<double>::min() * 0.75; break;
            case 6: x = 1e300 * normal(gen); break;
            case 7: x = static_cast<double>(kind(gen) - 5); break;
            default: x = normal(gen);
        }
    }
    return v;
}

}  // namespace

TEST(lane_operations_agree_with_the_scalar_set) {
    const voc::Table& scalar = table_of(simd::Isa::scalar);
    CHECK(scalar.width == 1);
    std::mt19937_64 gen(11);
    const std::size_t n = 256;
    for (int op = 0; op < voc::op::count; ++op) {
        const bool gathers = op == voc::op::gather || op == voc::op::gather_or_zero;
        const std::vector<double> a = inputs(gen, n, op, gathers), b = inputs(gen, n, op, false);
        std::vector<double> c = inputs(gen, n, op, false);
        if (op == voc::op::sine || op == voc::op::cosine) continue;  // below
        std::vector<double> want(n, -7.0);
        scalar.apply(op, a.data(), b.data(), c.data(), want.data(), n);
        for (simd::Isa isa : molvak::test::usable_sets()) {
            const voc::Table& t = table_of(isa);
            std::vector<double> got(n, -7.0);
            t.apply(op, a.data(), b.data(), c.data(), got.data(), n);
            for (std::size_t e = 0; e < n; ++e) {
                const std::size_t first = e - e % t.width, lane = e % t.width;
                double expect = want[e];
                // the operations that see a whole vector at once
                if (op == voc::op::set1 || op == voc::op::iset1) expect = a[first];
                if (op == voc::op::any) {
                    bool any = false;
                    for (std::size_t l = 0; l < t.width; ++l) any = any || b[first + l] > a[first + l];
                    expect = any ? 1.0 : 0.0;
                }
                if (op == voc::op::first_lanes) expect = lane < (e / t.width) % (t.width + 2) ? 1.0 : 0.0;
                // NaNs may differ in payload; every other result to the bit
                const bool same = bits_of(got[e]) == bits_of(expect) ||
                                  (is_float_op(op) && std::isnan(got[e]) && std::isnan(expect));
                CHECK_MSG(same, simd::name(isa) << " " << voc::name(op) << " element " << e << ": " << got[e]
                                                << " for " << expect << " (a " << a[e] << ", b " << b[e]
                                                << ", c " << c[e] << ")");
            }
        }
    }
}

TEST(lane_sine_and_cosine_agree_with_the_scalar_set) {
    const voc::Table& scalar = table_of(simd::Isa::scalar);
    std::mt19937_64 gen(13);
    std::uniform_real_distribution<double> phase(-1e4, 1e4), near(-4.0, 4.0);
    const std::size_t n = 4096;
    std::vector<double> a(n), none(n, 0.0), want(n), got(n);
    for (std::size_t e = 0; e < n; ++e) a[e] = e % 2 ? phase(gen) : near(gen);
    a[0] = 0.0;
    a[1] = -0.0;
    a[2] = 1e300;  // full argument reduction
    for (int op : {voc::op::sine, voc::op::cosine}) {
        scalar.apply(op, a.data(), none.data(), none.data(), want.data(), n);
        for (std::size_t e = 0; e < n; ++e)
            CHECK(want[e] == (op == voc::op::sine ? std::sin(a[e]) : std::cos(a[e])));
        for (simd::Isa isa : molvak::test::usable_sets()) {
            table_of(isa).apply(op, a.data(), none.data(), none.data(), got.data(), n);
            double worst = 0.0;
            for (std::size_t e = 0; e < n; ++e) worst = std::max(worst, ulps(got[e], want[e]));
            CHECK_MSG(worst <= 5.0, simd::name(isa) << " " << voc::name(op) << ": " << worst << " ulps");
            CHECK_MSG(bits_of(got[0]) == bits_of(want[0]), simd::name(isa) << " " << voc::name(op) << " at +0");
        }
    }
}

TEST(every_usable_set_is_tested_and_aarch64_has_neon) {
    const std::vector<simd::Isa> sets = molvak::test::usable_sets();
    CHECK(!sets.empty() && sets.front() == simd::Isa::scalar);
#if defined(__aarch64__) && !defined(MOLVAK_PIN_ISA)
    // NEON is part of every AArch64 processor: the widest set there.
    CHECK(sets.size() == 2 && sets.back() == simd::Isa::neon);
    CHECK(simd::resolve(simd::Isa::best) == simd::Isa::neon);
    CHECK(table_of(simd::Isa::best).width == 2 && table_of(simd::Isa::best).fused_multiply_add);
#endif
}
