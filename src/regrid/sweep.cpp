// The sweep down the padded output: the kernel's rows from the crew, the fillings a
// row or two behind them, and the two smoothings and the clamp shared out to the crew
// behind those, each row handed over as soon as it is final.
#include "regrid/sweep.h"

#include <algorithm>
#include <vector>

#include "phase_times.h"
#include "regrid/finishing.h"
#include "wide_rows.h"

namespace {

// Input lines a thread's source holds: a footprint's lines, one more, and its line of
// zeros for the margins.
std::uint64_t input_bytes(int NBlig_in, int NBcol_in, int NBlig_out, int extra_lines) {
    const Factors f = factors(NBlig_in, 1, NBlig_out, 1);
    return (footprint_room(f.lfacteur) + 2 + static_cast<std::uint64_t>(extra_lines)) * 8 *
           static_cast<std::uint64_t>(NBcol_in);
}

}  // namespace

CrewShape sweep_shape(int threads, int NBlig_in, int NBcol_in, int NBlig_out, int NBcol_out,
                      int extra_input_lines) {
    // Rows too narrow to share are not worth a worker's wake-ups.
    if (NBcol_out < 64) threads = 1;
    return crew_shape(threads, NBlig_out, 8 * static_cast<std::uint64_t>(NBcol_out),
                      input_bytes(NBlig_in, NBcol_in, NBlig_out, extra_input_lines));
}

std::uint64_t sweep_bytes(int threads, int NBlig_in, int NBcol_in, int NBlig_out, int NBcol_out,
                          int extra_input_lines) {
    const CrewShape shape =
        sweep_shape(threads, NBlig_in, NBcol_in, NBlig_out, NBcol_out, extra_input_lines);
    const std::uint64_t out_width = 8 * static_cast<std::uint64_t>(NBcol_out);
    const Factors f = factors(NBlig_in, NBcol_in, NBlig_out, NBcol_out);
    return static_cast<std::uint64_t>(1 + shape.workers) *
               input_bytes(NBlig_in, NBcol_in, NBlig_out, extra_input_lines) +
           static_cast<std::uint64_t>(shape.ring_lines + shape.smoothed_lines) * out_width +
           static_cast<std::uint64_t>(shape.ring_lines) * 2 * sizeof(RowSpread) +
           KernelPlan::bytes(NBcol_out, f.cfacteur);
}

void transf(double** tabin, double** tabout, int NBlig_in, int NBcol_in, int NBlig_out,
            int NBcol_out, const SweepOptions& options) {
    LineSource in{[tabin](int row) -> const double* { return tabin[row]; }, [](int) {}};
    in.another = [in] { return in; };  // the grid is read, never changed
    PaddedRows out;
    out.put = [tabout, NBcol_out](int row, const double* line) {
        std::copy(line, line + NBcol_out, tabout[row]);
    };
    sweep(in, out, NBlig_in, NBcol_in, NBlig_out, NBcol_out, options);
}

