// The crew of a sweep: its shape within the memory budget, and the caller, workers and
// writer around the rings of output lines (see sweep_crew.h for the contract).
#include "regrid/sweep_crew.h"

#include <algorithm>
#include <new>
#include <system_error>

static_assert(min_ring_lines >= 6, "the kernel's row must not take a line still needed");
static_assert(min_smoothed_lines >= 3, "the second smoothing reads three smoothed rows");

CrewShape crew_shape(int threads, int lines, std::uint64_t out_width, std::uint64_t in_bytes) {
    constexpr int lines_ahead = 32;     // kernel ring lines a worker runs ahead in
    constexpr int smoothed_ahead = 16;  // lines of first smoothings a worker fills
    const std::uint64_t per_worker = in_bytes + (lines_ahead + smoothed_ahead) * out_width;
    const std::uint64_t affordable = per_worker == 0 ? 0 : crew_budget / per_worker;
    const int workers = static_cast<int>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(std::max(0, threads - 1)), affordable));
    const int ring = 8 + lines_ahead * workers;
    const int smoothed = min_smoothed_lines + smoothed_ahead * workers;
    return {workers, std::max(min_ring_lines, std::min(ring, lines)),
            std::max(min_smoothed_lines, std::min(smoothed, lines))};
}

SweepCrew::SweepCrew(const KernelPlan& plan, const LineSource& in, const OutputRing& rows,
                     const Smoothings& smoothings, const PaddedRows& sink, int lines,
                     CrewShape shape, bool writer, CrewTuning tuning)
    : plan_(plan),
      in_(in),
      rows_(rows),
      smoothings_(smoothings),
      sink_(sink),
      lines_(lines),
      smoothed_lines_(shape.smoothed_lines),
      tuning_(tuning),
      kernel_rows_(static_cast<std::size_t>(rows.held()), -1),
      first_rows_(static_cast<std::size_t>(shape.smoothed_lines), -1),
      second_rows_(kernel_rows_.size(), -1),
      converted_rows_(static_cast<std::size_t>(std::max(0, sink.converted_rows)), -1),
      spreads_(kernel_rows_.size()),
      space_(plan) {
    try {
        if (writer) threads_.emplace_back([this] { write(); });
        writer_ = writer;
        for (int w = 0; w < shape.workers; ++w) threads_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
        // Fewer threads than asked for: the caller does what they would have done.
    } catch (const std::bad_alloc&) {
    }
}

SweepCrew::~SweepCrew() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stop_ = true;
        wake();
    }
    for (std::thread& t : threads_) t.join();
}

RowSpread SweepCrew::need(int k) {
    Lock hold(mutex_);
    for (;;) {
        if (error_) std::rethrow_exception(error_);
        if (kernel_rows_[slot(k)] == k) return spreads_[slot(k)];
        // Kernel row k first when it is free: the fillings wait for it.
        Claim c;
        if (next_kernel_ == k && kernel_free(k) && claim_kernel(c)) {
            run(hold, c, &in_, &space_, &kernel_clock_);
            continue;
        }
        if (!caller_step(hold)) wait_for_others(hold, &kernel_clock_);
    }
}

void SweepCrew::filled(int x) {
    std::lock_guard<std::mutex> hold(mutex_);
    filled_ = x + 1;
    if ((x + 1) % tuning_.rows_per_wake == 0 || x == lines_ - 1) wake();
}

void SweepCrew::close() {
    Lock hold(mutex_);
    for (;;) {
        if (error_) std::rethrow_exception(error_);
        if (rows_written_ == lines_) return;
        if (!caller_step(hold)) wait_for_others(hold, nullptr);
    }
}

std::size_t SweepCrew::slot(int k) const { return static_cast<std::size_t>(k % rows_.held()); }

bool SweepCrew::kernel_free(int k) const { return k - rows_.held() < rows_written_; }

// Rows r - 1 to r + 1 filled, and the line's last row, r - smoothed_lines, read no more:
// the second smoothings up to the row after it are done.
bool SweepCrew::first_free(int r) const {
    return r + 2 <= filled_ && r - smoothed_lines_ + 2 <= second_done_;
}

bool SweepCrew::second_free(int q) const { return first_done_ > std::min(q + 1, lines_ - 2); }

