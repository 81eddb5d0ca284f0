// The beamforming kernel and its steering phasors, written once over the
// lane vocabulary and compiled once per instruction set.
//
// Every lane owns one phase velocity and sums its traces in trace order with
// the same operations in every instantiation. A cylindrical steering element
// may come from any of the table polynomials whose windows cover its
// argument (in either table), depending on its neighbours in the lane block;
// they agree to about 1e-16. Otherwise every element is the same function of
// its own argument in every path.
//
// Fused multiply-adds appear where a different but accurate method stands in
// for library calls and for the literal contraction: the argument
// reduction, the polynomials of the sine, cosine and Hankel phase, and the
// accumulation of the beam. The steering arguments themselves,
// phi = ((f * -2pi) / c) * x and kappa = ((f * 2pi) / c) * x, keep one
// rounding per operation in that order.
#include "simd/lanes.hpp"

#include <type_traits>

#include "fdbf/fdbf_lanes.hpp"
#include "fdbf/hankel_phase.hpp"

namespace molvak::fdbf::MOLVAK_LANES_NS {
namespace {

using namespace simd::lanes;

struct Reduced {
    vd r;   // the angle minus q pi/8, |r| <= pi/16 (+ 1e-6)
    vi qm;  // q in the low bits (two's complement): bits of q + 1.5 * 2^52
};

// x = q pi/8 + r by Cody-Waite reduction with a two-part pi/8 and fused
// steps. For |x| <= 2^32 the first step is exact (x - q kPio8Hi is a
// multiple of the smaller of the two units in the last place and below 1/4
// in size), the second adds one rounding.
inline Reduced reduce_sixteenth(vd x) {
    const vd magic = set1(hankel::kRoundMagic);
    const vd y = fmadd(x, set1(hankel::kEightOverPi), magic);
    const vd q = sub(y, magic);
    vd r = fnmadd(q, set1(hankel::kPio8Hi), x);
    r = fnmadd(q, set1(hankel::kPio8Mid), r);
    return {r, bits(y)};
}

// cos r and sin r for |r| <= pi/16 (+ 1e-6).
inline void sincos_poly(vd r, vd& c, vd& s) {
    const vd z = mul(r, r);
    vd ps = set1(hankel::kSin[hankel::kSinTerms - 1]);
    for (int k = hankel::kSinTerms - 2; k >= 0; --k) ps = fmadd(ps, z, set1(hankel::kSin[k]));
    s = fmadd(mul(r, z), ps, r);
    vd pc = set1(hankel::kCos[hankel::kCosTerms - 1]);
    for (int k = hankel::kCosTerms - 2; k >= 0; --k) pc = fmadd(pc, z, set1(hankel::kCos[k]));
    c = fmadd(z, pc, set1(1.0));
}

// ---------------------------------------------------------------------------
// Phase of H0(1): theta(kappa) = kappa + g(kappa) (mod 2 pi), see
// hankel_phase.hpp.

// Offset of row idx, in doubles or bytes: idx times 12, 10, 96 or 80.
template <int Size>
inline vi times(vi idx) {
    if constexpr (Size == 12) return iadd(sll<3>(idx), sll<2>(idx));
    else if constexpr (Size == 10) return iadd(sll<3>(idx), sll<1>(idx));
    else if constexpr (Size == 96) return iadd(sll<6>(idx), sll<5>(idx));
    else {
        static_assert(Size == 80, "no shift pair for this row size");
        return iadd(sll<6>(idx), sll<4>(idx));
    }
}

// h from the row of every lane's own interval (lanes outside `tabled` read
// row 0 and are not used). The local coordinate, in the first half of the
// row's window, comes from the mantissa bits: exactly kappa * scale - offset.
template <class Shape>
inline vd table_lanes(vd kappa, vm tabled, const double* table) {
    const vi b = bits(kappa);
    vi idx = isub(srl<52 - Shape::kPerOctaveLog2>(b), iset1(static_cast<std::int64_t>(Shape::kBase)));
    idx = iselect(tabled, idx, iset1(0));
    const vi row = times<Shape::kRowSize>(idx);
    const vd m = from_bits(ior(iand(sll<Shape::kPerOctaveLog2>(b), iset1(0x000FFFFFFFFFFFFFLL)),
                               iset1(0x3FF0000000000000LL)));
    const vd t = sub(m, set1(2.0));
    const double* coef = table + 2;
    vd p = gather(coef + (Shape::kCoefficients - 1), row);
    for (int k = Shape::kCoefficients - 2; k >= 0; --k) p = fmadd(p, t, gather(coef + k, row));
    return p;
}

// h from g = -pi/4 + c(kappa), the modulus-phase series in u = 1/kappa. In
// the kernel u is formed as (c / (f 2pi)) * (1/x), a few roundings away from
// 1/kappa: c is below 2e-3 in size, so that moves it by less than 1e-18.
inline vd asymptotic(vd kappa, vd u) {
    const vd u2 = mul(u, u);
    vd c = set1(hankel::kAsymptotic[hankel::kAsymptoticTerms - 1]);
    for (int k = hankel::kAsymptoticTerms - 2; k >= 0; --k)
        c = fmadd(c, u2, set1(hankel::kAsymptotic[k]));
    const vd g = fmadd(u, c, set1(-hankel::kPio4));
    return fnmadd(add(kappa, g), set1(hankel::kReducedSlope), g);
}

// theta = kappa + g = q pi/8 + (kappa - q kPio8Hi) + h in one pass: q from
// kappa + h (its rounding only chooses q); kappa - q kPio8Hi, below 2 in
// size, is within a rounding.
inline Reduced hankel_reduce(vd kappa, vd h) {
    const vd magic = set1(hankel::kRoundMagic);
    const vd y = fmadd(add(kappa, h), set1(hankel::kEightOverPi), magic);
    const vd q = sub(y, magic);
    return {add(fnmadd(q, set1(hankel::kPio8Hi), kappa), h), bits(y)};
}

// Lanes whose argument the fast code handles; the others take the library's
// values.
inline vm plane_fast(vd phi) { return le(absval(phi), set1(hankel::kMaxArgument)); }
inline vm hankel_fast(vd kappa) {
    return both(ge(kappa, set1(hankel::kMinKappa)), le(kappa, set1(hankel::kMaxArgument)));
}

// ---------------------------------------------------------------------------
// Steering and accumulation.
//
// The conjugated steering element is a sixteenth root of unity times a
// phasor of the reduced angle: conj(E) = e^(-i q pi/8) (cos r - i sin r) for
// plane waves (phi = q pi/8 + r) and e^(i q pi/8) (cos r + i sin r) for
// cylindrical ones (theta = q pi/8 + r). The root goes onto a_i instead: rot
// holds a_i e^(-+i q pi/8) for q mod 16, and the lane picks its entry by q.

// a_i = w_i U[i,g] (offset weighting: the spectrum times the offset) and its
// turns by e^(i q pi/8) for cylindrical waves, e^(-i q pi/8) for plane ones,
// q = 0..15, as (ar c - ai s, ar s + ai c) with one rounding per operation:
// exact for multiples of 4 (products by 0 and +-1), a few roundings
// otherwise.
template <bool Cylindrical>
void fill_rotations(const Problem& p, const Work& w, std::size_t g) {
    alignas(64) double root_c[16];
    alignas(64) double root_s[16];
    for (int q = 0; q < 16; ++q) {
        root_c[q] = hankel::kRootCos[q];
        root_s[q] = Cylindrical ? hankel::kRootSin[q] : -hankel::kRootSin[q];
    }
    for (std::size_t i = 0; i < p.nx; ++i) {
        const double* u = p.spectrum + 2 * (static_cast<std::ptrdiff_t>(i) * p.trace_stride +
                                            static_cast<std::ptrdiff_t>(g) * p.bin_stride);
        const vd ar = set1(p.weight_by_offset ? u[0] * w.x[i] : u[0]);
        const vd ai = set1(p.weight_by_offset ? u[1] * w.x[i] : u[1]);
        for (std::size_t q = 0; q < 16; q += W) {
            const vd c = loadu(root_c + q), s = loadu(root_s + q);
            storeu(w.rot_r + 16 * i + q, sub(mul(ar, c), mul(ai, s)));
            storeu(w.rot_i + 16 * i + q, add(mul(ar, s), mul(ai, c)));
        }
    }
}

// Four partial sums, one fused step each per trace, so that the chain carried
// from trace to trace is a single multiply-add.
struct Beam {
    vd rc, rs, ic, is;
};

inline Beam beam_zero() { return {set1(0.0), set1(0.0), set1(0.0), set1(0.0)}; }

inline void accumulate(vd c, vd s, vi qm, const double* rot_r, const double* rot_i, Beam& b) {
    const vd br = lookup16(qm, rot_r), bi = lookup16(qm, rot_i);
    b.rc = fmadd(br, c, b.rc);
    b.rs = fmadd(bi, s, b.rs);
    b.ic = fmadd(bi, c, b.ic);
    b.is = fmadd(br, s, b.is);
}

// The beam sum: b (c + i s) summed for cylindrical waves, b (c - i s) for plane
// ones.
template <bool Cylindrical>
inline void beam_sum(const Beam& b, vd& re, vd& im) {
    if constexpr (Cylindrical) {
        re = sub(b.rc, b.rs);
        im = add(b.ic, b.is);
    } else {
        re = add(b.rc, b.rs);
        im = sub(b.ic, b.is);
    }
}

// (cos r, sin r, q) of the steering elements of one lane block at one trace,
// every lane checked: lanes outside the fast range (and in `valid`) take the
// library's conj(E) with q = 0. u is the 1/kappa of the asymptotic series.
template <bool Cylindrical>
inline void steer_checked(vd angle, vd u, vm valid, const double* table, vd& c, vd& s, vi& qm) {
    vm fast;
    Reduced red;
    if constexpr (Cylindrical) {
        fast = hankel_fast(angle);
        const vd split = set1(hankel::kAsymptoticFrom);
        const vm tabled = both(fast, lt(angle, split)), asym = both(fast, ge(angle, split));
        vd g = set1(0.0);
        if (any(tabled)) g = table_lanes<hankel::Coarse>(angle, tabled, table);
        if (any(asym)) g = select(asym, asymptotic(angle, u), g);
        red = hankel_reduce(angle, g);
    } else {
        fast = plane_fast(angle);
        red = reduce_sixteenth(angle);
    }
    sincos_poly(red.r, c, s);
    qm = red.qm;
    const unsigned slow = lane_bits(both(valid, invert(fast)));
    if (slow == 0) return;
    alignas(64) double lane_a[W];
    alignas(64) double lane_c[W];
    alignas(64) double lane_s[W];
    alignas(64) std::int64_t lane_q[W];
    storeu(lane_a, angle);
    storeu(lane_c, c);
    storeu(lane_s, s);
    istoreu(lane_q, qm);
    for (std::size_t l = 0; l < W; ++l) {
        if (((slow >> l) & 1u) == 0) continue;
        double re, im;  // conj(E)
        if constexpr (Cylindrical) {
            hankel_conj_library(lane_a[l], &re, &im);
            lane_s[l] = im;  // conj(E) = cos r + i sin r with q = 0
        } else {
            plane_conj_library(lane_a[l], &re, &im);
            lane_s[l] = -im;  // conj(E) = cos r - i sin r with q = 0
        }
        lane_c[l] = re;
        lane_q[l] = 0;
    }
    c = loadu(lane_c);
    s = loadu(lane_s);
    qm = iloadu(lane_q);
}

// One block of W phase velocities at one frequency.
struct Block {
    vd k;       // (f * +-2pi) / c
    vd kinv;    // c / (f * +-2pi), for the asymptotic series
    double lo;  // smallest k of the block (cylindrical) or largest |k| (plane)
    double hi;  // largest k of the block (cylindrical) or largest |k| (plane)
    bool fast;  // every steering argument of the block lies in the fast range
    bool fine;  // the arguments at one trace spread over less than 1/64 (cylindrical)
    bool tight; // ... over less than 1/32 (cylindrical)
};

// The extremes of the velocities of every block of W, once per call: for
// cylindrical waves the smallest and largest c (NaN unless every c is
// positive and finite), for plane waves the smallest |c| (NaN if any c is
// NaN).
template <bool Cylindrical>
void velocity_extremes(const Work& w, std::size_t nc) {
    for (std::size_t h = 0; h < nc; h += W) {
        double lo = w.velocities[h], hi = lo, small = lo < 0.0 ? -lo : lo;
        bool ok = true;
        for (std::size_t l = 0; l < W; ++l) {
            const double c = w.velocities[h + l];
            const double a = c < 0.0 ? -c : c;
            ok = ok && (Cylindrical ? c > 0.0 && c <= 1.7976931348623157e308 : c == c);
            lo = c < lo ? c : lo;
            hi = c > hi ? c : hi;
            small = a < small ? a : small;
        }
        const double nan = __builtin_nan("");
        w.c_lo[h / W] = ok ? (Cylindrical ? lo : small) : nan;
        w.c_hi[h / W] = ok ? hi : nan;
    }
}

template <bool Cylindrical>
Block make_block(double fk, double fk_inv, std::size_t h, const Work& w) {
    Block blk;
    const vd c = loadu(w.velocities + h);
    blk.k = divide(set1(fk), c);
    blk.kinv = mul(c, set1(fk_inv));
    // Division rounds monotonically, so the extremes of k over the lanes are
    // fk over the extremes of c, bit for bit, and those of k * x over the
    // traces the products of the extremes.
    const double c_lo = w.c_lo[h / W], c_hi = w.c_hi[h / W];
    if constexpr (Cylindrical) {
        blk.lo = fk / c_hi;
        blk.hi = fk / c_lo;
        blk.fast = fk > 0.0 && fk <= 1.7976931348623157e308 && w.x_positive &&
                   blk.lo * w.x_min >= hankel::kMinKappa && blk.hi * w.x_max <= hankel::kMaxArgument;
        // The intervals of the finer table span at least 1/64 of their
        // start (1/32 in the coarse one), so a window holds the arguments of
        // such a block at every trace (the few roundings between the ratio of
        // the velocities and that of the arguments stay far inside what the
        // polynomial allows).
        blk.fine = c_hi <= c_lo * (1.0 + 1.0 / 64.0);
        blk.tight = c_hi <= c_lo * (1.0 + 1.0 / 32.0);
    } else {
        blk.lo = blk.hi = (fk < 0.0 ? -fk : fk) / c_lo;  // NaN fails the test
        blk.fast = w.x_finite && blk.hi * w.x_abs_max <= hankel::kMaxArgument;
        blk.fine = blk.tight = false;
    }
    return blk;
}

// How h is found at each trace of a fast cylindrical block, decided W traces
// at a time: 0 for the asymptotic series (every kappa >= 64); otherwise the
// address of the row of `table` whose interval holds the smallest kappa, with
// flags in its low bits (rows lie 8-byte aligned): +1 or +4 when the lanes
// beyond that row's window lie in the window of the row two or one further
// on (one further when the window ends inside the first, double-width
// interval of the next octave), +2 when some lanes lie at 64 or beyond (the
// series then). 1 alone: the arguments spread further, a row of the coarse
// table per lane.
enum : std::int64_t {
    kPlanSeries = 0,
    kPlanLanes = 1,
    kPlanSecondRow = 1,
    kPlanSeriesToo = 2,
    kPlanFirstRow = 4,
};

// The start of row r and the end of its window, both exactly.
template <class Shape>
inline void row_window(vi r, vd& start, vd& end) {
    constexpr int shift = 52 - Shape::kPerOctaveLog2;
    start = from_bits(sll<shift>(iadd(r, iset1(static_cast<std::int64_t>(Shape::kBase)))));
    const vd octave = from_bits(iand(bits(start), iset1(0x7FF0000000000000LL)));  // 2^e
    end = fmadd(octave, set1(2.0 / Shape::kPerOctave), start);
}

// With fits_one_window the caller knows that the arguments at one trace
// spread over less than the narrowest interval, so that the window of the
// smallest one holds them all (those below 64).
template <class Shape>
inline void plan_rows(const Block& blk, const Work& w, std::size_t nx, const double* table,
                      bool fits_one_window) {
    constexpr int shift = 52 - Shape::kPerOctaveLog2;
    const vd lo_k = set1(blk.lo), hi_k = set1(blk.hi), split = set1(hankel::kAsymptoticFrom);
    const vi base = iset1(static_cast<std::int64_t>(Shape::kBase));
    const vi start = iset1(static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(table)));
    for (std::size_t i = 0; i < nx; i += W) {
        const vd x = loadu(w.x + i);
        const vd lo = mul(lo_k, x), hi = mul(hi_k, x);
        const vm beyond = ge(hi, split);  // some lanes take the series
        const vi r0 = isub(srl<shift>(bits(lo)), base);
        const vi address = iadd(start, times<Shape::kRowSize * 8>(r0));
        vi plan = address;
        if (!fits_one_window) {
            vd a0, end0, a1, end1;
            row_window<Shape>(r0, a0, end0);
            // The row that holds the end of the first window, and its window.
            const vi r1 = isub(srl<shift>(bits(end0)), base);
            row_window<Shape>(r1, a1, end1);
            // Every tabled lane lies below hi, or below 64 when some go beyond.
            const vm fits0 = select_mask(beyond, ge(end0, split), lt(hi, end0));
            const vm fits1 = select_mask(beyond, ge(end1, split), lt(hi, end1));
            const vi second =
                iselect(igt(isub(r1, r0), iset1(1)), iset1(kPlanSecondRow), iset1(kPlanFirstRow));
            plan = iselect(fits0, address, iselect(fits1, ior(address, second), iset1(kPlanLanes)));
        }
        plan = iselect(both(beyond, invert(igt(iset1(2), plan))), ior(plan, iset1(kPlanSeriesToo)), plan);
        plan = iselect(ge(lo, split), iset1(kPlanSeries), plan);
        istoreu(w.plan + i, plan);
    }
}

struct Phase {
    vd kappa;
    vd h;
};

// The polynomial of `row` at local coordinates t, its coefficients broadcast:
// for lanes that share a window. A lane in the second interval of a window
// gets that row's polynomial rather than its own; the two agree to about
// 1e-17 (1e-16 in the finer table), below the rounding of what follows.
template <class Shape>
inline vd horner(vd t, const double* row) {
    vd p = set1(row[2 + Shape::kCoefficients - 1]);
    for (int k = Shape::kCoefficients - 2; k >= 0; --k) p = fmadd(p, t, set1(row[2 + k]));
    return p;
}

template <class Shape>
inline Phase phase_at(const Block& blk, const Work& w, std::size_t i) {
    const vd kappa = mul(blk.k, set1(w.x[i]));  // ((f * 2pi) / c) * x
    const std::int64_t plan = w.plan[i];
    if (plan > 7) {
        const double* row = reinterpret_cast<const double*>(plan & ~std::int64_t{7});
        const vd t = fmsub(kappa, set1(row[0]), set1(row[1]));
        vd h = horner<Shape>(t, row);
        if (plan & (kPlanSecondRow | kPlanFirstRow)) {
            // Lanes past the window (t >= 1, exactly) take the next one.
            const double* next = row + ((plan & kPlanSecondRow) ? 2 : 1) * Shape::kRowSize;
            const vd t_next = fmsub(kappa, set1(next[0]), set1(next[1]));
            h = select(ge(t, set1(1.0)), horner<Shape>(t_next, next), h);
        }
        if (plan & kPlanSeriesToo) {
            const vm asym = ge(kappa, set1(hankel::kAsymptoticFrom));
            h = select(asym, asymptotic(kappa, mul(blk.kinv, set1(w.xinv[i]))), h);
        }
        return {kappa, h};
    }
    const vd u = mul(blk.kinv, set1(w.xinv[i]));
    if (plan == kPlanSeries) return {kappa, asymptotic(kappa, u)};
    const vm asym = ge(kappa, set1(hankel::kAsymptoticFrom));
    vd h = table_lanes<hankel::Coarse>(kappa, invert(asym), w.table);
    if (any(asym)) h = select(asym, asymptotic(kappa, u), h);
    return {kappa, h};
}

template <class Shape>
inline Reduced hankel_reduce_at(const Block& blk, const Work& w, std::size_t i) {
    const Phase p = phase_at<Shape>(blk, w, i);
    return hankel_reduce(p.kappa, p.h);
}

// The traces of a fast cylindrical block, four in flight: the phase excess h
// of traces i + 2 and i + 3, the reduction of trace i + 1 and the phasor and
// sum of trace i, so that the long dependency chain of one steering element
// does not stall the out-of-order window. Unrolled by two, the roles of the
// two phase excesses alternating instead of moving between registers.
template <class Shape, class Acc>
void cylindrical_traces(const Block& blk, const Work& w, std::size_t nx, const double* table,
                        Acc& beam) {
    // The intervals of a table span at least 1 / (2 per octave) of their
    // start: blocks narrower than that fit one window at every trace.
    const bool narrow = std::is_same_v<Shape, hankel::Fine> ? blk.fine : blk.tight;
    plan_rows<Shape>(blk, w, nx, table, narrow);
    vd c, s;
    Reduced red = hankel_reduce_at<Shape>(blk, w, 0);
    Phase pa = phase_at<Shape>(blk, w, nx > 1 ? 1 : 0);
    Phase pb = phase_at<Shape>(blk, w, nx > 2 ? 2 : 0);
    const double* rot_r = w.rot_r;
    const double* rot_i = w.rot_i;
    std::size_t i = 0;
    for (; i + 4 < nx; i += 2, rot_r += 32, rot_i += 32) {
        // Youngest first: the new phase excess, the reduction, then the
        // phasor and sum, whose inputs are long ready.
        {
            const Phase fresh = phase_at<Shape>(blk, w, i + 3);
            const Reduced next = hankel_reduce(pa.kappa, pa.h);
            sincos_poly(red.r, c, s);
            accumulate(c, s, red.qm, rot_r, rot_i, beam);
            red = next;
            pa = fresh;
        }
        {
            const Phase fresh = phase_at<Shape>(blk, w, i + 4);
            const Reduced next = hankel_reduce(pb.kappa, pb.h);
            sincos_poly(red.r, c, s);
            accumulate(c, s, red.qm, rot_r + 16, rot_i + 16, beam);
            red = next;
            pb = fresh;
        }
    }
    // The last traces: red holds trace i, pa trace i + 1 and pb trace i + 2
    // (where they exist).
    for (; i < nx; ++i, rot_r += 16, rot_i += 16) {
        sincos_poly(red.r, c, s);
        accumulate(c, s, red.qm, rot_r, rot_i, beam);
        if (i + 1 < nx) red = hankel_reduce(pa.kappa, pa.h);
        pa = pb;
        if (i + 3 < nx) pb = phase_at<Shape>(blk, w, i + 3);
    }
}

// The terms of every trace instead of their sum: trace i's a_i conj(E) of
// the lanes' velocities, stored at re + i * stride and im + i * stride (the
// same lane values the beam sum adds, in the same rotations).
template <bool Cylindrical>
struct Rows {
    const double* rot_r;  // w.rot_r: the trace index is the offset into it / 16
    double* re;
    double* im;
    std::size_t stride;
};

template <bool Cylindrical>
inline void accumulate(vd c, vd s, vi qm, const double* rot_r, const double* rot_i,
                       Rows<Cylindrical>& rows) {
    const vd br = lookup16(qm, rot_r), bi = lookup16(qm, rot_i);
    const std::size_t i = static_cast<std::size_t>(rot_r - rows.rot_r) / 16;
    if constexpr (Cylindrical) {
        storeu(rows.re + i * rows.stride, sub(mul(br, c), mul(bi, s)));
        storeu(rows.im + i * rows.stride, add(mul(bi, c), mul(br, s)));
    } else {
        storeu(rows.re + i * rows.stride, add(mul(br, c), mul(bi, s)));
        storeu(rows.im + i * rows.stride, sub(mul(bi, c), mul(br, s)));
    }
}

// Every trace's steering element of one block of W velocities, handed to
// `acc` with the trace's rotations.
template <bool Cylindrical, class Acc>
inline void steer_block(const Block& blk, const Work& w, std::size_t nx, std::size_t live,
                        Acc& acc) {
    vd c, s;
    if (!blk.fast) {
        const vm valid = first_lanes(live);
        for (std::size_t i = 0; i < nx; ++i) {
            const vd angle = mul(blk.k, set1(w.x[i]));
            vi qm;
            steer_checked<Cylindrical>(angle, mul(blk.kinv, set1(w.xinv[i])), valid, w.table,
                                       c, s, qm);
            accumulate(c, s, qm, w.rot_r + 16 * i, w.rot_i + 16 * i, acc);
        }
    } else if constexpr (Cylindrical) {
        if (blk.fine) {
            cylindrical_traces<hankel::Fine>(blk, w, nx, w.fine_table, acc);
        } else {
            cylindrical_traces<hankel::Coarse>(blk, w, nx, w.table, acc);
        }
    } else {
        for (std::size_t i = 0; i < nx; ++i) {
            const Reduced red = reduce_sixteenth(mul(blk.k, set1(w.x[i])));  // ((f * -2pi) / c) * x
            sincos_poly(red.r, c, s);
            accumulate(c, s, red.qm, w.rot_r + 16 * i, w.rot_i + 16 * i, acc);
        }
    }
}

// The beam power |sum_i a_i conj(E[g,h,i])|^2, one lane per phase velocity.
template <bool Cylindrical>
void beam_power_lanes(const Problem& p, const Work& w) {
    const std::size_t nx = p.nx, nc = p.nc;
    // f * (-2 pi) for plane waves, f * 2 pi for cylindrical ones.
    const double two_pi = Cylindrical ? 6.283185307179586 : -6.283185307179586;
    alignas(64) double lane_p[W];
    velocity_extremes<Cylindrical>(w, nc);
    for (std::size_t g = 0; g < p.nf; ++g) {
        fill_rotations<Cylindrical>(p, w, g);
        const double fk = p.freqs[g] * two_pi;
        const double fk_inv = 1.0 / fk;
        double* out = p.power + 2 * g * nc;
        for (std::size_t h = 0; h < nc; h += W) {
            const std::size_t live = nc - h < W ? nc - h : W;
            const Block blk = make_block<Cylindrical>(fk, fk_inv, h, w);
            Beam beam = beam_zero();
            steer_block<Cylindrical>(blk, w, nx, live, beam);
            vd re, im;
            beam_sum<Cylindrical>(beam, re, im);
            storeu(lane_p, add(mul(re, re), mul(im, im)));
            for (std::size_t l = 0; l < live; ++l) {
                out[2 * (h + l)] = lane_p[l];
                out[2 * (h + l) + 1] = 0.0;
            }
        }
    }
}

// The terms of frequency g for every velocity block (velocities padded to a
// multiple of 8 by the generic code).
template <bool Cylindrical>
void beam_terms_lanes(const Problem& p, const Work& w, std::size_t g, double* re, double* im,
                      std::size_t stride) {
    const double two_pi = Cylindrical ? 6.283185307179586 : -6.283185307179586;
    fill_rotations<Cylindrical>(p, w, g);
    const double fk = p.freqs[g] * two_pi;
    const double fk_inv = 1.0 / fk;
    for (std::size_t h = 0; h < p.nc; h += W) {
        const std::size_t live = p.nc - h < W ? p.nc - h : W;
        const Block blk = make_block<Cylindrical>(fk, fk_inv, h, w);
        Rows<Cylindrical> rows{w.rot_r, re + h, im + h, stride};
        steer_block<Cylindrical>(blk, w, p.nx, live, rows);
    }
}

void run_beam_terms(const Problem& p, const Work& w, std::size_t g, double* re, double* im,
                    std::size_t stride) {
    if (p.steering == Steering::cylindrical) {
        velocity_extremes<true>(w, p.nc);
        beam_terms_lanes<true>(p, w, g, re, im, stride);
    } else {
        velocity_extremes<false>(w, p.nc);
        beam_terms_lanes<false>(p, w, g, re, im, stride);
    }
}

void run_beam_power(const Problem& p, const Work& w) {
    if (p.steering == Steering::cylindrical) {
        beam_power_lanes<true>(p, w);
    } else {
        beam_power_lanes<false>(p, w);
    }
}

// The element-wise helpers: the checked steering path with a = 1, so that
// every argument goes through the same code as in the kernel (u = 1/kappa
// here).
template <Helper What>
void helper_lanes(const double* in, double* out, std::size_t n, const double* table) {
    constexpr bool cylindrical = What != Helper::unit_phasor;
    alignas(64) double rot_r[16];
    alignas(64) double rot_i[16];
    for (int q = 0; q < 16; ++q) {  // a = 1 turned by e^(-+i q pi/8)
        rot_r[q] = hankel::kRootCos[q];
        rot_i[q] = cylindrical ? hankel::kRootSin[q] : -hankel::kRootSin[q];
    }
    alignas(64) double lane_a[W];
    alignas(64) double lane_r[W];
    alignas(64) double lane_i[W];
    alignas(64) std::int64_t lane_q[W];
    for (std::size_t k = 0; k < n; k += W) {
        const std::size_t live = n - k < W ? n - k : W;
        for (std::size_t l = 0; l < W; ++l) lane_a[l] = l < live ? in[k + l] : 1.0;
        const vd a = loadu(lane_a);
        const vm valid = first_lanes(live);
        if constexpr (What == Helper::hankel_phase || What == Helper::hankel_phase_fine) {
            // theta itself: q pi/8 + r on the fast lanes, the library elsewhere.
            const vm fast = hankel_fast(a);
            const vd split = set1(hankel::kAsymptoticFrom);
            const vm tabled = both(fast, lt(a, split)), asym = both(fast, ge(a, split));
            vd g = set1(0.0);
            if (any(tabled))
                g = What == Helper::hankel_phase_fine ? table_lanes<hankel::Fine>(a, tabled, table)
                                                      : table_lanes<hankel::Coarse>(a, tabled, table);
            if (any(asym)) g = select(asym, asymptotic(a, divide(set1(1.0), a)), g);
            const Reduced red = hankel_reduce(a, g);
            storeu(lane_r, red.r);
            istoreu(lane_q, red.qm);
            const unsigned fast_bits = lane_bits(fast);
            for (std::size_t l = 0; l < live; ++l)
                out[k + l] = ((fast_bits >> l) & 1u) ? angle_from_reduced(lane_r[l], lane_q[l])
                                                     : hankel::library_phase(lane_a[l]);
        } else {
            vd c, s;
            vi qm;
            steer_checked<cylindrical>(a, divide(set1(1.0), a), valid, table, c, s, qm);
            Beam beam = beam_zero();
            accumulate(c, s, qm, rot_r, rot_i, beam);
            vd re, im;
            beam_sum<cylindrical>(beam, re, im);
            storeu(lane_r, re);
            storeu(lane_i, im);
            // The plane kernel makes conj(E); the helper returns E.
            for (std::size_t l = 0; l < live; ++l) {
                out[2 * (k + l)] = lane_r[l];
                out[2 * (k + l) + 1] = cylindrical ? lane_i[l] : -lane_i[l];
            }
        }
    }
}

void helper(Helper what, const double* in, double* out, std::size_t n, const double* table) {
    switch (what) {
        case Helper::unit_phasor: helper_lanes<Helper::unit_phasor>(in, out, n, table); return;
        case Helper::hankel_phasor: helper_lanes<Helper::hankel_phasor>(in, out, n, table); return;
        case Helper::hankel_phase: helper_lanes<Helper::hankel_phase>(in, out, n, table); return;
        case Helper::hankel_phase_fine: helper_lanes<Helper::hankel_phase_fine>(in, out, n, table); return;
    }
}

}  // namespace

const LaneKernels lane_kernels = {&run_beam_power, &helper, &run_beam_terms};

}  // namespace molvak::fdbf::MOLVAK_LANES_NS
