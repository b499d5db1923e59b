// The void-aware kernel: an output cell's value is the weighted mean of the valid cells
// under its footprint, signed as they are; a cell with too little valid ground under it
// is empty (a NaN), for the fillings. Its source repeats the edges into the padded
// input's margins (void_fill.h).
#pragma once

#include "padded_lines.h"
#include "regrid/kernel.h"

// Valid ground a cell needs, as a share of its footprint's area: with less, its signed
// weights (negative where an enlargement extrapolates) could make a mean of a sliver.
constexpr double least_ground = 0.5;

// Output row i of the padded output into `out`: for each cell, over its terms in the classic
// kernel's order (input lines outer, columns inner), the weight t = w_line x w_column of
// each valid (non-NaN) cell added to W and t x v to S, each sum rounded to double from
// extended precision at each step; the cell is S / W rounded once to double where W is
// at least least_ground x area, otherwise NaN. `lw` has room for footprint_room(lfacteur)
// line weights. Returns whether the row holds a NaN cell.
bool void_kernel_row(const KernelPlan& p, double* lw, const LineSource& in, double* out,
                     double* weights, int i);
