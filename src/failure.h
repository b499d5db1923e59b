// Failures: every error of a run is raised with fail() and ends up in run_guarded(),
// the one place that prints it, removes the run's temporary files and gives status 1.
// Interrupting signals take the same way out from a signal handler.
#pragma once

#include <cstddef>
#include <string>

struct RunFailure {
    std::string message;  // empty when the failure has already been reported
};

[[noreturn]] void fail(const std::string& message);

// The message of a grid that cannot be had: its size and the memory it needs.
[[noreturn]] void out_of_memory(const char* what, long long NbCol, long long NbLig,
                                std::size_t cell_bytes);

// Fails with the out-of-memory message when `NbCol` x `NbLig` cells of `cell_bytes`,
// and `line_bytes` more for each line (its row pointer and heap block), are more than
// the machine can give now; checked before taking the memory, so that an impossible run
// ends at once instead of being killed or swapping.
void require_memory(const char* what, long long NbCol, long long NbLig, std::size_t cell_bytes,
                    std::size_t line_bytes = sizeof(void*));

template <typename T>
T** checked_grid(T** grid, int NbCol, int NbLig, const char* what) {
    if (grid == nullptr) out_of_memory(what, NbCol, NbLig, sizeof(T));
    return grid;
}

// Runs the phases of a program; returns 0 when they complete and 1 after a failure,
// which has then been reported on standard error with its temporary files removed.
int run_guarded(void (*phases)());
