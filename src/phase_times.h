// Phase timing for the benchmark: built with -DDEM_VARNEL_PHASE_TIMES=ON, each timed
// scope prints "dem_varnel: time <phase> <seconds> s" on standard error; otherwise the
// timer is empty and costs nothing.
#pragma once

#ifdef DEM_VARNEL_PHASE_TIMES
#include <chrono>
#include <cstdio>

class PhaseTimer {
public:
    explicit PhaseTimer(const char* phase) : phase_(phase), start_(std::chrono::steady_clock::now()) {}
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
#else
class PhaseTimer {
public:
    explicit PhaseTimer(const char*) {}
};
#endif
