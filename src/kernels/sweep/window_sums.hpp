// Sums of many overlapping ranges of rows of one table, by block prefix and
// suffix sums. Plain C++, header only: the loops are simple enough for the
// compiler to vectorise under whatever instruction set includes them.
//
// The table holds `rows` rows of `width` doubles (a row is one trace's or one
// segment's terms for a tile of frequencies and velocities). Every range is
// at most `block` rows long. The rows are cut into blocks of `block` rows;
// within each block
//
//   prefix[j] = t[b] + t[b+1] + ... + t[j]      (added from the block's start)
//   suffix[j] = t[j] + t[j+1] + ... + t[e-1]    (added from the block's end)
//
// and the range [p, q] is
//
//   suffix[p] + prefix[q]   when it reaches into the next block,
//   prefix[q]               when it starts a block,
//   suffix[p]               when it ends one (or the table),
//   t[p] + ... + t[q]       otherwise (a range shorter than a block that
//                           touches neither end, as windows shortened by
//                           left-out traces are).
//
// No range sum is a difference of running sums: each adds only the range's
// own terms, at most `block` of them, so it carries the rounding of a direct
// sum over the range however long the table is, and a NaN or infinity in one
// row reaches only the ranges that hold it. The cost is two additions per
// row for the scan and one per range, whatever the length of the ranges.
//
// Everything here has internal linkage, so that each lane source compiles
// its own copy under its own instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace molvak::sweep {

