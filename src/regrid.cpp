// The regridding engine: elevation range, output geometry, the area-weighted kernel,
// gap filling, smoothing and clamping. Every arithmetic step is written as
// double(long double ...): the intermediate keeps a 64-bit significand and the store
// rounds it to double. Rounding a double operation directly would differ in the last
// bit now and then, and the results are defined to the bit.
#include "regrid.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "answers.h"
#include "failure.h"
#include "host_memory.h"
#include "phase_times.h"
#include "run_state.h"
#include "wide_rows.h"

int sweep_threads = 0;

namespace {

using ld = long double;

inline double sum(double a, double b) { return static_cast<double>(static_cast<ld>(a) + b); }

// The padded output lines the sweep works on, row k in line k % held: a grid of any
// length needs only the lines between the oldest the finishing still reads and the
// newest the kernel has computed.
class OutputRing {
public:
    OutputRing(int held, int columns)
        : held_(held),
          width_(static_cast<std::size_t>(columns)),
          lines_(static_cast<std::size_t>(held) * width_) {}

    double* operator[](int k) const {
        return lines_.data() + static_cast<std::size_t>(k % held_) * width_;
    }
    int held() const { return held_; }

private:
    int held_;
    std::size_t width_;
    mutable std::vector<double> lines_;  // the kernel writes every cell before it is read
};

// The finishing at step k reads rows back to k - 5 (the border row 0 at step 5), so
// kernel row k may take the line of row k - held once step k - held + 5 is done.
constexpr int rows_read_behind = 5;

// The lines of the ring: the eight the finishing works on, and room for the workers to
// run ahead of it.
int ring_lines(int workers) { return 8 + 32 * workers; }

// Kernel rows a thread claims at a time, at most, and rows that make it worth waking
// another thread: each wake-up costs system calls.
constexpr int rows_per_claim = 8;
constexpr int rows_per_wake = 8;

int sweep_thread_count() { return sweep_threads > 0 ? sweep_threads : std::max(1, usable_cores()); }

// The source's lines as the kernel reads a grid's rows.
struct SourceLines {
    const LineSource& source;
    const double* operator[](int row) const { return source.line(row); }
};

}  // namespace

// The first weight is the stretch to the next boundary, whole weights follow, and the
// remainder, possibly negative in an enlargement, is kept as it is.
Footprint footprint(int index, double factor, double* w) {
    const ld position = static_cast<ld>(index) * factor;   // kept in extended precision
    const double rounded = static_cast<double>(position);  // what bigger and floor receive
    w[0] = static_cast<double>(static_cast<ld>(bigger(rounded)) - position);
    const int start = static_cast<int>(std::floor(rounded));
    double xf = static_cast<double>(static_cast<ld>(factor) - w[0]);
    int n = 1;
    while (xf >= 1.0) {
        w[n] = 1.0;
        ++n;
        xf = static_cast<double>(static_cast<ld>(xf) - 1.0L);
    }
    w[n] = xf;
    return {start, n};
}

// The first weight, at most floor(factor) whole ones and the remainder. A footprint
// of 24 input cells or more needs more than the 25 weights a fixed vector would hold.
std::size_t footprint_room(double factor) { return static_cast<std::size_t>(factor) + 3; }

Factors factors(int NBlig_in, int NBcol_in, int NBlig_out, int NBcol_out) {
    Factors f;
    f.lfacteur =
        static_cast<double>(1.0L / static_cast<double>(static_cast<ld>(NBlig_out) / NBlig_in));
    f.cfacteur =
        static_cast<double>(1.0L / static_cast<double>(static_cast<ld>(NBcol_out) / NBcol_in));
    f.area = static_cast<double>(static_cast<ld>(f.lfacteur) * f.cfacteur);
    return f;
}

