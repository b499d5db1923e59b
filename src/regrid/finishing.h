// The finishing passes over rows of the ring: the two fillings of empty cells (0.0)
// from their neighbours; the smoothings and the clamp to the input's range are
// wide_rows.window_means. Each pass over row r reads only the rows next to it.
#pragma once

#include "regrid/sweep_crew.h"
#include "wide_rows.h"

// Where a row's empty cells may lie among its interior cells 1 to columns - 2: nowhere,
// only at its edges, outside the columns its spread is taken over (before spread_from
// and from columns - spread_from on), or anywhere.
enum class Empty { none, edges, anywhere };

// First filling pass over interior row i, in place: an empty cell (0.0, or a NaN with
// `voids`) takes the mean of its non-empty neighbours, those already filled in this pass
// included. `empty` says where its empty cells may be. Returns how many of its interior
// cells are still empty.
int fill_data_row(const OutputRing& t, int i, int columns, Empty empty, bool voids = false);

// Second filling pass over row i, border included, in place: an empty cell takes the
// mean of all its neighbours (with `voids`, of those that are not empty). `empty` says
// where the empty interior cells the first pass left may be (nothing else has written
// the row since); its two border cells are always looked at.
void fill_all_row(const OutputRing& t, int i, int lines, int columns, Empty empty,
                  bool voids = false);

// The smoothing where voids are kept: out[j] for 1 <= j <= columns - 2 is a NaN where
// row[j] is one, otherwise the mean of the window's cells that are not: the nine added
// in line then column order, each sum rounded to double from extended precision, times
// 1/9 when all nine are, divided by their count otherwise; then bounded as
// window_means bounds.
void means_of_valid(const double* above, const double* row, const double* below, double* out,
                    int columns, Bounds bounds);
