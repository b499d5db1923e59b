// How a sweep is shared among the cores: the ring of padded output lines, and the crew
// of threads around the caller (workers computing kernel rows and smoothing rows, a
// writer behind them). The caller runs the fillings row after row exactly as a single
// thread does; the crew only decides who computes each kernel row and each smoothed row
// and who hands each final row to the sink, so the bytes do not depend on the number of
// threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "padded_lines.h"
#include "phase_times.h"
#include "regrid/kernel.h"
#include "regrid/kernel_rows.h"

// Where the finished padded output lines go, in order: put(r, line) hands over row r of
// the padded output, which the sink may change (nothing else reads a final row). A sink
// whose conversion of a row is worth sharing among threads also has convert(r, line),
// which may run for any final row on any thread, beside other conversions and the puts
// of earlier rows, for at most `converted_rows` rows beyond the last one put; put(r)
// then writes what convert(r) made.
struct PaddedRows {
    std::function<void(int row, double* line)> put;
    std::function<void(int row, double* line)> convert;
    int converted_rows = 0;
};

// The fewest lines a ring may have: the row the kernel computes and the five before it,
// which the fillings, both smoothings and the sink may still need (see SweepCrew).
constexpr int min_ring_lines = 6;

// The fewest lines for the rows after the first smoothing: the three the second
// smoothing of a row reads.
constexpr int min_smoothed_lines = 3;

// How a crew batches its work: rows a thread claims at a time at most (kernel rows next
// to each other share input lines, which a thread's window then reads once), and rows
// worth waking another thread for (each wake-up costs system calls). Neither bears on
// whether the sweep ends: any positive values do.
struct CrewTuning {
    int rows_per_claim = 4;
    int rows_per_wake = 8;
};

// Bytes beyond one thread's lines that the workers and their lines ahead in the rings
// may take, whatever the number of threads.
constexpr std::uint64_t crew_budget = std::uint64_t{64} << 20;

// The workers beside the caller and the lines of their rings, for a sweep that may use
// `threads` threads on `lines` padded output lines of `out_width` bytes, each thread
// reading `in_bytes` of input lines: each worker takes its input lines, 32 kernel ring
// lines to run ahead in and 16 lines of first smoothings, all of them within
// crew_budget; never more lines than the output has, never fewer than min_ring_lines
// and min_smoothed_lines.
struct CrewShape {
    int workers;
    int ring_lines;
    int smoothed_lines;
};
CrewShape crew_shape(int threads, int lines, std::uint64_t out_width, std::uint64_t in_bytes);

// Padded output lines held in a ring, row k in line k % held: a grid of any length
// needs only the lines between the oldest still read and the newest written.
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
    mutable std::vector<double> lines_;  // every cell is written before it is read
};

// The smoothings of the interior rows (1 to lines - 2), which the crew shares out: the
// first smoothing of row r reads the filled rows r - 1 to r + 1 of the ring and writes
// a line of its own; the second smoothing of row q reads those of rows q - 1 to q + 1
// (the border rows 0 and lines - 1 as filled) and writes row q of the ring, clamped,
// which is then final.
struct Smoothings {
    std::function<void(int r)> first;
    std::function<void(int q)> second;
};