// Rows up to the last interior row whose second smoothing is done, from row 1 on, with
// row 0 and, at the end, row lines - 1.
int SweepCrew::rows_final() const {
    if (second_done_ > lines_ - 2) return lines_;
    return second_done_ >= 2 ? second_done_ : 0;
}

// The final rows the sink can take: converted, where it converts.
int SweepCrew::rows_ready() const {
    return converted_rows_.empty() ? rows_final() : std::min(rows_final(), converted_);
}

bool SweepCrew::convert_free() const {
    return !converted_rows_.empty() &&
           next_convert_ < std::min(rows_final(), rows_written_ + sink_.converted_rows);
}

// A row at a time: a conversion is worth sharing where rows are long, and a writer that
// claimed a batch would keep the others from it.
bool SweepCrew::claim_convert(Claim& c) {
    if (!convert_free()) return false;
    c = {Kind::convert, next_convert_, next_convert_ + 1};
    ++next_convert_;
    return true;
}

bool SweepCrew::work_free() const {
    const int last = lines_ - 2;
    return convert_free() || (next_second_ <= last && second_free(next_second_)) ||
           (next_first_ <= last && first_free(next_first_)) ||
           (next_kernel_ < lines_ && kernel_free(next_kernel_));
}

// The writer converts only the row it is to hand over next, where nobody has: the
// others convert ahead, and a writer that took every conversion it found would do the
// sink's whole work alone.
bool SweepCrew::writer_converts() const { return convert_free() && next_convert_ == rows_written_; }

bool SweepCrew::writer_free() const {
    const int ready = rows_ready(), waiting = ready - rows_written_;
    return writer_converts() || waiting >= tuning_.rows_per_wake ||
           (waiting > 0 && (lines_wanted_ || ready == lines_));
}

// After a change, wakes the threads that wait and now have something to do: the caller
// whenever it waits, workers when work is free, the writer when it may convert or has
// rows to hand over; everyone once the crew stops. Threads woken for nothing would cost
// system calls and the core of one that has work.
void SweepCrew::wake() {
    if (stop_) {
        caller_wakes_.notify_all();
        workers_wake_.notify_all();
        writer_wakes_.notify_all();
        return;
    }
    if (caller_waits_) caller_wakes_.notify_one();
    if (workers_waiting_ > 0 && work_free()) workers_wake_.notify_all();
    if (writer_waits_ && writer_free()) writer_wakes_.notify_one();
}

bool SweepCrew::claim_smoothing(Claim& c) {
    const int last = lines_ - 2;
    if (next_second_ <= last && second_free(next_second_)) {
        int end = next_second_ + 1;
        while (end <= last && end - next_second_ < tuning_.rows_per_claim && second_free(end))
            ++end;
        c = {Kind::second, next_second_, end};
        next_second_ = end;
        return true;
    }
    if (next_first_ <= last && first_free(next_first_)) {
        int end = next_first_ + 1;
        while (end <= last && end - next_first_ < tuning_.rows_per_claim && first_free(end)) ++end;
        c = {Kind::first, next_first_, end};
        next_first_ = end;
        return true;
    }
    return false;
}

bool SweepCrew::claim_kernel(Claim& c) {
    if (next_kernel_ >= lines_ || !kernel_free(next_kernel_)) return false;
    int end = next_kernel_ + 1;
    while (end < lines_ && end - next_kernel_ < tuning_.rows_per_claim && kernel_free(end)) ++end;
    c = {Kind::kernel, next_kernel_, end};
    next_kernel_ = end;
    return true;
}

