// The crew of a sweep: its shape within the memory budget, and the caller, workers and
// writer around the ring of output lines (see sweep_crew.h for the contract).
#include "regrid/sweep_crew.h"

#include <algorithm>
#include <new>
#include <system_error>

#include "phase_times.h"

static_assert(min_ring_lines > rows_read_behind,
              "the kernel's row must not take a line the finishing still reads");

CrewShape crew_shape(int threads, int lines, std::uint64_t out_width, std::uint64_t in_bytes) {
    constexpr int lines_ahead = 32;  // ring lines a worker runs ahead in
    const std::uint64_t per_worker = in_bytes + lines_ahead * out_width;
    const std::uint64_t affordable = per_worker == 0 ? 0 : crew_budget / per_worker;
    const int workers = static_cast<int>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(std::max(0, threads - 1)), affordable));
    const int wanted = 8 + lines_ahead * workers;
    return {workers, std::max(min_ring_lines, std::min(wanted, lines))};
}

SweepCrew::SweepCrew(const KernelPlan& plan, const LineSource& in, const OutputRing& rows,
                     const PaddedRows& sink, int lines, int workers, bool writer, CrewTuning tuning)
    : plan_(plan),
      in_(in),
      rows_(rows),
      sink_(sink),
      lines_(lines),
      tuning_(tuning),
      done_(static_cast<std::size_t>(rows.held()), -1),
      spreads_(done_.size()),
      space_(plan) {
    try {
        if (writer) threads_.emplace_back([this] { write(); });
        writer_ = writer;
        for (int w = 0; w < workers; ++w) threads_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
        // Fewer threads than asked for: the caller does what they would have done.
    } catch (const std::bad_alloc&) {
    }
}

SweepCrew::~SweepCrew() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : threads_) t.join();
}

RowSpread SweepCrew::need(int k) {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
        if (error_) std::rethrow_exception(error_);
        if (done_[slot(k)] == k) return spreads_[slot(k)];
        if (next_claim_ < lines_ && free_for(next_claim_)) {
            const Claim claimed = claim();
            hold.unlock();
            for (int row = claimed.first; row < claimed.end; ++row) compute(in_, space_, row);
            hold.lock();
            continue;
        }
        if (next_claim_ <= k && !lines_wanted_) {
            lines_wanted_ = true;  // the writer frees lines at once, whatever its batch
            changed_.notify_all();
        }
        changed_.wait(hold);
    }
}

void SweepCrew::hand_over(int r) {
    if (!writer_) {
        sink_(r, rows_[r]);
        std::lock_guard<std::mutex> hold(mutex_);
        rows_written_ = r + 1;
        return;
    }
    {
        std::lock_guard<std::mutex> hold(mutex_);
        rows_final_ = r + 1;
    }
    if (r % tuning_.rows_per_wake == tuning_.rows_per_wake - 1 || r == lines_ - 1)
        changed_.notify_all();
}

void SweepCrew::finished(int k) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        finished_steps_ = k + 1;
    }
    if (k % tuning_.rows_per_wake == tuning_.rows_per_wake - 1) changed_.notify_all();
}

void SweepCrew::close() {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [&] { return rows_written_ == lines_ || error_; });
    if (error_) std::rethrow_exception(error_);
}

std::size_t SweepCrew::slot(int k) const { return static_cast<std::size_t>(k % rows_.held()); }

bool SweepCrew::free_for(int k) const {
    const int replaced = k - rows_.held();
    return replaced < finished_steps_ - rows_read_behind && replaced < rows_written_;
}

SweepCrew::Claim SweepCrew::claim() {
    const int first = next_claim_;
    int end = first + 1;
    while (end < lines_ && end - first < tuning_.rows_per_claim && free_for(end)) ++end;
    next_claim_ = end;
    return {first, end};
}

void SweepCrew::compute(const LineSource& in, KernelSpace& space, int k) {
    // Lines before the row's footprint are done with: rows come in increasing order.
    in.forget(footprint(k, plan_.f.lfacteur, space.lw.data()).start);
    const RowSpread spread = kernel_row(plan_, space, in, rows_[k], k);
    std::lock_guard<std::mutex> hold(mutex_);
    spreads_[slot(k)] = spread;
    done_[slot(k)] = k;
}

// A thread's work; its failure stops the others and is raised in the caller.
template <typename Work>
void SweepCrew::guarded(Work work) {
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

void SweepCrew::work() {
    guarded([this] {
        const LineSource own = in_.another();
        KernelSpace space(plan_);
        for (;;) {
            std::unique_lock<std::mutex> hold(mutex_);
            changed_.wait(hold,
                          [&] { return stop_ || next_claim_ >= lines_ || free_for(next_claim_); });
            if (stop_ || next_claim_ >= lines_) return;
            const Claim claimed = claim();
            hold.unlock();
            for (int row = claimed.first; row < claimed.end; ++row) compute(own, space, row);
            changed_.notify_all();
        }
    });
}

void SweepCrew::write() {
    guarded([this] {
        StageClock sink_clock("sink");
        for (;;) {
            std::unique_lock<std::mutex> hold(mutex_);
            changed_.wait(hold, [&] {
                const int waiting = rows_final_ - rows_written_;
                return stop_ || waiting >= tuning_.rows_per_wake ||
                       (waiting > 0 && (lines_wanted_ || rows_final_ == lines_));
            });
            if (stop_) return;
            const int from = rows_written_, to = rows_final_;
            lines_wanted_ = false;
            hold.unlock();
            sink_clock.time([&] {
                for (int r = from; r < to; ++r) sink_(r, rows_[r]);
            });
            hold.lock();
            rows_written_ = to;
            hold.unlock();
            changed_.notify_all();
        }
    });
}