namespace {

// The kernel's plan: the weights of every output column, computed once. Pairs whose
// input column is outside 0 < c < Cin are skipped (their weight dropped), so each
// column keeps the run first..last of its weights that fall inside. The columns of the
// middle, all of whose weights fall inside, also get their weights packed side by
// side, padded with zero weights to the widest count: a zero weight adds exactly
// nothing to a sum of finite values (at most the sign of a zero sum, which the final
// magnitude drops), and a fixed count runs without mispredicted branches.
struct KernelPlan {
    KernelPlan(int lines_in, int columns_in, int columns_out, const Factors& factors)
        : Lin(lines_in),
          Cin(columns_in),
          C(columns_out),
          f(factors),
          room(footprint_room(f.cfacteur)),
          cw(room * static_cast<std::size_t>(C)),
          columns(static_cast<std::size_t>(C)),
          first(static_cast<std::size_t>(C)),
          last(static_cast<std::size_t>(C)) {
        for (int j = 0; j < C; ++j) {
            const Footprint fp = footprint(j, f.cfacteur, &cw[room * static_cast<std::size_t>(j)]);
            columns[j] = fp;
            first[j] = std::max(0, 1 - fp.start);
            last[j] = std::min(fp.last, Cin - 1 - fp.start);
            if (first[j] == 0 && last[j] == fp.last) count = std::max(count, fp.last + 1);
        }
        const auto packable = [this](int j) {
            return first[j] == 0 && last[j] == columns[j].last &&
                   columns[j].start + count - 1 <= Cin - 1;
        };
        middle_from = 0;
        middle_to = C;
        while (middle_from < middle_to && !packable(middle_from)) ++middle_from;
        while (middle_to > middle_from && !packable(middle_to - 1)) --middle_to;
        for (int j = middle_from; j < middle_to; ++j)
            if (!packable(j)) middle_from = middle_to = 0;  // not one run: no packing
        packed.assign(static_cast<std::size_t>(count) * static_cast<std::size_t>(C), 0.0);
        starts.assign(static_cast<std::size_t>(C), 0);
        for (int j = middle_from; j < middle_to; ++j) {
            for (int b = 0; b <= columns[j].last; ++b)
                packed[static_cast<std::size_t>(count) * j + b] =
                    cw[room * static_cast<std::size_t>(j) + b];
            starts[j] = columns[j].start;
        }
    }
    int Lin, Cin, C;
    Factors f;
    std::size_t room;
    std::vector<double> cw;
    std::vector<Footprint> columns;
    std::vector<int> first, last;
    int count = 0;                       // weights per packed column
    int middle_from = 0, middle_to = 0;  // the packed columns
    std::vector<double> packed;
    std::vector<std::int64_t> starts;
};

// One input line's terms added to the sums of columns from..to-1 of an output row.
void add_line_terms(const KernelPlan& p, double w, const double* in, double* out, int from,
                    int to) {
    for (int j = from; j < to; ++j) {
        const double* cwj = &p.cw[p.room * static_cast<std::size_t>(j)];
        const double* v = in + p.columns[j].start;
        double acc = out[j];
        for (int b = p.first[j]; b <= p.last[j]; ++b)
            acc = static_cast<double>(static_cast<ld>(w) * cwj[b] * v[b] + acc);
        out[j] = acc;
    }
}

// The same for the packed columns, with the count fixed (K > 0) or given (K = 0). The
// first input line of a row starts the sums instead of adding to zeros: 0.0 + t is t
// but for the sign of a zero t, which the final magnitude drops.
template <int K, bool first>
void add_packed_terms(const KernelPlan& p, double w, const double* in, double* out) {
    const int count = K > 0 ? K : p.count;
    for (int j = p.middle_from; j < p.middle_to; ++j) {
        const double* cwj = &p.packed[static_cast<std::size_t>(count) * j];
        const double* v = in + p.starts[j];
        double acc = first ? static_cast<double>(static_cast<ld>(w) * cwj[0] * v[0]) : out[j];
        for (int b = first ? 1 : 0; b < count; ++b)
            acc = static_cast<double>(static_cast<ld>(w) * cwj[b] * v[b] + acc);
        out[j] = acc;
    }
}

template <bool first>
void add_packed_line(const KernelPlan& p, double w, const double* in, double* out) {
    switch (p.count) {
        case 2:
            add_packed_terms<2, first>(p, w, in, out);
            break;
        case 3:
            add_packed_terms<3, first>(p, w, in, out);
            break;
        case 4:
            add_packed_terms<4, first>(p, w, in, out);
            break;
        default:
            add_packed_terms<0, first>(p, w, in, out);
            break;
    }
}

// Output row i: every cell the weighted sum of the input under its footprint, line
// weights outer and column weights inner as for a single cell, one input line after
// the other (a cell's terms in one chain would make the x87 stores and reloads of its
// partial sums wait on each other), then divided by the area and made non-negative.
// Returns the first input line the row draws on.
template <typename Lines>
int kernel_row(const KernelPlan& p, double* lw, const Lines& tabin, double* out, int i) {
    const Footprint line = footprint(i, p.f.lfacteur, lw);
    std::fill(out, out + p.middle_from, 0.0);
    std::fill(out + p.middle_to, out + p.C, 0.0);
    bool started = false;  // the packed columns hold sums
    for (int a = 0; a <= line.last; ++a) {
        const int r = line.start + a;
        if (r <= 0 || r >= p.Lin) continue;
        const double w = lw[a];  // widened in each product: 64-bit loads are cheap
        const double* in = tabin[r];
        add_line_terms(p, w, in, out, 0, p.middle_from);
        if (started)
            add_packed_line<false>(p, w, in, out);
        else
            add_packed_line<true>(p, w, in, out);
        started = true;
        add_line_terms(p, w, in, out, p.middle_to, p.C);
    }
    if (!started) std::fill(out + p.middle_from, out + p.middle_to, 0.0);
    wide_rows.divide_by_area(out, p.C, p.f.area);
    return line.start;
}

// The eight neighbours, clockwise from the upper left; the order fixes the additions.
constexpr int neighbour_line[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
constexpr int neighbour_column[8] = {-1, 0, 1, 1, 1, 0, -1, -1};

// First filling pass over interior row i, in place; returns how many of its interior
// cells are still 0.0.
template <typename Rows>
int fill_data_row(Rows& t, int i, int columns) {
    double* row = t[i];
    int left = 0;
    for (int j = 1; (j = wide_rows.next_zero(row, j, columns - 1)) < columns - 1; ++j) {
        double dval = 0.0;
        int ico = 0;
        for (int k = 0; k < 8; ++k) {
            const double v = t[i + neighbour_line[k]][j + neighbour_column[k]];
            if (v != 0.0) {
                ++ico;
                dval = sum(dval, v);
            }
        }
        if (ico > 0) row[j] = static_cast<double>(static_cast<ld>(dval) / ico);
        if (row[j] == 0.0) ++left;  // no neighbour, or a mean of 0.0
    }
    return left;
}

// The second filling of cell (i, j), which is 0.0.
template <typename Rows>
void fill_from_all_cell(Rows& t, int i, int j, int lines, int columns) {
    double dval = 0.0;
    int ico = 0;
    for (int k = 0; k < 8; ++k) {
        const int l = i + neighbour_line[k], c = j + neighbour_column[k];
        if (l >= 0 && l < lines && c >= 0 && c < columns) {
            ++ico;
            dval = sum(dval, t[l][c]);
        }
    }
    t[i][j] = static_cast<double>(static_cast<ld>(dval) / ico);
}

// Second filling pass over row i, border included, in place. `interior_zeros` false
// says that the first pass left no empty interior cell in the row (nothing else has
// written it since), so that only its two border cells need a look.
template <typename Rows>
void fill_all_row(Rows& t, int i, int lines, int columns, bool interior_zeros = true) {
    double* row = t[i];
    if (!interior_zeros) {
        if (row[0] == 0.0) fill_from_all_cell(t, i, 0, lines, columns);
        if (row[columns - 1] == 0.0) fill_from_all_cell(t, i, columns - 1, lines, columns);
        return;
    }
    for (int j = 0; (j = wide_rows.next_zero(row, j, columns)) < columns; ++j)
        fill_from_all_cell(t, i, j, lines, columns);
}

void clamp_row(double* row, int columns) {
    wide_rows.clamp(row, 1, columns - 1, dmin_alt, dmax_alt);
}

}  // namespace

namespace {

bool fits_padded(long double count) {
    return count < static_cast<long double>(INT_MAX - margin_before - margin_after);
}

}  // namespace

double bigger(double x) {
    const double c = std::ceil(x);
    if (c == x) return static_cast<double>(static_cast<ld>(x) + 1.0L);
    return c;
}

long double scaled_count(int count, double r) { return static_cast<ld>(count) * r; }

long long output_count(int count, double r) {
    const long double scaled = scaled_count(count, r);
    if (!(scaled >= 1.0L) || !fits_padded(scaled)) return -1;
    return static_cast<long long>(scaled);  // truncation toward zero
}

std::uint64_t sweep_memory(int lines, int columns, int out_lines, int out_columns) {
    const Factors f =
        factors(static_cast<int>(padded(lines)), static_cast<int>(padded(columns)),
                static_cast<int>(padded(out_lines)), static_cast<int>(padded(out_columns)));
    const std::uint64_t in_width = 8 * static_cast<std::uint64_t>(padded(columns));
    const std::uint64_t out_width = 8 * static_cast<std::uint64_t>(padded(out_columns));
    // For each thread, the input lines a footprint spans and one more (a source's
    // window); the output ring and the first smoothing's three lines; and the plan: per
    // output column its weights twice (as computed and packed), its footprint, bounds
    // and start.
    const int threads = sweep_thread_count();
    const std::uint64_t in_lines =
        static_cast<std::uint64_t>(threads) * (footprint_room(f.lfacteur) + 1) * in_width;
    const std::uint64_t out_rows =
        static_cast<std::uint64_t>(ring_lines(threads - 1) + 3) * out_width;
    const std::uint64_t plan =
        static_cast<std::uint64_t>(padded(out_columns)) *
        (2 * 8 * footprint_room(f.cfacteur) + sizeof(Footprint) + 2 * sizeof(int) + 8);
    return in_lines + out_rows + plan;
}

void treatment(const LineSource& in, const LineSink& out) {
    PhaseTimer timer("treatment");
    // The scan of every input cell from 1.0e7 and 0.0 with strict comparisons keeps
    // what the source's first lowest and highest values give it.
    dmin_alt = 10000000.0;
    dmax_alt = 0.0;
    if (dmin_alt > in.lowest) dmin_alt = in.lowest;
    if (dmax_alt < in.highest) dmax_alt = in.highest;
    if (dmin_alt < 0.0)
        report(
            "the input holds negative elevations: this program is made for positive "
            "elevations, where 0 means no data, so results near negative cells come out "
            "as magnitudes");

    const long long lines = output_count(nb_lig, ratio), columns = output_count(nb_col, ratio);
    if (lines < 0 || columns < 0) fail("the ratio gives no addressable output");
    nb_lig4 = static_cast<int>(lines);
    nb_col4 = static_cast<int>(columns);
    nb_lig2 = static_cast<int>(padded(nb_lig));
    nb_col2 = static_cast<int>(padded(nb_col));
    nb_lig3 = static_cast<int>(padded(nb_lig4));
    nb_col3 = static_cast<int>(padded(nb_col4));

    say("\n\n\tThe resulting image will have : ");
    say("\n\t\t%d lines and %d columns ", nb_lig4, nb_col4);
    sweep(in, out, nb_lig2, nb_col2, nb_lig3, nb_col3);
}

void transf(double** tabin, double** tabout, int NBlig_in, int NBcol_in, int NBlig_out,
            int NBcol_out) {
    LineSource in{[tabin](int row) -> const double* { return tabin[row]; }, [](int) {}};
    in.another = [in] { return in; };  // the grid is read, never changed
    const LineSink out{[tabout, NBcol_out](int row, const double* line) {
        std::copy(line, line + NBcol_out, tabout[row]);
    }};
    sweep(in, out, NBlig_in, NBcol_in, NBlig_out, NBcol_out);
}

namespace {

// How the sweep is split among the cores. Kernel rows are independent of one another:
// each is the weighted sums of the input lines under its footprint. The finishing
// passes are not: the first filling carries filled cells down and right through holes,
// so its order is part of what it computes. So one thread (the caller) runs the
// finishing, row after row exactly as a single thread does; workers compute kernel
// rows ahead of it into the ring, each from its own window of input lines; and a writer
// thread hands the finished rows to the sink, in order, while the next are computed;
// while the caller waits for a kernel row, it computes the next unclaimed ones too.
// A kernel row is the same function of the same input lines whoever computes it,
// every finishing step sees exactly the rows it sees alone, and the sink receives the
// same rows in the same order, so the bytes do not depend on the number of threads.
class SweepCrew {
public:
    SweepCrew(const KernelPlan& plan, const LineSource& in, const OutputRing& rows,
              const LineSink& sink, int lines, int workers, bool writer)
        : plan_(plan),
          in_(in),
          rows_(rows),
          sink_(sink),
          lines_(lines),
          done_(static_cast<std::size_t>(rows.held()), -1),
          lw_(footprint_room(plan.f.lfacteur)) {
        try {
            if (writer) threads_.emplace_back([this] { write(); });
            writer_ = writer;
            for (int w = 0; w < workers; ++w) threads_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // Fewer threads than asked for: the caller does what they would have done.
        }
    }

