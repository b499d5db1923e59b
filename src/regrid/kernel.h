// The area-weighted kernel: the footprint of an output line or column over the input,
// the plan of every output column's weights, and one output row as the weighted sums
// of the input lines under its footprint. Intermediates carry a 64-bit significand
// (long double) and are rounded to double exactly where a value is stored.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "padded_lines.h"
#include "wide_rows.h"

// The smallest whole number strictly greater than x.
double bigger(double x);

// Input cells per output cell along lines and columns, from the padded sizes, and the
// footprint area.
struct Factors {
    double lfacteur, cfacteur, area;
};
Factors factors(int NBlig_in, int NBcol_in, int NBlig_out, int NBcol_out);

// The weights of output line (or column) `index` over the input lines it covers:
// w[0..last] apply to input lines start..start+last. w needs room for
// footprint_room(factor) values.
struct Footprint {
    int start;
    int last;
};
Footprint footprint(int index, double factor, double* w);
std::size_t footprint_room(double factor);

// The weights of every output column, computed once. The classic kernel skips the pairs
// whose input column is outside 0 < c < Cin (their weight dropped), so each column keeps
// the run first_of(j)..last_of(j) of its weights that fall inside. The void-aware one
// keeps them all: its margins repeat the edges, and a column beyond the last is read as
// the last (input_of); dropped weights made the cells near the edges of an enlargement
// multiples of their values. The columns of the middle,
// all of whose weights fall inside, have their weights packed by weight index, then
// column (packed[b * span + j - middle_from]), padded with zero weights to the widest
// count: a zero weight adds exactly nothing to a sum of finite values (at most the sign
// of a zero sum, which the final magnitude drops), and a fixed count runs without
// mispredicted branches. The columns at the edges keep theirs as computed, room to a
// column (edge_weights), so that each column's weights are held once. Where every
// packed weight b of a chunk of columns is 1 (whole), its terms skip that product
// (whole_in).
struct KernelPlan {
    // `voids`: the void-aware kernel (void_kernel.h) computes the rows.
    KernelPlan(int lines_in, int columns_in, int columns_out, const Factors& factors,
               bool voids = false);

    // Bytes a plan of `columns_out` columns holds at most at `cfacteur`.
    static std::uint64_t bytes(int columns_out, double cfacteur);

    // Packed columns whose sums are built together, so that they stay in the first-level
    // cache.
    static constexpr int chunk = 512;

    bool is_packed(int j) const { return j >= middle_from && j < middle_to; }
    // Whether packed weight b is 1 for every column of the chunk from packed column
    // `from` on.
    bool whole_in(int from, int b) const {
        return whole[static_cast<std::size_t>(from / chunk) * static_cast<std::size_t>(count) +
                     static_cast<std::size_t>(b)] != 0;
    }
    int first_of(int j) const { return voids ? 0 : std::max(0, 1 - columns[j].start); }
    int last_of(int j) const {
        return voids ? columns[j].last : std::min(columns[j].last, Cin - 1 - columns[j].start);
    }
    // The input column that weight b of column j applies to.
    int input_of(int j, int b) const { return std::min(columns[j].start + b, Cin - 1); }
    // Weight b of column j, first_of(j) <= b <= columns[j].last.
    double weight(int j, int b) const {
        return is_packed(j) ? packed[static_cast<std::size_t>(b) * span() +
                                     static_cast<std::size_t>(j - middle_from)]
                            : edge_weights[room * edge_slot(j) + static_cast<std::size_t>(b)];
    }
    // The weights of an edge column, from first_of(j) to last_of(j).
    const double* edge_column(int j) const { return &edge_weights[room * edge_slot(j)]; }

    int Lin, Cin, C;
    bool voids;
    Factors f;
    std::size_t room;
    std::vector<Footprint> columns;
    int count = 0;                       // weights per packed column
    int middle_from = 0, middle_to = 0;  // the packed columns
    std::vector<double> packed;
    std::vector<std::int64_t> starts;
    std::vector<unsigned char> whole;  // per chunk and packed weight
    std::vector<double> edge_weights;

private:
    std::size_t span() const { return static_cast<std::size_t>(middle_to - middle_from); }
    std::size_t edge_slot(int j) const {
        return static_cast<std::size_t>(j < middle_from ? j : j - (middle_to - middle_from));
    }
};

// What one thread needs to compute rows of a plan: the line weights of a row and the
// input lines inside the grid with their weights.
struct KernelSpace {
    explicit KernelSpace(const KernelPlan& p);
    std::vector<double> lw, weights;
    std::vector<const double*> lines;
};

// The weighted sums of output row i of the padded output into `out`, the input lines
// under its footprint and their weights left in `space` for a second look at them.
// Returns how many input lines the row took.
int kernel_sums(const KernelPlan& p, KernelSpace& space, const LineSource& in, double* out, int i);
