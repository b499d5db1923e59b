// Test support: a temporary image root, and the real program run on it with piped
// answers, its standard output, standard error and exit status captured.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A fresh directory that stands for "c:\images\", removed with its contents at the end.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& relative) const { return path_ + "/" + relative; }
    void write(const std::string& relative, const std::string& bytes) const;
    std::string read(const std::string& relative) const;
    bool exists(const std::string& relative) const;
    // Every file under the root with its contents, by relative path.
    std::map<std::string, std::string> snapshot() const;
    // True when some file under the root has a temporary name.
    bool has_temporary() const;

private:
    std::string path_;
};

struct Session {
    std::string out, err;
    int status = -1;  // exit status; -1 if killed by a signal or timed out
    bool timed_out = false;
    long peak_kib = 0;  // the program's peak resident memory
};

// How the program is started. Permission tests need an ordinary user: when the tests
// run as root, `unprivileged` hands the root's tree to "nobody" and runs as them a copy
// of the program that nobody can reach, wherever the build tree lies.
struct Options {
    int seconds = 60;
    bool unprivileged = false;
    std::vector<std::string> arguments = {};    // after the program's name
    std::string standard_output = "";           // a file for it instead of the capture
    std::vector<std::string> environment = {};  // "NAME=VALUE" set for it
};

// Empty when unprivileged runs can be made, otherwise the reason they cannot.
std::string unprivileged_unavailable();

// Opens a test that needs unprivileged runs: skips it, with the reason, where there
// are none.
#define SKIP_UNLESS_UNPRIVILEGED_RUNS()                         \
    do {                                                        \
        const std::string why_not = unprivileged_unavailable(); \
        if (!why_not.empty()) GTEST_SKIP() << why_not;          \
    } while (0)

// Runs the program with DEM_VARNEL_ROOT at `root` and `answers` as its whole standard
// input (closed after them); gives up after `seconds`.
Session run_program(const TempRoot& root, const std::string& answers, Options options = {});

// The program started with a standard input pipe kept open, for signal tests.
struct Running {
    pid_t pid = -1;
    int input = -1;                  // write end of standard input
    std::string out_path, err_path;  // where its output goes
};
Running start_program(const TempRoot& root, const std::string& answers,
                      const Options& options = {});
// Waits (up to `seconds`) for the program to print `text` on standard output.
bool wait_for_output(const Running& run, const std::string& text, int seconds = 30);
Session finish_program(Running& run, int seconds = 60);

// Little-endian cells of a raw raster.
std::string raw16(const std::vector<std::uint16_t>& cells);
std::string raw32(const std::vector<std::int32_t>& cells);
std::vector<std::uint16_t> cells16(const std::string& bytes);
std::vector<std::int32_t> cells32(const std::string& bytes);