    ~SweepCrew() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread& t : threads_) t.join();
    }
    SweepCrew(const SweepCrew&) = delete;
    SweepCrew& operator=(const SweepCrew&) = delete;

    // Kernel row k in the ring. Until it is there, the caller computes the next rows
    // nobody has claimed, as a worker does; a failure of another thread is raised here.
    void need(int k) {
        std::unique_lock<std::mutex> hold(mutex_);
        for (;;) {
            if (error_) std::rethrow_exception(error_);
            if (done_[slot(k)] == k) return;
            if (next_claim_ < lines_ && free_for(next_claim_)) {
                const Claim claimed = claim();
                hold.unlock();
                for (int row = claimed.first; row < claimed.end; ++row)
                    compute(in_, lw_.data(), row);
                hold.lock();
                continue;
            }
            changed_.wait(hold);
        }
    }

    // Row r is final: to the sink, in order, by the writer or here.
    void hand_over(int r) {
        if (!writer_) {
            sink_.put(r, rows_[r]);
            std::lock_guard<std::mutex> hold(mutex_);
            rows_written_ = r + 1;
            return;
        }
        {
            std::lock_guard<std::mutex> hold(mutex_);
            rows_final_ = r + 1;
        }
        if (r % rows_per_wake == rows_per_wake - 1 || r == lines_ - 1) changed_.notify_all();
    }

