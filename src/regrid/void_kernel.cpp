// The void-aware kernel's cells: the classic kernel's sums divided by the area with
// their sign kept, and the cells whose footprint holds a void summed again without it.
#include "regrid/void_kernel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

using ld = long double;

// Cell j summed over its valid cells: S / W, or NaN with too little ground.
double mean_of_valid(const KernelPlan& p, const KernelSpace& space, int lines, int j) {
    double s = 0.0, w = 0.0;
    for (int k = 0; k < lines; ++k) {
        const ld weight = space.weights[k];
        const double* line = space.lines[k];
        for (int b = p.first_of(j), last = p.last_of(j); b <= last; ++b) {
            const double v = line[p.input_of(j, b)];
            if (std::isnan(v)) continue;
            const ld t = weight * p.weight(j, b);
            s = static_cast<double>(t * v + s);
            w = static_cast<double>(t + w);
        }
    }
    if (!(w >= least_ground * p.f.area)) return NAN;
    return static_cast<double>(static_cast<ld>(s) / w);
}

// Whether some of the n values has its sign bit set: their bits or-ed together, which
// the compiler does in vectors.
bool any_sign_bit(const double* v, int n) {
    std::uint64_t bits = 0;
    for (int j = 0; j < n; ++j) {
        std::uint64_t b;
        std::memcpy(&b, v + j, sizeof b);
        bits |= b;
    }
    return (bits >> 63) != 0;
}

}  // namespace

// Calls `f(j)` for the columns outside the spread's, at either edge of a row.
template <typename F>
void for_edges(int columns, F f) {
    for (int j = 0; j < columns;
         j = j + 1 == spread_from ? std::max(j + 1, columns - spread_from) : j + 1)
        f(j);
}

// The division is the classic kernel's vector pass, which gives the quotient's
// magnitude: the area is positive, so the signed quotient is that magnitude with the
// sum's sign, bit for bit. A row whose middle sums are none of them negative or not a
// number (the usual one) keeps the division's spread, which covers those columns only,
// its edge cells given their sums' signs: an enlargement's first column often sums
// negative weights. Such a row is then the classic kernel's row but for that sign, and
// that a cell of 0 is no empty cell here.
RowSpread void_cells(const KernelPlan& p, KernelSpace& space, int lines, double* out) {
    const int C = p.C;
    const bool negative = any_sign_bit(out + spread_from, C - 2 * spread_from);  // in the middle
    double* const sums = space.ground.data();
    if (negative)
        std::copy(out, out + C, sums);
    else
        for_edges(C, [&](int j) { sums[j] = out[j]; });
    RowSpread spread = wide_rows.divide_by_area(out, C, p.f.area);
    // The spread tells of NaN cells in the middle columns only: the edges are looked at.
    bool edge_nan = false;
    for_edges(C, [&](int j) {
        edge_nan |= std::isnan(out[j]);
        out[j] = std::copysign(out[j], sums[j]);
    });
    if (!negative && !spread.special && !edge_nan) {
        spread.zeros = false;
        return spread;
    }
    bool empty = false;
    for (int j = 0; j < C; ++j) {
        if (!std::isnan(out[j])) {
            if (negative) out[j] = std::copysign(out[j], sums[j]);
        } else {
            out[j] = mean_of_valid(p, space, lines, j);
            empty = empty || std::isnan(out[j]);
        }
    }
    spread = wide_rows.row_spread(out, C);
    spread.zeros = empty;
    if (empty) spread.smallest = -HUGE_VAL;  // the empty cells may lie anywhere
    return spread;
}
