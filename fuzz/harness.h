// Support shared by the fuzz targets: a quiet console, a private image root, answers
// from a byte buffer, a guard on grid memory, and the checks that turn a silent fault
// into a crash the fuzzer can see. Every target also builds without libFuzzer, against
// regression_main.cpp, so its findings run as ordinary tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fuzz {

// The memory_ceiling every target runs under: large enough for the seed grids and
// their regridded results, small enough that a claimed size of millions of cells is
// refused at once rather than allocated and scanned.
constexpr std::uint64_t ceiling_bytes = 16u << 20;

// Once per process: console to a sink (unless DEM_VARNEL_FUZZ_VERBOSE is set), the
// grid guard installed, memory_ceiling and disk_ceiling lowered, answers from an empty
// stream.
void init_process();

// A fresh directory under $TMPDIR that stands for "c:\images\" (DEM_VARNEL_ROOT),
// removed with its contents when the process exits normally.
const std::string& make_root(const char* tag);

void make_dir(const std::string& path);
void write_file(const std::string& path, const void* data, std::size_t size);
void write_file(const std::string& path, const std::string& text);
bool read_file(const std::string& path, std::string& bytes);

// Points answer_in at a private copy of the bytes; end_answers() closes it and points
// answer_in at an empty stream, so that nothing can ever wait on standard input.
void begin_answers(const std::uint8_t* data, std::size_t size);
void begin_answers(const std::string& text);
void end_answers();

// Runs one stretch of the program the way run_guarded() would: true when it completes,
// false after a failure the program reported itself (RunFailure, bad_alloc), whose
// message is then left in `message` when given.
bool run_phases(const std::function<void()>& phases, std::string* message = nullptr);

// Ends the process with a message on the real standard error: a fault the sanitizers
// cannot see (a broken invariant) becomes a crash with a reproducer.
[[noreturn]] void finding(const std::string& what);

// Bytes of grids currently held (everything made through GRIDUTIL).
std::uint64_t grid_bytes_held();

// A small stable hash of the input, used to choose the variations a target runs
// without taking bytes away from the format being fuzzed.
std::uint64_t hash_bytes(const std::uint8_t* data, std::size_t size);

// Every regular file under `dir`, as paths relative to it.
std::vector<std::string> files_under(const std::string& dir);

// Around one input: in strict mode, a run whose resident memory grows far beyond
// memory_ceiling is a finding, whatever took the memory (grids mapped outside GRIDUTIL
// included).
void begin_input();
void end_input();

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