    // Finishing step k is done: the lines of the rows it was the last to read are free.
    void finished(int k) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            finished_steps_ = k + 1;
        }
        if (k % rows_per_wake == rows_per_wake - 1) changed_.notify_all();
    }

    // Waits until the sink has taken every row.
    void close() {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [&] { return rows_written_ == lines_ || error_; });
        if (error_) std::rethrow_exception(error_);
    }

private:
    std::size_t slot(int k) const { return static_cast<std::size_t>(k % rows_.held()); }

    // Row k may take the line of row k - held once no finishing step to come reads that
    // row (the steps from finished_steps_ on read rows from finished_steps_ - 5) and the
    // sink has taken it.
    bool free_for(int k) const {
        const int replaced = k - rows_.held();
        return replaced < finished_steps_ - rows_read_behind && replaced < rows_written_;
    }

    // The next rows nobody has claimed, up to rows_per_claim of them that are free:
    // neighbouring rows share input lines, which a thread's window then reads once.
    struct Claim {
        int first, end;
    };
    Claim claim() {
        const Claim claimed{next_claim_, next_claim_ + 1};
        int end = claimed.end;
        while (end < lines_ && end - claimed.first < rows_per_claim && free_for(end)) ++end;
        next_claim_ = end;
        return {claimed.first, end};
    }

    void compute(const LineSource& in, double* lw, int k) {
        // Lines before the row's footprint are done with: rows come in increasing order.
        in.forget(footprint(k, plan_.f.lfacteur, lw).start);
        kernel_row(plan_, lw, SourceLines{in}, rows_[k], k);
        std::lock_guard<std::mutex> hold(mutex_);
        done_[slot(k)] = k;
    }

    // A thread's work; its failure stops the others and is raised in the caller.
    template <typename Work>
    void guarded(Work work) {
        try {
            work();
        } catch (...) {
            {
                std::lock_guard<std::mutex> hold(mutex_);
                if (!error_) error_ = std::current_exception();
                stop_ = true;
            }
            changed_.notify_all();
        }
    }

    void work() {
        guarded([this] {
            const LineSource own = in_.another();
            std::vector<double> lw(footprint_room(plan_.f.lfacteur));
            for (;;) {
                std::unique_lock<std::mutex> hold(mutex_);
                changed_.wait(
                    hold, [&] { return stop_ || next_claim_ >= lines_ || free_for(next_claim_); });
                if (stop_ || next_claim_ >= lines_) return;
                const Claim claimed = claim();
                hold.unlock();
                for (int row = claimed.first; row < claimed.end; ++row)
                    compute(own, lw.data(), row);
                changed_.notify_all();
            }
        });
    }

    void write() {
        guarded([this] {
            StageClock sink_clock("sink");
            for (;;) {
                std::unique_lock<std::mutex> hold(mutex_);
                changed_.wait(hold, [&] {
                    return stop_ || rows_final_ - rows_written_ >= rows_per_wake ||
                           (rows_final_ == lines_ && rows_written_ < lines_);
                });
                if (stop_) return;
                const int from = rows_written_, to = rows_final_;
                hold.unlock();
                sink_clock.time([&] {
                    for (int r = from; r < to; ++r) sink_.put(r, rows_[r]);
                });
                hold.lock();
                rows_written_ = to;
                hold.unlock();
                changed_.notify_all();
            }
        });
    }

    const KernelPlan& plan_;
    const LineSource& in_;
    const OutputRing& rows_;
    const LineSink& sink_;
    const int lines_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int next_claim_ = 0;      // the first kernel row nobody has claimed
    int finished_steps_ = 0;  // finishing steps done
    int rows_final_ = 0;      // rows handed over for the sink
    int rows_written_ = 0;    // rows the sink has taken
    std::vector<int> done_;   // the kernel row each line of the ring holds, once computed
    std::vector<double> lw_;  // the caller's line weights
    bool writer_ = false;
    bool stop_ = false;
    std::exception_ptr error_;
    std::vector<std::thread> threads_;
};

