// The regridding engine: the elevation range and output geometry (treatment), the
// area-weighted kernel and the finishing passes (transf), and bigger. Intermediates
// carry a 64-bit significand (long double) and are rounded to double exactly where a
// value is stored; the results are defined bit for bit by that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

void treatment();

// Makes the padded input grid dtab_prov1 (zero margins) and dtab_in, a view of its
// data cells, for the ASCII reader to fill; released once the engine is done with them.
void make_padded_input();
void release_padded_input();

// Makes the grid of raw cells, jtab1 (16-bit) or itab1 (32-bit), for the raster reader
// to fill. The engine makes the padded lines in metres from it as it needs them.
void make_raw_input();

// Input cell (i, j) in metres, from whichever grid holds the input.
double input_elevation(int i, int j);

void transf(double** tabin, double** tabout, int NBlig_in, int NBcol_in, int NBlig_out,
            int NBcol_out);

// Told by transf of every interior output row, in order, as soon as it is final
// (smoothed twice and clamped); none when null.
extern void (*row_finished)(int padded_row);

// The smallest whole number strictly greater than x.
double bigger(double x);

// --- The steps of transf, in their order -------------------------------------------

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

// Every output cell as the weighted mean of the input under it, with the progress line
// every 100 output lines.
void kernel(double** tabin, double** tabout, int NBlig_in, int NBcol_in, int NBlig_out,
            int NBcol_out, const Factors& f);
// Interior cells that are 0.0 take the mean of their non-empty neighbours, in place.
void fill_from_data(double** t, int lines, int columns);
// Every cell still 0.0 takes the mean of all its neighbours in the grid, in place.
void fill_from_all(double** t, int lines, int columns);
// One 3x3 mean of the interior through the scratch grid dtab.
void smooth(double** t, double** dtab, int lines, int columns);
// Interior cells brought into [dmin_alt, dmax_alt].
void clamp_interior(double** t, int lines, int columns);

// An input count times ratio, in extended precision: the output count before its
// truncation toward zero.
long double scaled_count(int count, double ratio);

// Reason to refuse a ratio for an input of `lines` x `columns` (no output line or
// column, too large to address, or more memory than the machine can give), or empty.
std::string output_problem(int lines, int columns, double ratio);

// Bytes the whole run needs at its peak for these input and output sizes, the padded
// output held whole or not (a raw raster output takes its lines during the sweep).
std::uint64_t run_memory(int lines, int columns, long long out_lines, long long out_columns, bool output_held);
