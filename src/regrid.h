// The regridding engine: the elevation range and output geometry (treatment), the
// area-weighted kernel and the finishing passes (transf), and bigger. Intermediates
// carry a 64-bit significand (long double) and are rounded to double exactly where a
// value is stored; the results are defined bit for bit by that.
#pragma once

#include <cstdint>
#include <string>

void treatment();

void transf(double** tabin, double** tabout, int NBlig_in, int NBcol_in, int NBlig_out,
            int NBcol_out);

// The smallest whole number strictly greater than x.
double bigger(double x);

// An input count times ratio, in extended precision: the output count before its
// truncation toward zero.
long double scaled_count(int count, double ratio);

// Reason to refuse a ratio for an input of `lines` x `columns` (no output line or
// column, too large to address, or more memory than the machine can give), or empty.
std::string output_problem(int lines, int columns, double ratio);

// Bytes the whole run needs at its peak for these input and output sizes.
std::uint64_t run_memory(int lines, int columns, long long out_lines, long long out_columns);
