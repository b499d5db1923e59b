// The run's guard: what ends a run early (a failure, memory that cannot be had, an
// interrupting signal) becomes one message on standard error, the removal of the run's
// temporary files and exit status 1.
#pragma once

#include <functional>
#include <optional>
#include <string>

// Runs `phases` and catches what ends a run: its message (empty when it was reported
// already), or nothing when the phases complete.
std::optional<std::string> failure_of(const std::function<void()>& phases);

// Runs the phases of a program under the guard; returns 0 when they complete and 1
// after a failure or an interruption.
int run_guarded(const std::function<void()>& phases);
