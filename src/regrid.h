// The regridding engine: the elevation range and output geometry (treatment), the
// area-weighted kernel and the finishing passes in one sweep down the output, and
// bigger. The sweep reads padded input lines from a line source and hands finished
// padded output lines to a line sink: it knows nothing of files. Intermediates carry a
// 64-bit significand (long double) and are rounded to double exactly where a value is
// stored; the results are defined bit for bit by that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "padded_lines.h"

// The elevation range from the source's, the output size from ratio (both announced),
// then the sweep from `in` to `out`.
void treatment(const LineSource& in, const LineSink& out);

// The kernel and the finishing passes from padded input lines to finished padded
// output lines, with the mode messages and the progress lines. The sizes are padded.
void sweep(const LineSource& in, const LineSink& out, int NBlig_in, int NBcol_in, int NBlig_out,
           int NBcol_out);

// Threads the sweep may use: 0 for as many as the cores the process may run on.
extern int sweep_threads;

// The same on whole padded grids: tabout (NBlig_out x NBcol_out) receives every line.
void transf(double** tabin, double** tabout, int NBlig_in, int NBcol_in, int NBlig_out,
            int NBcol_out);

// The smallest whole number strictly greater than x.
double bigger(double x);

// --- The geometry of the kernel -----------------------------------------------------

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

// An input count times ratio, in extended precision: the output count before its
// truncation toward zero.
long double scaled_count(int count, double ratio);

// The output count of `count` input lines or columns at `ratio`, or -1 when there is no
// addressable one (below 1, or too large for a padded int count).
long long output_count(int count, double ratio);

// Bytes the sweep holds for these data sizes: its lines of either width and its plan.
std::uint64_t sweep_memory(int lines, int columns, int out_lines, int out_columns);