// Kernel workers beside the caller: one fewer than the threads the sweep may use,
// none where a row is too small to share or the source cannot be read by several
// threads. A writer thread too wherever there is more than one.
int sweep_workers(const LineSource& in, int columns) {
    if (!in.another || columns < 64) return 0;
    return sweep_thread_count() - 1;
}

}  // namespace

// The kernel and the finishing passes in one sweep down the grid. Each pass over row
// r only needs the rows next to it in the state the pass before left them, so with a
// lag of a few rows every pass sees exactly what it would see after the whole previous
// pass, while the rows are still in the cache. At step k:
//   the kernel computes row k, the first filling row k-1, the second filling row k-2;
//   the first smoothing of row k-3 goes to a ring of three rows, which keeps the
//   second filling's rows in the grid for it;
//   the second smoothing of row k-4 reads the ring and writes the grid, clamped: row
//   k-4 is final and goes to the sink (the border rows 0 and L-1, final since their
//   second filling, go just before row 1 and just after row L-2).
void sweep(const LineSource& in, const LineSink& sink, int NBlig_in, int NBcol_in, int NBlig_out,
           int NBcol_out) {
    const int L = NBlig_out, C = NBcol_out;
    const Factors f = factors(NBlig_in, NBcol_in, NBlig_out, NBcol_out);
    say(NBlig_out > NBlig_in ? "\n\n\tEnlargement\n" : "\n\n\tReduction\n");
    say("\n\n\tTreatment \n\n");

    const KernelPlan plan(NBlig_in, NBcol_in, C, f);
    const int workers = sweep_workers(in, C);
    const OutputRing tabout(ring_lines(workers), C);
    SweepCrew crew(plan, in, tabout, sink, L, workers, workers > 0);
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

    int zeros_left[2] = {0, 0};  // empty interior cells the first filling left in its last two rows
    StageClock kernel_clock("kernel"), fill_clock("filling"), smooth_clock("smoothing");
    for (int k = 0; k <= L + 2; ++k) {
        if (k < L) {
            if (k > 0 && k % 100 == 0) say("\tline %d                \r", k);
            kernel_clock.time([&] { crew.need(k); });
        }
        fill_clock.time([&] {
            if (interior(k - 1)) zeros_left[(k - 1) & 1] = fill_data_row(tabout, k - 1, C);
            const int x = k - 2;
            if (x >= 0 && x < L) {
                fill_all_row(tabout, x, L, C, !interior(x) || zeros_left[x & 1] > 0);
                filled_spread[x % 3] = wide_rows.row_spread(tabout[x], C);
                if (!interior(x)) border_spread[x == 0 ? 0 : 1] = filled_spread[x % 3];
            }
        });
        smooth_clock.time([&] {
            const int r = k - 3;
            if (interior(r)) {
                double* out = first_smoothed(r);
                const bool plain = plain_together(filled_spread[(r - 1) % 3], filled_spread[r % 3],
                                                  filled_spread[(r + 1) % 3]);
                wide_rows.window_means(tabout[r - 1], tabout[r], tabout[r + 1], out, C, plain);
                out[0] = tabout[r][0];  // the border columns are not smoothed
                out[C - 1] = tabout[r][C - 1];
                smoothed_spread[r % 3] = wide_rows.row_spread(out, C);
            }
            const int q = k - 4;
            if (interior(q)) {
                const bool plain =
                    plain_together(second_spread(q - 1), second_spread(q), second_spread(q + 1));
                wide_rows.window_means(second_input(q - 1), second_input(q), second_input(q + 1),
                                       tabout[q], C, plain);
                clamp_row(tabout[q], C);
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
