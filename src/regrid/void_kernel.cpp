// The void-aware kernel's cells: the classic kernel's sums divided by the area with
// their sign kept, and the cells whose footprint holds a void summed again without it.
#include "regrid/void_kernel.h"

#include <algorithm>
#include <cmath>

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

}  // namespace

// Calls `f(j)` for the columns outside the spread's, at either edge of a row.
template <typename F>
void for_edges(int columns, F f) {
    for (int j = 0; j < columns;
         j = j + 1 == spread_from ? std::max(j + 1, columns - spread_from) : j + 1)
        f(j);
}

// The division is the classic kernel's vector pass with the sums' signs kept. A row
// whose cells are all numbers (the usual one) keeps the division's spread, which covers
// its middle columns; such a row is the classic kernel's row but for the signs, and that
// a cell of 0 is no empty cell here. A cell whose footprint holds a void is NaN, and is
// summed again over its valid cells.
RowSpread void_cells(const KernelPlan& p, KernelSpace& space, int lines, double* out) {
    const int C = p.C;
    RowSpread spread = wide_rows.divide_by_area(out, C, p.f.area, true);
    // The spread tells of NaN cells in the middle columns only: the edges are looked at.
    bool edge_nan = false;
    for_edges(C, [&](int j) { edge_nan |= std::isnan(out[j]); });
    if (!spread.special && !edge_nan) {
        spread.zeros = false;
        return spread;
    }
    bool empty = false;
    for (int j = 0; j < C; ++j) {
        if (std::isnan(out[j])) {
            out[j] = mean_of_valid(p, space, lines, j);
            empty = empty || std::isnan(out[j]);
        }
    }
    spread = wide_rows.row_spread(out, C);
    spread.zeros = empty;
    if (empty) spread.smallest = -HUGE_VAL;  // the empty cells may lie anywhere
    return spread;
}
