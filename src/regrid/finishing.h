// The finishing passes over rows of the ring: the two fillings of empty cells (0.0)
// from their neighbours; the smoothings and the clamp to the input's range are
// wide_rows.window_means. Each pass over row r reads only the rows next to it.
#pragma once

#include "regrid/sweep_crew.h"

// First filling pass over interior row i, in place: an empty cell takes the mean of its
// non-empty neighbours, those already filled in this pass included. Returns how many of
// its interior cells are still empty.
int fill_data_row(const OutputRing& t, int i, int columns);

// Second filling pass over row i, border included, in place: an empty cell takes the
// mean of all its neighbours. `interior_zeros` false says that the first pass left no
// empty interior cell in the row (nothing else has written it since), so that only its
// two border cells need a look.
void fill_all_row(const OutputRing& t, int i, int lines, int columns, bool interior_zeros);