// Runs a claim without the lock (timed on `clock` unless null), then marks its rows
// done. `in` and `space` are the thread's own, for kernel rows.
void SweepCrew::run(Lock& hold, const Claim& c, const LineSource* in, KernelSpace* space,
                    StageClock* clock) {
    hold.unlock();
    const auto work = [&] {
        for (int row = c.first; row < c.end; ++row) {
            switch (c.kind) {
                case Kind::kernel:
                    // Lines before the row's footprint are done with: rows come in order.
                    in->forget(footprint(row, plan_.f.lfacteur, space->lw.data()).start);
                    spreads_[slot(row)] = kernel_row(plan_, *space, *in, rows_[row], row);
                    break;
                case Kind::first:
                    smoothings_.first(row);
                    break;
                case Kind::second:
                    smoothings_.second(row);
                    break;
                case Kind::convert:
                    sink_.convert(row, rows_[row]);
                    break;
            }
        }
    };
    if (clock != nullptr)
        clock->time(work);
    else
        work();
    hold.lock();
    for (int row = c.first; row < c.end; ++row) {
        if (c.kind == Kind::kernel)
            kernel_rows_[slot(row)] = row;
        else if (c.kind == Kind::first)
            first_rows_[static_cast<std::size_t>(row % smoothed_lines_)] = row;
        else if (c.kind == Kind::second)
            second_rows_[slot(row)] = row;
        else
            converted_rows_[static_cast<std::size_t>(row % sink_.converted_rows)] = row;
    }
    while (first_done_ <= lines_ - 2 &&
           first_rows_[static_cast<std::size_t>(first_done_ % smoothed_lines_)] == first_done_)
        ++first_done_;
    while (second_done_ <= lines_ - 2 && second_rows_[slot(second_done_)] == second_done_)
        ++second_done_;
    while (converted_ < lines_ && !converted_rows_.empty() &&
           converted_rows_[static_cast<std::size_t>(converted_ % sink_.converted_rows)] ==
               converted_)
        ++converted_;
    wake();
}

// Hands the sink the rows ready for it, in order, without the lock.
void SweepCrew::put_ready(Lock& hold) {
    const int from = rows_written_, to = rows_ready();
    lines_wanted_ = false;
    hold.unlock();
    for (int r = from; r < to; ++r) sink_.put(r, rows_[r]);
    hold.lock();
    rows_written_ = to;
    wake();
}

// One piece of work the caller may take while it waits: the ready rows where there is
// no writer, a conversion, a smoothing, or kernel rows ahead. False when there is none.
bool SweepCrew::caller_step(Lock& hold) {
    if (!writer_ && rows_ready() > rows_written_) {
        put_ready(hold);
        return true;
    }
    Claim c;
    if (!claim(c)) return false;
    StageClock* clock = c.kind == Kind::kernel    ? &kernel_clock_
                        : c.kind == Kind::convert ? nullptr
                                                  : &smoothing_clock_;
    run(hold, c, &in_, &space_, clock);
    return true;
}

// Nothing for the caller to take: the final rows go to the writer at once, whatever its
// batch, and the caller waits for a change (timed on `clock` unless null).
void SweepCrew::wait_for_others(Lock& hold, StageClock* clock) {
    if (writer_ && !lines_wanted_ && rows_final() > rows_written_) {
        lines_wanted_ = true;
        wake();
    }
    caller_waits_ = true;
    if (clock != nullptr)
        clock->time([&] { caller_wakes_.wait(hold); });
    else
        caller_wakes_.wait(hold);
    caller_waits_ = false;
}

// A thread's work; its failure stops the others and is raised in the caller.
template <typename Work>
void SweepCrew::guarded(Work work) {
    try {
        work();
    } catch (...) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!error_) error_ = std::current_exception();
        stop_ = true;
        wake();
    }
}

// The oldest work first, which frees lines: conversions, smoothings, then kernel rows.
void SweepCrew::work() {
    guarded([this] {
        const LineSource own = in_.another();
        KernelSpace space(plan_);
        Lock hold(mutex_);
        for (;;) {
            if (stop_) return;
            Claim c;
            if (claim(c)) {
                run(hold, c, &own, &space, nullptr);
                continue;
            }
            if (next_kernel_ >= lines_ && next_first_ > lines_ - 2 && next_second_ > lines_ - 2 &&
                (converted_rows_.empty() || next_convert_ >= lines_))
                return;
            ++workers_waiting_;
            workers_wake_.wait(hold);
            --workers_waiting_;
        }
    });
}

// The conversion of the next row where nobody has claimed it, then the ready rows in
// batches, or at once when the caller waits for lines or the last rows are ready.
void SweepCrew::write() {
    guarded([this] {
        StageClock sink_clock("sink");
        Lock hold(mutex_);
        for (;;) {
            if (stop_) return;
            Claim c;
            if (writer_converts() && claim_convert(c)) {
                run(hold, c, nullptr, nullptr, &sink_clock);
                continue;
            }
            if (writer_free()) {
                const bool last = rows_ready() == lines_;
                sink_clock.time([&] { put_ready(hold); });
                if (last) return;
                continue;
            }
            writer_waits_ = true;
            writer_wakes_.wait(hold);
            writer_waits_ = false;
        }
    });
}
