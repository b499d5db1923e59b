// The regridding engine as one call: from a line source to a line sink, with the
// elevation range, the output's size and the cell geometry as its result. It reads
// nothing but its arguments and keeps nothing between calls, so any number of runs can
// share a process. Results are defined bit for bit: intermediates carry a 64-bit
// significand (long double) and are rounded to double exactly where a value is stored.
#pragma once

#include <cstdint>
#include <functional>

#include "padded_lines.h"

// What the engine is asked to do.
struct RegridRequest {
    int lines = 0, columns = 0;  // the source's data lines and columns
    double ratio = 0.0;          // input pixel size / output pixel size (pixel_ratio)
    double pixel_size = 1.0;     // the input pixel size in ground units, for sx and sy
    int threads = 0;             // threads to use; 0 for every core the process may run on
    // What the three-cell frame around the output holds: the lowest elevation, or a NaN
    // that marks it as no data.
    enum class Frame { lowest, no_data } frame = Frame::lowest;
    // How the engine meets the source's voids. `classic`: it knows none; a cell of 0 is
    // empty, a sum's magnitude is taken, and the range starts from 1e7 and 0. `fill` and
    // `keep`: a NaN cell of the source is a void, 0 m and negative elevations are
    // elevations, and the range is the valid cells'; `fill` fills the voids, `keep`
    // hands a NaN to the sink where no valid ground lies under a cell.
    enum class Voids { classic, fill, keep } voids = Voids::classic;
    // Told the output's geometry before the sweep starts, and every 100th padded output
    // line during it; either may be empty.
    std::function<void(const OutputGeometry&)> planned;
    std::function<void(int line)> progress;
};

// The largest magnitude of elevation the void-aware engine takes: a footprint's sums
// and the smoothings' then stay far from a double's largest value whatever the ratio,
// where a sum that overflowed would make no-data cells of valid ground.
constexpr double void_aware_elevations = 1e15;

// The ratio of two pixel sizes: the quotient formed with a 64-bit significand and
// rounded once, to double.
double pixel_ratio(double pixel_in, double pixel_out);

// The elevation range from the source's lowest and highest values, the output's size
// from the ratio, then the sweep from `in` to `out`, with `out.start` told the geometry
// first. Fails (fail()) when the ratio gives no addressable output, or when the
// void-aware engine is given no valid cell or elevations beyond void_aware_elevations.
OutputGeometry regrid(const LineSource& in, const LineSink& out, const RegridRequest& request);

// The output's geometry for a request, without the range, as regrid() computes it;
// lines and columns are -1 where the ratio gives no addressable output.
OutputGeometry output_geometry(const RegridRequest& request);

// An input count times ratio, in extended precision: the output count before its
// truncation toward zero.
long double scaled_count(int count, double ratio);

// The output count of `count` input lines or columns at `ratio`, or -1 when there is no
// addressable one (below 1, or too large for a padded int count).
long long output_count(int count, double ratio);

// Bytes the engine holds for a request beside what its source and sink hold.
std::uint64_t regrid_memory(const RegridRequest& request);

// The threads a request's count stands for.
int regrid_threads(int requested);
