// Phase timing for the benchmark: built with -DDEM_VARNEL_PHASE_TIMES=ON, each timed
// scope prints "dem_varnel: time <phase> <seconds> s" on standard error; otherwise the
// timer is empty and costs nothing.
#pragma once

#ifdef DEM_VARNEL_PHASE_TIMES
#include <chrono>
#include <cstdio>

class PhaseTimer {
public:
    explicit PhaseTimer(const char* phase)
        : phase_(phase), start_(std::chrono::steady_clock::now()) {}
    ~PhaseTimer() {
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start_;
        std::fflush(stdout);
        std::fprintf(stderr, "dem_varnel: time %s %.3f s\n", phase_, spent.count());
    }
    PhaseTimer(const PhaseTimer&) = delete;
    PhaseTimer& operator=(const PhaseTimer&) = delete;

private:
    const char* phase_;
    std::chrono::steady_clock::time_point start_;
};
// Time spent in one stage of a sweep, summed over its calls and printed at the end.
class StageClock {
public:
    explicit StageClock(const char* stage) : stage_(stage) {}
    ~StageClock() {
        std::fflush(stdout);
        std::fprintf(stderr, "dem_varnel: time %s %.3f s\n", stage_, spent_.count());
    }
    StageClock(const StageClock&) = delete;
    StageClock& operator=(const StageClock&) = delete;
    template <typename Work>
    void time(Work work) {
        const auto start = std::chrono::steady_clock::now();
        work();
        spent_ += std::chrono::steady_clock::now() - start;
    }

private:
    const char* stage_;
    std::chrono::duration<double> spent_{0};
};
#else
class PhaseTimer {
public:
    explicit PhaseTimer(const char*) {}
};

class StageClock {
public:
    explicit StageClock(const char*) {}
    template <typename Work>
    void time(Work work) {
        work();
    }
};
#endif