namespace {

// prefix and suffix of every row of t (rows x width), see above.
inline void scan_blocks(const double* t, std::size_t rows, std::size_t width, std::size_t block,
                        double* prefix, double* suffix) noexcept {
    for (std::size_t b = 0; b < rows; b += block) {
        const std::size_t e = b + block < rows ? b + block : rows;
        for (std::size_t k = 0; k < width; ++k) prefix[b * width + k] = t[b * width + k];
        for (std::size_t j = b + 1; j < e; ++j) {
            const double* prev = prefix + (j - 1) * width;
            const double* row = t + j * width;
            double* out = prefix + j * width;
            for (std::size_t k = 0; k < width; ++k) out[k] = prev[k] + row[k];
        }
        for (std::size_t k = 0; k < width; ++k)
            suffix[(e - 1) * width + k] = t[(e - 1) * width + k];
        for (std::size_t j = e - 1; j-- > b;) {
            const double* next = suffix + (j + 1) * width;
            const double* row = t + j * width;
            double* out = suffix + j * width;
            for (std::size_t k = 0; k < width; ++k) out[k] = row[k] + next[k];
        }
    }
}

// The sum of rows p .. q of t into out (width doubles), from the scan.
inline void range_sum(const double* t, const double* prefix, const double* suffix,
                      std::size_t rows, std::size_t width, std::size_t block, std::int64_t p,
                      std::int64_t q, double* out) noexcept {
    if (q < p) {
        for (std::size_t k = 0; k < width; ++k) out[k] = 0.0;
        return;
    }
    const auto up = static_cast<std::size_t>(p), uq = static_cast<std::size_t>(q);
    const double* a = nullptr;
    const double* b = nullptr;
    if (up / block != uq / block) {
        a = suffix + up * width;
        b = prefix + uq * width;
    } else if (up % block == 0) {
        a = prefix + uq * width;
    } else if (uq % block == block - 1 || uq == rows - 1) {
        a = suffix + up * width;
    }
    if (b != nullptr) {
        for (std::size_t k = 0; k < width; ++k) out[k] = a[k] + b[k];
    } else if (a != nullptr) {
        for (std::size_t k = 0; k < width; ++k) out[k] = a[k];
    } else {
        const double* row = t + up * width;
        for (std::size_t k = 0; k < width; ++k) out[k] = row[k];
        for (std::size_t j = up + 1; j <= uq; ++j) {
            row = t + j * width;
            for (std::size_t k = 0; k < width; ++k) out[k] = out[k] + row[k];
        }
    }
}

// The same sums block by block, for windows given in order of their first
// rows: the prefix sums of blocks b and b + 1 and the suffix sums of block b
// are formed just before the windows that start in block b need them, so
// only three blocks of sums are held at a time (`prefix`: 2 * block rows,
// `suffix`: block rows, `scratch`: one row), and each window is handed to
// `sink(w, a, b)` as the rows whose sum it is: a + b, a alone (b null).
//
// Row j of the table is `row(j)`. The rows asked for lie in blocks b and
// b + 1 of the window being summed, and b only grows: rows may be formed
// block by block as they are first asked for, two blocks held at a time.
template <class Row, class Sink>
inline void window_sums_of(Row&& row, std::size_t rows, std::size_t width, std::size_t block,
                           const std::int64_t* first, const std::int64_t* last, std::size_t count,
                           double* prefix, double* suffix, double* scratch, Sink&& sink) {
    // prefix sums of block `b` into `into` (block rows)
    auto prefix_of = [&](std::size_t b, double* into) {
        const std::size_t s0 = b * block;
        if (s0 >= rows) return;
        const std::size_t e = s0 + block < rows ? s0 + block : rows;
        const double* head = row(s0);
        for (std::size_t k = 0; k < width; ++k) into[k] = head[k];
        for (std::size_t j = s0 + 1; j < e; ++j) {
            const double* prev = into + (j - 1 - s0) * width;
            const double* r = row(j);
            double* out = into + (j - s0) * width;
            for (std::size_t k = 0; k < width; ++k) out[k] = prev[k] + r[k];
        }
    };
    // suffix sums of the block [s0, e) into `suffix`
    auto suffix_of = [&](std::size_t s0, std::size_t e) {
        const double* tail = row(e - 1);
        for (std::size_t k = 0; k < width; ++k) suffix[(e - 1 - s0) * width + k] = tail[k];
        for (std::size_t j = e - 1; j-- > s0;) {
            const double* nxt = suffix + (j + 1 - s0) * width;
            const double* r = row(j);
            double* out = suffix + (j - s0) * width;
            for (std::size_t k = 0; k < width; ++k) out[k] = r[k] + nxt[k];
        }
    };
    double* cur = prefix;                  // block b
    double* next = prefix + block * width;  // block b + 1
    std::size_t b = 0;
    prefix_of(0, cur);
    prefix_of(1, next);
    bool suffix_ready = false;
    for (std::size_t w = 0; w < count; ++w) {
        if (last[w] < first[w]) {
            for (std::size_t k = 0; k < width; ++k) scratch[k] = 0.0;
            sink(w, static_cast<const double*>(scratch), static_cast<const double*>(nullptr));
            continue;
        }
        const auto p = static_cast<std::size_t>(first[w]), q = static_cast<std::size_t>(last[w]);
        while (p / block > b) {  // move on to the block of this window's start
            ++b;
            double* swap = cur;
            cur = next;
            next = swap;
            prefix_of(b + 1, next);
            suffix_ready = false;
        }
        const std::size_t s0 = b * block;
        const std::size_t e = s0 + block < rows ? s0 + block : rows;
        if (q >= e) {  // across into the next block: suffix of this one, prefix of that
            if (!suffix_ready) {
                suffix_of(s0, e);
                suffix_ready = true;
            }
            sink(w, static_cast<const double*>(suffix + (p - s0) * width),
                 static_cast<const double*>(next + (q - e) * width));
        } else if (p == s0) {
            sink(w, static_cast<const double*>(cur + (q - s0) * width),
                 static_cast<const double*>(nullptr));
        } else if (q == e - 1) {
            // inside one block, to its end: its suffix
            if (!suffix_ready) {
                suffix_of(s0, e);
                suffix_ready = true;
            }
            sink(w, static_cast<const double*>(suffix + (p - s0) * width),
                 static_cast<const double*>(nullptr));
        } else {
            // inside one block touching neither end: a direct sum
            const double* r = row(p);
            for (std::size_t k = 0; k < width; ++k) scratch[k] = r[k];
            for (std::size_t j = p + 1; j <= q; ++j) {
                r = row(j);
                for (std::size_t k = 0; k < width; ++k) scratch[k] = scratch[k] + r[k];
            }
            sink(w, static_cast<const double*>(scratch), static_cast<const double*>(nullptr));
        }
    }
}

// The same over a table held whole: row j at t + j * width.
template <class Sink>
inline void window_sums(const double* t, std::size_t rows, std::size_t width, std::size_t block,
                        const std::int64_t* first, const std::int64_t* last, std::size_t count,
                        double* prefix, double* suffix, double* scratch, Sink&& sink) {
    window_sums_of([t, width](std::size_t j) { return t + j * width; }, rows, width, block, first,
                   last, count, prefix, suffix, scratch, static_cast<Sink&&>(sink));
}

}  // namespace
}  // namespace molvak::sweep
