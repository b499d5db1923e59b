// The engine's one call: the range, the geometry, the sweep, and the framing of each
// padded output line into the output line the sink receives.
#include "regrid/engine.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "failure.h"
#include "host_memory.h"
#include "phase_times.h"
#include "regrid/sweep.h"
#include "regrid/void_fill.h"

namespace {

using ld = long double;

bool fits_padded(long double count) {
    return count < static_cast<long double>(INT_MAX - margin_before - margin_after);
}

// The padded input mapped onto the padded output: a cell of the output is the padded
// input's extent divided by the padded output's count, and the data start
// margin_before cells in on both.
void place(OutputGeometry& g, const RegridRequest& r) {
    const double p = r.pixel_size;
    g.sx = static_cast<double>(padded(r.columns) * static_cast<ld>(p) / padded(g.columns));
    g.sy = static_cast<double>(padded(r.lines) * static_cast<ld>(p) / padded(g.lines));
    g.corner_x = static_cast<double>(margin_before * (static_cast<ld>(g.sx) - p));
    g.corner_y = static_cast<double>(margin_before * (static_cast<ld>(p) - g.sy));
}

// The sink's output lines from the sweep's padded ones, framed where they stand (the
// sweep reads no final row again; framing twice gives the same line); margin lines are
// working space.
class Framer {
public:
    Framer(const LineSink& sink, const OutputGeometry& g, double frame)
        : sink_(sink), g_(g), frame_(frame) {}

    PaddedRows rows() {
        PaddedRows rows;
        rows.put = [this](int row, double* line) { pass(sink_.put, row, line); };
        if (sink_.convert) {
            rows.convert = [this](int row, double* line) { pass(sink_.convert, row, line); };
            rows.converted_rows = sink_.converted_lines;
        }
        return rows;
    }

private:
    void pass(const std::function<void(int, const double*)>& to, int row, double* padded_line) {
        const int i = row - margin_before;
        if (i < 0 || i >= g_.lines) return;
        to(i, frame_in_place(i, padded_line, g_.lines, g_.columns, frame_));
    }

    const LineSink& sink_;
    const OutputGeometry& g_;
    double frame_;
};

// An output of at most 2 * frame_width lines or columns is frame from edge to edge:
// every cell holds the frame's value whatever the sweep would compute under it.
bool all_frame(const OutputGeometry& g) {
    return g.lines <= 2 * frame_width || g.columns <= 2 * frame_width;
}

// Such an output without the sweep, which would hold its lines and plan for nothing
// (a 1 x 2,000,000 input's, hundreds of MiB); progress is told as the sweep tells it.
void put_frame_only(const LineSink& out, const OutputGeometry& g, double frame,
                    const std::function<void(int line)>& progress) {
    const std::vector<double> line(static_cast<std::size_t>(g.columns), frame);
    for (int k = 1; k < padded(g.lines); ++k) {
        if (k % 100 == 0 && progress) progress(k);
        const int i = k - margin_before;
        if (i >= 0 && i < g.lines) out.put(i, line.data());
    }
}

}  // namespace

double pixel_ratio(double pixel_in, double pixel_out) {
    return static_cast<double>(static_cast<ld>(pixel_in) / pixel_out);
}

long double scaled_count(int count, double r) { return static_cast<ld>(count) * r; }

long long output_count(int count, double r) {
    const long double scaled = scaled_count(count, r);
    if (!(scaled >= 1.0L) || !fits_padded(scaled)) return -1;
    return static_cast<long long>(scaled);  // truncation toward zero
}

int regrid_threads(int requested) {
    return requested > 0 ? requested : std::max(1, usable_cores());
}

OutputGeometry output_geometry(const RegridRequest& request) {
    OutputGeometry g;
    const long long lines = output_count(request.lines, request.ratio);
    const long long columns = output_count(request.columns, request.ratio);
    g.lines = static_cast<int>(lines);
    g.columns = static_cast<int>(columns);
    if (lines < 0 || columns < 0) return g;
    g.enlargement = padded(g.lines) > padded(request.lines);
    place(g, request);
    return g;
}

