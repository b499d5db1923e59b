// A kernel row as either engine makes it: the weighted sums, then the classic division by
// the area or the void-aware cells.
#pragma once

#include "padded_lines.h"
#include "regrid/kernel.h"
#include "wide_rows.h"

// Output row i of the padded output into `out`: every cell the weighted sum of the
// input lines under its footprint divided by the area, made non-negative; for a
// void-aware plan, void_cells' mean of the valid ground, NaN where there is too little.
// Returns the row's spread (wide_rows.h), whose `zeros` then says whether it holds a NaN
// (its empty cells).
RowSpread kernel_row(const KernelPlan& p, KernelSpace& space, const LineSource& in, double* out,
                     int i);
