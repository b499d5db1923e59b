// How a sweep is shared among the cores: the ring of padded output lines, and the crew
// of threads around the caller (kernel workers ahead of it, a writer behind it). The
// caller runs the finishing passes row after row exactly as a single thread does; the
// crew only decides who computes each kernel row and who hands each final row to the
// sink, so the bytes do not depend on the number of threads.
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
#include "regrid/kernel.h"

// A finished padded output line, handed over in order: row r of the padded output,
// which the sink may change (nothing reads a row once it is handed over).
using PaddedRows = std::function<void(int row, double* line)>;

// The finishing at step k reads rows back to k - 5 (the border row 0 at step 5), so
// kernel row k may take the line of row k - held once step k - held + 5 is done.
constexpr int rows_read_behind = 5;

// The fewest lines a ring may have: the rows the finishing reads at one step and the
// row the kernel computes. The crew's liveness rests on it (see SweepCrew).
constexpr int min_ring_lines = rows_read_behind + 1;

// How a crew batches its work: kernel rows a thread claims at a time at most (rows
// next to each other share input lines, which a thread's window then reads once), and
// rows worth waking the writer for (each wake-up costs system calls). Neither bears on
// whether the sweep ends: any positive values do.
struct CrewTuning {
    int rows_per_claim = 8;
    int rows_per_wake = 8;
};

// Bytes beyond one thread's lines that the workers and their lines ahead in the ring
// may take, whatever the number of threads.
constexpr std::uint64_t crew_budget = std::uint64_t{64} << 20;

// The workers beside the caller and the lines of their ring, for a sweep that may use
// `threads` threads on `lines` padded output lines of `out_width` bytes, each thread
// reading `in_bytes` of input lines: each worker takes its input lines and 32 ring
// lines to run ahead in, all of them within crew_budget; never more lines than the
// output has, never fewer than min_ring_lines.
struct CrewShape {
    int workers;
    int ring_lines;
};
CrewShape crew_shape(int threads, int lines, std::uint64_t out_width, std::uint64_t in_bytes);

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

// Kernel rows are independent of one another: each is the weighted sums of the input
// lines under its footprint. The finishing passes are not: the first filling carries
// filled cells down and right through holes, so its order is part of what it computes.
// So the caller runs the finishing; workers compute kernel rows ahead of it into the
// ring, each from its own window of input lines (the source's `another`); a writer
// thread hands the finished rows to the sink, in order, while the next are computed;
// and while the caller waits for a kernel row, it computes the next unclaimed ones too.
// A kernel row is the same function of the same input lines whoever computes it, every
// finishing step sees exactly the rows it sees alone, and the sink receives the same
// rows in the same order.
//
// Safety: kernel row k takes the ring line of row k - held only once no finishing step
// to come reads that row (steps from finished_steps_ on read rows from
// finished_steps_ - rows_read_behind) and the sink has taken it.
//
// Liveness: the caller at step k has handed rows up to k - 5 to the writer and needs
// kernel row k. Either a worker has claimed it, and computes it without waiting for
// anything; or it is next to claim and its line is not free. Its line is then free for
// the finishing (held >= min_ring_lines > rows_read_behind) and waits only for the sink
// to take row k - held <= k - 6, which is final: the caller says that it waits for
// lines, and the writer then writes every final row whatever its batch size. So every
// step ends, for any tuning, with or without workers and writer.
class SweepCrew {
public:
    SweepCrew(const KernelPlan& plan, const LineSource& in, const OutputRing& rows,
              const PaddedRows& sink, int lines, int workers, bool writer, CrewTuning tuning = {});
    ~SweepCrew();
    SweepCrew(const SweepCrew&) = delete;
    SweepCrew& operator=(const SweepCrew&) = delete;

    // Kernel row k in the ring, and its spread. Until it is there, the caller computes
    // the next rows nobody has claimed, as a worker does; a failure of another thread is
    // raised here.
    RowSpread need(int k);

    // Row r is final: to the sink, in order, by the writer or here.
    void hand_over(int r);

    // Finishing step k is done: the lines of the rows it was the last to read are free.
    void finished(int k);

    // Waits until the sink has taken every row; raises a thread's failure.
    void close();

    // The threads that started beside the caller: fewer than asked for where the
    // system could not start them.
    int threads_started() const { return static_cast<int>(threads_.size()); }

private:
    struct Claim {
        int first, end;
    };
    std::size_t slot(int k) const;
    bool free_for(int k) const;
    Claim claim();
    void compute(const LineSource& in, KernelSpace& space, int k);
    template <typename Work>
    void guarded(Work work);
    void work();
    void write();

    const KernelPlan& plan_;
    const LineSource& in_;
    const OutputRing& rows_;
    const PaddedRows& sink_;
    const int lines_;
    const CrewTuning tuning_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int next_claim_ = 0;              // the first kernel row nobody has claimed
    int finished_steps_ = 0;          // finishing steps done
    int rows_final_ = 0;              // rows handed over for the sink
    int rows_written_ = 0;            // rows the sink has taken
    bool lines_wanted_ = false;       // the caller waits for the sink to free a line
    std::vector<int> done_;           // the kernel row each line of the ring holds, once computed
    std::vector<RowSpread> spreads_;  // and its spread
    KernelSpace space_;               // the caller's
    bool writer_ = false;
    bool stop_ = false;
    std::exception_ptr error_;
    std::vector<std::thread> threads_;
};
