// Failures: every error of a run is raised with fail() and carries its message to the
// one place that reports it and ends the run (run_guard).
#pragma once

#include <string>

struct RunFailure {
    std::string message;  // empty when the failure has already been reported
};

[[noreturn]] void fail(const std::string& message);
