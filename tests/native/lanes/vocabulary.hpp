// A probe of the lane vocabulary for the unit tests: every operation applied
// vector by vector to arrays, compiled once per instruction set like the
// kernels' lane code (vocabulary_lanes.cpp), so that a test can compare each
// set with the scalar one, the reference of what each operation computes.
#pragma once

#include <cstddef>

#include "simd/lane_table.hpp"

namespace molvak::test::vocabulary {

// The operations. Inputs are three arrays a, b, c of n doubles (n a multiple
// of twice the widest W); the result is n doubles, masks written as 1.0 or
// 0.0 per lane and integers as their bits.
namespace op {
enum Op : int {
    add, sub, mul, divide, sqrt, fmadd, fnmadd, fmsub, absval, copysign, set1, sine, cosine,
    load_pairs, store_pairs, roundtrip_bits,
    lt, le, gt, ge, both, invert, select, select_mask, zero_unless, lane_bits, any, first_lanes,
    srl, sll, iand, ior, iadd, isub, iset1, iselect, igt, istore_iload, gather, lookup16,
    index_roundtrip, xadd, xgt, xlt, gather_or_zero,
    count
};
}  // namespace op

const char* name(int which);

struct Table {
    std::size_t width;
    bool fused_multiply_add;
    // c is also the table of gathers (16 doubles at least); integer inputs
    // for the index operations are a and b truncated (|a|, |b| < 2^20).
    void (*apply)(int which, const double* a, const double* b, const double* c, double* out, std::size_t n);
};

MOLVAK_LANE_TABLES(Table, table)

}  // namespace molvak::test::vocabulary