// Kernel rows are independent of one another: each is the weighted sums of the input
// lines under its footprint. So is a smoothed row of the rows it reads. The fillings are
// not: the first filling carries filled cells down and right through holes, so its order
// is part of what it computes. So the caller runs the fillings in order; workers compute
// kernel rows ahead of it into the ring, each from its own window of input lines (the
// source's `another`), and smooth rows behind it as soon as the rows they read are
// ready, and convert final rows for the sink where it shares that out; a writer thread
// hands the final rows to the sink, in order; and while the caller waits for a kernel
// row, it takes the same work as a worker. A kernel row and a smoothed row are the same
// function of the same rows whoever computes them, every filling step sees exactly the
// rows it sees alone, and the sink receives the same rows in the same order.
//
// Safety. The first smoothing of r starts once rows 0 to r + 1 are filled (the caller's
// filling of a row reads the rows next to it, all earlier than r + 2 by then); its line
// of rows after the first smoothing, r % smoothed_lines, once the second smoothings of
// the row r - smoothed_lines it held and of the rows next to that are done. The second
// smoothing of q starts once the first smoothings of q - 1 to q + 1 are done: they were
// the last to read row q as filled, so it may write row q. Row q then goes to the sink,
// which may change it: the last readers of row 0 and row lines - 1 are the second
// smoothings of rows 1 and lines - 2, so they go only with those, and every row goes in
// order, each converted first where the sink converts. Kernel row k takes the ring line
// of row k - held only once the sink has taken that row, which is read by nothing after.
//
// Liveness. Claims of each kind go in order, and a claimed piece of work runs without
// waiting for anything. The caller needs kernel row k having filled rows 0 to k - 3. If
// nobody has claimed it, its line waits only for the sink to take row k - held <= k - 6,
// which waits for the second smoothings of rows up to k - 6, which wait for the first
// smoothings of rows up to k - 5, which wait for filled rows up to k - 4: there
// already. A first
// smoothing's line waits for second smoothings of earlier rows (smoothed_lines >=
// min_smoothed_lines), which wait for first smoothings of earlier rows. So, going down
// the rows, every piece of work the caller waits for is done, claimed by a thread that
// is running it, or free for the caller to take, which it does; and the final rows it
// waits for are converted by whoever claimed them or else by the writer, which converts
// the next row to hand over whenever nobody has claimed it, and taken by the writer as
// soon as the caller says it waits (where there is no writer, the caller converts and
// puts them itself). So every step ends, for any tuning, with or without workers and
// writer.
class SweepCrew {
public:
    SweepCrew(const KernelPlan& plan, const LineSource& in, const OutputRing& rows,
              const Smoothings& smoothings, const PaddedRows& sink, int lines, CrewShape shape,
              bool writer, CrewTuning tuning = {});
    ~SweepCrew();
    SweepCrew(const SweepCrew&) = delete;
    SweepCrew& operator=(const SweepCrew&) = delete;

    // Kernel row k in the ring, and its spread. Until it is there, the caller takes work
    // as a worker does; a failure of another thread is raised here.
    RowSpread need(int k);

    // Rows 0 to x have had both fillings.
    void filled(int x);

    // Does what work is left and waits until the sink has taken every row; raises a
    // thread's failure.
    void close();

    // The threads that started beside the caller: fewer than asked for where the
    // system could not start them.
    int threads_started() const { return static_cast<int>(threads_.size()); }

private:
    enum class Kind { kernel, first, second, convert };
    struct Claim {
        Kind kind;
        int first, end;
    };
    using Lock = std::unique_lock<std::mutex>;
    std::size_t slot(int k) const;
    bool kernel_free(int k) const;
    bool first_free(int r) const;
    bool second_free(int q) const;
    int rows_final() const;
    int rows_ready() const;
    bool convert_free() const;
    bool work_free() const;
    bool writer_converts() const;
    bool writer_free() const;
    void wake();
    bool claim_convert(Claim& c);
    bool claim_smoothing(Claim& c);
    bool claim_kernel(Claim& c);
    bool claim(Claim& c) { return claim_convert(c) || claim_smoothing(c) || claim_kernel(c); }
    void run(Lock& hold, const Claim& c, const LineSource* in, KernelSpace* space,
             StageClock* clock);
    void put_ready(Lock& hold);
    bool caller_step(Lock& hold);
    void wait_for_others(Lock& hold, StageClock* clock);
    template <typename Work>
    void guarded(Work work);
    void work();
    void write();

    const KernelPlan& plan_;
    const LineSource& in_;
    const OutputRing& rows_;
    const Smoothings& smoothings_;
    const PaddedRows& sink_;
    const int lines_, smoothed_lines_;
    const CrewTuning tuning_;
    std::mutex mutex_;
    std::condition_variable caller_wakes_, workers_wake_, writer_wakes_;
    bool caller_waits_ = false, writer_waits_ = false;
    int workers_waiting_ = 0;
    int next_kernel_ = 0;  // the first row of each kind of work nobody has claimed
    int next_first_ = 1, next_second_ = 1, next_convert_ = 0;
    int filled_ = 0;             // rows 0 to filled_ - 1 have had both fillings
    int first_done_ = 1;         // the first smoothings of interior rows below it are done
    int second_done_ = 1;        // and the second smoothings
    int converted_ = 0;          // rows below it are converted for the sink
    int rows_written_ = 0;       // rows the sink has taken
    bool lines_wanted_ = false;  // the caller waits for the sink to free a line
    // The row each line holds, once done, and the row each conversion of the sink holds.
    std::vector<int> kernel_rows_, first_rows_, second_rows_, converted_rows_;
    std::vector<RowSpread> spreads_;  // and for kernel rows their spread
    KernelSpace space_;               // the caller's
    bool writer_ = false;
    bool stop_ = false;
    std::exception_ptr error_;
    // The caller's time getting kernel rows (computing them or waiting), and smoothing
    // (its conversions for the sink are in neither).
    StageClock kernel_clock_{"kernel"}, smoothing_clock_{"smoothing"};
    std::vector<std::thread> threads_;
};