// Lines a thread's source holds to fill voids: the reach on either side, and its own.
int fill_reach_of(const RegridRequest& request) {
    return request.voids == RegridRequest::Voids::fill ? fill_reach(request.columns) : 0;
}

int fill_lines(const RegridRequest& request) {
    return request.voids == RegridRequest::Voids::classic ? 0 : 2 * fill_reach_of(request) + 2;
}

std::uint64_t regrid_memory(const RegridRequest& request) {
    const OutputGeometry g = output_geometry(request);
    if (g.lines < 0 || g.columns < 0) return 0;
    if (all_frame(g)) return 8 * static_cast<std::uint64_t>(g.columns);
    // The sweep's lines and plan, and the lines the void fill holds.
    return sweep_bytes(regrid_threads(request.threads), static_cast<int>(padded(request.lines)),
                       static_cast<int>(padded(request.columns)), static_cast<int>(padded(g.lines)),
                       static_cast<int>(padded(g.columns)), fill_lines(request));
}

OutputGeometry regrid(const LineSource& in, const LineSink& out, const RegridRequest& request) {
    PhaseTimer timer("treatment");
    OutputGeometry g = output_geometry(request);
    if (g.lines < 0 || g.columns < 0) fail("the ratio gives no addressable output");
    const bool classic = request.voids == RegridRequest::Voids::classic;
    if (classic) {
        // The scan of every input cell from 1.0e7 and 0.0 with strict comparisons keeps
        // what the source's first lowest and highest values give it.
        g.lowest = 10000000.0;
        g.highest = 0.0;
        if (g.lowest > in.lowest) g.lowest = in.lowest;
        if (g.highest < in.highest) g.highest = in.highest;
    } else {
        g.lowest = in.lowest;  // the valid cells' range
        g.highest = in.highest;
        if (!(g.lowest <= g.highest)) fail("every cell is a void: there is no elevation to regrid");
        if (!(std::fabs(g.lowest) <= void_aware_elevations &&
              std::fabs(g.highest) <= void_aware_elevations)) {
            char range[96];
            // All the digits: 1.0000000000000002e15 is beyond, and would show as 1e15.
            std::snprintf(range, sizeof range, "%.17g to %.17g", g.lowest, g.highest);
            fail(std::string("elevations from ") + range +
                 ": the engine that takes voids into account refuses elevations beyond 1e15, "
                 "where its sums would overflow");
        }
    }

    if (request.planned) request.planned(g);
    if (out.start) out.start(g);
    const double frame = request.frame == RegridRequest::Frame::lowest
                             ? g.lowest
                             : std::numeric_limits<double>::quiet_NaN();
    if (all_frame(g)) {
        put_frame_only(out, g, frame, request.progress);
        return g;
    }
    Framer framer(out, g, frame);
    const PaddedRows rows = framer.rows();
    SweepOptions options;
    options.lowest = g.lowest;
    options.highest = g.highest;
    options.threads = regrid_threads(request.threads);
    options.progress = request.progress;
    options.voids = classic                                       ? VoidMode::none
                    : request.voids == RegridRequest::Voids::fill ? VoidMode::fill
                                                                  : VoidMode::keep;
    options.extra_input_lines = fill_lines(request);
    // A source without voids whose margins repeat its edges is what its fill would give.
    const bool as_it_is = classic || (in.edge_margins && !in.may_hold_voids);
    const LineSource source =
        as_it_is ? in : filled_lines(in, request.lines, request.columns, fill_reach_of(request));
    sweep(source, rows, static_cast<int>(padded(request.lines)),
          static_cast<int>(padded(request.columns)), static_cast<int>(padded(g.lines)),
          static_cast<int>(padded(g.columns)), options);
    return g;
}
