// The sweep down the padded output: the kernel's rows from the crew, then the fillings,
// the two smoothings and the clamp a few rows behind one another, each row handed over
// as soon as it is final.
#include "regrid/sweep.h"

#include <algorithm>
#include <vector>

#include "phase_times.h"
#include "regrid/finishing.h"
#include "wide_rows.h"

namespace {

// Input lines a thread's source holds: a footprint's lines, one more, and its line of
// zeros for the margins.
std::uint64_t input_bytes(int NBlig_in, int NBcol_in, int NBlig_out) {
    const Factors f = factors(NBlig_in, 1, NBlig_out, 1);
    return (footprint_room(f.lfacteur) + 2) * 8 * static_cast<std::uint64_t>(NBcol_in);
}

}  // namespace

CrewShape sweep_shape(int threads, int NBlig_in, int NBcol_in, int NBlig_out, int NBcol_out) {
    // Rows too narrow to share are not worth a worker's wake-ups.
    if (NBcol_out < 64) threads = 1;
    return crew_shape(threads, NBlig_out, 8 * static_cast<std::uint64_t>(NBcol_out),
                      input_bytes(NBlig_in, NBcol_in, NBlig_out));
}

std::uint64_t sweep_bytes(int threads, int NBlig_in, int NBcol_in, int NBlig_out, int NBcol_out) {
    const CrewShape shape = sweep_shape(threads, NBlig_in, NBcol_in, NBlig_out, NBcol_out);
    const std::uint64_t out_width = 8 * static_cast<std::uint64_t>(NBcol_out);
    const Factors f = factors(NBlig_in, NBcol_in, NBlig_out, NBcol_out);
    return static_cast<std::uint64_t>(1 + shape.workers) *
               input_bytes(NBlig_in, NBcol_in, NBlig_out) +
           static_cast<std::uint64_t>(shape.ring_lines + 3) * out_width +
           KernelPlan::bytes(NBcol_out, f.cfacteur);
}

void transf(double** tabin, double** tabout, int NBlig_in, int NBcol_in, int NBlig_out,
            int NBcol_out, const SweepOptions& options) {
    LineSource in{[tabin](int row) -> const double* { return tabin[row]; }, [](int) {}};
    in.another = [in] { return in; };  // the grid is read, never changed
    const PaddedRows out = [tabout, NBcol_out](int row, const double* line) {
        std::copy(line, line + NBcol_out, tabout[row]);
    };
    sweep(in, out, NBlig_in, NBcol_in, NBlig_out, NBcol_out, options);
}

// Each pass over row r only needs the rows next to it in the state the pass before left
// them, so with a lag of a few rows every pass sees exactly what it would see after the
// whole previous pass, while the rows are still in the cache. At step k:
//   the kernel computes row k, the first filling row k-1, the second filling row k-2;
//   the first smoothing of row k-3 goes to a ring of three rows, which keeps the
//   second filling's rows in the grid for it;
//   the second smoothing of row k-4 reads the ring and writes the grid, clamped: row
//   k-4 is final and goes to the sink (the border rows 0 and L-1, final since their
//   second filling, go just before row 1 and just after row L-2).
void sweep(const LineSource& in, const PaddedRows& sink, int NBlig_in, int NBcol_in, int NBlig_out,
           int NBcol_out, const SweepOptions& options) {
    const int L = NBlig_out, C = NBcol_out;
    const KernelPlan plan(NBlig_in, NBcol_in, C, factors(NBlig_in, NBcol_in, NBlig_out, NBcol_out));
    // Lines that can be read only once, in order, are read by the caller alone.
    const CrewShape shape =
        sweep_shape(in.another ? options.threads : 1, NBlig_in, NBcol_in, NBlig_out, NBcol_out);
    const OutputRing tabout(shape.ring_lines, C);
    SweepCrew crew(plan, in, tabout, sink, L, shape.workers, shape.workers > 0, options.tuning);
    const auto interior = [L](int r) { return r >= 1 && r <= L - 2; };

    // Rows after the first smoothing, and the spreads of the rows each smoothing reads.
    std::vector<double> smoothed(3 * static_cast<std::size_t>(C));
    const auto first_smoothed = [&](int r) {
        return smoothed.data() + static_cast<std::size_t>(r % 3) * C;
    };
    RowSpread filled_spread[3], smoothed_spread[3], border_spread[2];
    // What the second smoothing reads for row x: the border rows as the filling left
    // them, the others from the ring.
    const auto second_input = [&](int x) -> const double* {
        return interior(x) ? first_smoothed(x) : tabout[x];
    };
    const auto second_spread = [&](int x) -> const RowSpread& {
        return interior(x) ? smoothed_spread[x % 3] : border_spread[x == 0 ? 0 : 1];
    };

    // The kernel's spread of its last three rows: where a row has no empty interior cell,
    // neither filling changes its cells 1 to C - 2, and its spread stands.
    RowSpread kernel_spread[3];
    int zeros_left[2] = {0, 0};  // empty interior cells the first filling left in its last two rows
    const Bounds range{options.lowest, options.highest};
    StageClock kernel_clock("kernel"), fill_clock("filling"), smooth_clock("smoothing");
    for (int k = 0; k <= L + 2; ++k) {
        if (k < L) {
            if (k > 0 && k % 100 == 0 && options.progress) options.progress(k);
            kernel_clock.time([&] { kernel_spread[k % 3] = crew.need(k); });
        }
        fill_clock.time([&] {
            const int f = k - 1;
            if (interior(f))
                zeros_left[f & 1] = kernel_spread[f % 3].zeros ? fill_data_row(tabout, f, C) : 0;
            const int x = k - 2;
            if (x >= 0 && x < L) {
                const bool unchanged = interior(x) && !kernel_spread[x % 3].zeros;
                fill_all_row(tabout, x, L, C, !interior(x) || zeros_left[x & 1] > 0);
                filled_spread[x % 3] =
                    unchanged ? kernel_spread[x % 3] : wide_rows.row_spread(tabout[x], C);
                if (!interior(x)) border_spread[x == 0 ? 0 : 1] = filled_spread[x % 3];
            }
        });
        smooth_clock.time([&] {
            const int r = k - 3;
            if (interior(r)) {
                double* out = first_smoothed(r);
                const bool plain = plain_together(filled_spread[(r - 1) % 3], filled_spread[r % 3],
                                                  filled_spread[(r + 1) % 3]);
                wide_rows.window_means(tabout[r - 1], tabout[r], tabout[r + 1], out, C, plain, {},
                                       &smoothed_spread[r % 3]);
                out[0] = tabout[r][0];  // the border columns are not smoothed
                out[C - 1] = tabout[r][C - 1];
            }
            const int q = k - 4;
            if (interior(q)) {
                const bool plain =
                    plain_together(second_spread(q - 1), second_spread(q), second_spread(q + 1));
                wide_rows.window_means(second_input(q - 1), second_input(q), second_input(q + 1),
                                       tabout[q], C, plain, range, nullptr);
            }
        });
        const int q = k - 4;
        if (interior(q)) {
            if (q == 1) crew.hand_over(0);
            crew.hand_over(q);
            if (q == L - 2) crew.hand_over(L - 1);
        }
        crew.finished(k);
    }
    crew.close();
}
