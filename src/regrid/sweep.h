// The sweep: the kernel and the finishing passes from padded input lines to finished
// padded output lines, in one pass down the output on every core. It reads a line
// source and hands finished rows over in order: it knows nothing of files.
#pragma once

#include <cstdint>
#include <functional>

#include "padded_lines.h"
#include "regrid/sweep_crew.h"

// The empty cells the sweep meets: 0.0 cells it fills (the classic engine), or NaN cells
// (the void-aware one) it fills, or keeps as they are, smoothing the valid cells only.
enum class VoidMode { none, fill, keep };

struct SweepOptions {
    double lowest = 0.0, highest = 0.0;  // the range every interior cell is clamped to
    VoidMode voids = VoidMode::none;
    int extra_input_lines = 0;              // lines a thread's source holds beyond the sweep's own
    int threads = 1;                        // threads the sweep may use, at least 1
    std::function<void(int row)> progress;  // told every 100th padded output row, or empty
    CrewTuning tuning;
};

// From `in` (NBlig_in x NBcol_in padded lines) to `out` (NBlig_out x NBcol_out).
void sweep(const LineSource& in, const PaddedRows& out, int NBlig_in, int NBcol_in, int NBlig_out,
           int NBcol_out, const SweepOptions& options);

// The same on whole padded grids: tabout (NBlig_out x NBcol_out) receives every line.
void transf(double** tabin, double** tabout, int NBlig_in, int NBcol_in, int NBlig_out,
            int NBcol_out, const SweepOptions& options);

// The workers and ring a sweep of these padded sizes has with `threads` threads.
CrewShape sweep_shape(int threads, int NBlig_in, int NBcol_in, int NBlig_out, int NBcol_out,
                      int extra_input_lines = 0);

// Bytes a sweep of these padded sizes holds with `threads` threads: for each thread its
// input lines, the ring and the first smoothing's lines, and the kernel's plan.
std::uint64_t sweep_bytes(int threads, int NBlig_in, int NBcol_in, int NBlig_out, int NBcol_out,
                          int extra_input_lines = 0);