// Each pass over row r only needs the rows next to it in the state the pass before left
// them, so with a lag of a few rows every pass sees exactly what it would see after the
// whole previous pass, while the rows are still in the cache. At step k the kernel's row
// k is in the ring, the first filling takes row k-1 and the second filling row k-2; the
// crew smooths each interior row once its neighbours are filled (the first smoothing
// into rows of its own, which keeps the filled rows for the neighbours' smoothings),
// then again from those, clamped, into the ring, which makes the row final.
void sweep(const LineSource& in, const PaddedRows& sink, int NBlig_in, int NBcol_in, int NBlig_out,
           int NBcol_out, const SweepOptions& options) {
    const int L = NBlig_out, C = NBcol_out;
    const bool voids = options.voids != VoidMode::none, keep = options.voids == VoidMode::keep;
    const KernelPlan plan(NBlig_in, NBcol_in, C, factors(NBlig_in, NBcol_in, NBlig_out, NBcol_out),
                          voids);
    // Lines that can be read only once, in order, are read by the caller alone.
    const CrewShape shape = sweep_shape(in.another ? options.threads : 1, NBlig_in, NBcol_in,
                                        NBlig_out, NBcol_out, options.extra_input_lines);
    const OutputRing tabout(shape.ring_lines, C), smoothed(shape.smoothed_lines, C);
    const auto interior = [L](int r) { return r >= 1 && r <= L - 2; };

    // The spread of each filled row, with its line of the ring, and of each row after the
    // first smoothing, with its line.
    std::vector<RowSpread> filled_spread(static_cast<std::size_t>(shape.ring_lines)),
        smoothed_spread(static_cast<std::size_t>(shape.smoothed_lines));
    const auto filled_of = [&](int x) -> RowSpread& {
        return filled_spread[static_cast<std::size_t>(x % shape.ring_lines)];
    };
    const auto smoothed_of = [&](int x) -> RowSpread& {
        return smoothed_spread[static_cast<std::size_t>(x % shape.smoothed_lines)];
    };
    Smoothings smoothings;
    // The spread of a row after the first smoothing is told from the filled rows' where
    // they hold only positive values, and taken from the row otherwise.
    smoothings.first = [&](int r) {
        if (keep) {
            means_of_valid(tabout[r - 1], tabout[r], tabout[r + 1], smoothed[r], C, {});
            smoothed[r][0] = tabout[r][0];
            smoothed[r][C - 1] = tabout[r][C - 1];
            return;
        }
        const RowSpread &above = filled_of(r - 1), &row = filled_of(r), &below = filled_of(r + 1);
        const bool plain = plain_together(above, row, below);
        double* out = smoothed[r];
        RowSpread& spread = smoothed_of(r);
        wide_rows.window_means(tabout[r - 1], tabout[r], tabout[r + 1], out, C, plain, {},
                               means_spread(above, row, below, spread) ? nullptr : &spread);
        out[0] = tabout[r][0];  // the border columns are not smoothed
        out[C - 1] = tabout[r][C - 1];
    };
    // What the second smoothing reads for row x: the border rows as the filling left
    // them, the others after the first smoothing.
    const auto second_input = [&](int x) -> const double* {
        return interior(x) ? smoothed[x] : tabout[x];
    };
    const auto second_spread = [&](int x) -> const RowSpread& {
        return interior(x) ? smoothed_of(x) : filled_of(x);
    };
    const Bounds range{options.lowest, options.highest};
    smoothings.second = [&](int q) {
        if (keep) {
            means_of_valid(second_input(q - 1), second_input(q), second_input(q + 1), tabout[q], C,
                           range);
            return;
        }
        const bool plain =
            plain_together(second_spread(q - 1), second_spread(q), second_spread(q + 1));
        wide_rows.window_means(second_input(q - 1), second_input(q), second_input(q + 1), tabout[q],
                               C, plain, range, nullptr);
    };
    SweepCrew crew(plan, in, tabout, smoothings, sink, L, shape, shape.workers > 0, options.tuning);

    // Where the kernel left empty cells in its last three rows. The middle columns, over
    // which a row's spread is taken, have none where their smallest value is positive:
    // the fillings then change none of them, and the kernel's spread stands.
    RowSpread kernel_spread[3];
    const auto empty_of = [&](int x) {
        const RowSpread& s = kernel_spread[x % 3];
        return !s.zeros ? Empty::none : s.smallest > 0.0 ? Empty::edges : Empty::anywhere;
    };
    int zeros_left[2] = {0, 0};  // empty interior cells the first filling left in its last two rows
    StageClock fill_clock("filling");
    for (int k = 0; k <= L + 1; ++k) {
        if (k < L) {
            if (k > 0 && k % 100 == 0 && options.progress) options.progress(k);
            kernel_spread[k % 3] = crew.need(k);
        }
        const int x = k - 2;
        fill_clock.time([&] {
            const int f = k - 1;
            if (interior(f)) {
                const Empty empty = keep ? Empty::none : empty_of(f);
                zeros_left[f & 1] =
                    empty == Empty::none ? 0 : fill_data_row(tabout, f, C, empty, voids);
            }
            if (x >= 0 && x < L) {
                const Empty empty = !interior(x)            ? Empty::anywhere
                                    : zeros_left[x & 1] > 0 ? empty_of(x)
                                                            : Empty::none;
                if (!keep) fill_all_row(tabout, x, L, C, empty, voids);
                filled_of(x) = interior(x) && empty_of(x) != Empty::anywhere
                                   ? kernel_spread[x % 3]
                                   : wide_rows.row_spread(tabout[x], C);
            }
        });
        if (x >= 0 && x < L) crew.filled(x);
    }
    crew.close();
}
