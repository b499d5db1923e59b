// Support shared by the fuzz targets, on top of the test support they share with the
// GoogleTest suite (tests/support/in_process_run.h: run state, answers, console, root):
// the ceilings a run works under, a measure of the heap it takes, and the checks that
// turn a silent fault into a crash the fuzzer can see. Every target also builds without
// libFuzzer, against regression_main.cpp, so its findings run as ordinary tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dem_varnel/run_files.h"

namespace fuzz {

// The memory_ceiling every target runs under: large enough for the seed grids and
// their regridded results, small enough that a claimed size of millions of cells is
// refused at once rather than allocated and scanned.
constexpr std::uint64_t ceiling_bytes = 16u << 20;

// The disk_ceiling: what a run may write. Under the fuzzer's instrumentation and the
// sanitizers the sweep takes about 1 us a cell and 12 us a line, so a 16 MiB output (a
// 4000000 x 2 raster) took 50 s; 256 KiB of output, at most 131072 lines, ends within
// about 1.5 s, far inside libFuzzer's timeout, and larger outputs are refused by the
// dialogue as if the disk were full.
constexpr std::uint64_t output_ceiling_bytes = 256u << 10;

// Once per process: the console dropped (unless DEM_VARNEL_FUZZ_VERBOSE is set), the
// heap measure installed, memory_ceiling and disk_ceiling lowered, no answers.
void init_process();

// A fresh directory under $TMPDIR that stands for "c:\images\" (DEM_VARNEL_ROOT),
// removed with its contents when the process exits normally.
const std::string& make_root(const char* tag);

void make_dir(const std::string& path);
void write_file(const std::string& path, const void* data, std::size_t size);
void write_file(const std::string& path, const std::string& text);
bool read_file(const std::string& path, std::string& bytes);

// Runs one stretch of the program under failure_of(), as run_guarded() would: true when
// it completes, false after a failure, whose message is then reported on the (dropped)
// console and left in `message` when given. A stretch whose heap grows beyond
// memory_ceiling by more than the program's small fixed needs is a finding: it took
// memory without asking memory_available(), or more than it asked.
bool run_phases(const std::function<void()>& phases, std::string* message = nullptr);

// Every line of the input as the sweep reads it (line i, its cells in metres), from one
// source in order: input_elevation() makes a source for each cell, which for an ASCII
// grid parses the text again from its start (a grid read back took 350 s that way).
void for_each_input_line(const RunFiles& files,
                         const std::function<void(int line, const double* cells)>& visit);

// Ends the process with a message on the real standard error: a fault the sanitizers
// cannot see (a broken invariant) becomes a crash with a reproducer.
[[noreturn]] void finding(const std::string& what);

// A small stable hash of the input, used to choose the variations a target runs
// without taking bytes away from the format being fuzzed.
std::uint64_t hash_bytes(const std::uint8_t* data, std::size_t size);

// Every regular file under `dir`, as paths relative to it.
std::vector<std::string> files_under(const std::string& dir);

// The files save() wrote, checked against the output size and the input range
// [lowest, highest] that bounds every output cell (the clamp and the frame):
// a raw raster of `lines` x `columns` cells of `width` bytes, whose stored values lie
// between the stored values of the bounds when these fit the cell width;
void check_raster_file(const std::string& path, int width, int lines, int columns, double lowest,
                       double highest, double factor);
// its descriptor: the size, the cell width and the output pixel size;
void check_descriptor_file(const std::string& path, int width, int lines, int columns,
                           double pixel_size);
// an ASCII grid: the header's size and exactly lines x columns values, each within
// the bounds to the six decimals written.
void check_ascii_file(const std::string& path, int lines, int columns, double lowest,
                      double highest);

}  // namespace fuzz
