// Running the program's phases inside a test or fuzz process: a fresh run state with
// answers from memory, the console captured or dropped, the phases under the program's
// own guard, and a private image root. Shared by the GoogleTest fixture
// (tests/in_process.h) and the fuzz harness, so it uses no GoogleTest and builds with
// both compilers.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace support {

// The run state reset and the answers read from `answers`.
void start_run(std::string_view answers = {});
// answer_in at a private copy of `answers`, never at standard input, so that nothing
// can wait on it; the previous answers are closed.
void answer_from(std::string_view answers);
// The run's temporary files removed, the run state reset, no answers left.
void end_run();

// The program writes through the stdout and stderr variables: pointing them elsewhere
// captures its console without touching descriptors 1 and 2, which the test framework,
// the fuzzer and the sanitizers keep.
struct Console {
    std::string out, err;
};
void capture_console();
Console captured_console();  // ends the capture
void silence_console();      // for the rest of the process
std::FILE* original_stderr();

// `phases` under failure_of() with the console captured.
struct PhaseRun {
    Console console;
    std::optional<std::string> failure;  // its message when the phases did not complete
};
PhaseRun run_captured(const std::function<void()>& phases);

// $TMPDIR, or /tmp when it is not set.
std::string temporary_directory();
// A fresh directory `<parent>/dem_varnel_<tag>_XXXXXX`.
std::string make_private_dir(const std::string& parent, const std::string& tag);
// `path` and everything under it, folders made unreadable included.
void remove_tree(const std::string& path);
// "c:\images\" stands for `path` from now on (DEM_VARNEL_ROOT).
void use_root(const std::string& path);

}  // namespace support
