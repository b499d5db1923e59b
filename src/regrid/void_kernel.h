// The void-aware kernel: an output cell's value is the mean of the valid cells under its
// footprint, signed as they are; a cell with too little valid ground under it is empty
// (a NaN), for the fillings. Its source repeats the edges into the padded input's
// margins (void_fill.h).
#pragma once

#include "padded_lines.h"
#include "regrid/kernel.h"

// Valid ground a cell needs, as a share of its footprint's area: with less, its signed
// weights (negative where an enlargement extrapolates) could make a mean of a sliver.
constexpr double least_ground = 0.5;

// A void-aware row from the classic kernel's sums of it in `out` (`lines` input lines
// and their weights in `space`). A cell whose footprint is all valid is its sum divided
// by the area, signed: what the classic kernel gives but for the magnitude. A cell whose
// sum met a void (a NaN) is summed again over its own terms, in the same order (input
// lines outer, columns inner), the weight t = w_line x w_column of each valid cell added
// to W and t x v to S, each sum rounded to double from extended precision at each step;
// it is S / W rounded once to double where W is at least least_ground x area, otherwise
// NaN. Returns the row's spread, whose `zeros` says whether the row holds a NaN: cells of
// 0 are elevations here.
RowSpread void_cells(const KernelPlan& p, KernelSpace& space, int lines, double* out);
