// The 3x3 window means of the smoothing passes, vectorised for the widest instruction
// set the processor has; the result is the defined one, bit for bit, on every path.
#pragma once

// out[j] for 1 <= j <= columns - 2: the nine values of the window of column j added in
// line then column order (above[j-1], above[j], above[j+1], row[j-1], ... below[j+1]),
// then multiplied by 1/9 rounded to double, each result rounded to double from
// extended precision.
void window_means(const double* above, const double* row, const double* below, double* out, int columns);
