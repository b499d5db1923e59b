// Support shared by the fuzz targets; see harness.h.
#include "harness.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

#include "answers.h"
#include "dem_varnel/phases.h"
#include "dem_varnel/run_guard.h"
#include "dem_varnel/run_state.h"
#include "host_files.h"
#include "host_memory.h"
#include "in_process_run.h"
#include "padded_lines.h"

#if defined(__SANITIZE_ADDRESS__)
#define FUZZ_HEAP_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FUZZ_HEAP_HOOKS 1
#endif
#endif

#ifdef FUZZ_HEAP_HOOKS
// The sanitizer allocator's interface (GCC ships no header for it).
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*on_malloc)(const volatile void*, std::size_t),
                                              void (*on_free)(const volatile void*));
int __sanitizer_get_ownership(const volatile void* p);
std::size_t __sanitizer_get_allocated_size(const volatile void* p);
}
#endif

static_assert(std::numeric_limits<long double>::digits == 64,
              "the program's arithmetic needs the 80-bit extended long double");

namespace fuzz {

namespace {

std::string root_path;

void remove_root() {
    if (!root_path.empty()) support::remove_tree(root_path);
}

// --- The heap a stretch of the program takes ---------------------------------------------
//
// With AddressSanitizer, the bytes the program holds in blocks, counted by the
// allocator's hooks on every thread: freed blocks in quarantine, shadow memory and the
// allocator's caches are the sanitizer's, not the program's, and resident memory counts
// them all (it grew by 231 MiB in a run that the release build makes in 4.7 MB).
// Without the sanitizer, the resident memory's peak, which is then the program's own.
#ifdef FUZZ_HEAP_HOOKS
std::atomic<std::int64_t> heap_now{0};
std::atomic<std::int64_t> heap_peak{0};

void on_malloc(const volatile void*, std::size_t size) {
    const std::int64_t now =
        heap_now.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed) +
        static_cast<std::int64_t>(size);
    std::int64_t peak = heap_peak.load(std::memory_order_relaxed);
    while (now > peak && !heap_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}

// The hook runs before the block is released; a block that is not the allocator's (a
// double free) is left for the sanitizer to report.
void on_free(const volatile void* block) {
    if (block != nullptr && __sanitizer_get_ownership(block))
        heap_now.fetch_sub(static_cast<std::int64_t>(__sanitizer_get_allocated_size(block)),
                           std::memory_order_relaxed);
}

void install_measure() { __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free); }
std::int64_t measure_start() {
    const std::int64_t now = heap_now.load(std::memory_order_relaxed);
    heap_peak.store(now, std::memory_order_relaxed);
    return now;
}
std::int64_t measure_peak() { return heap_peak.load(std::memory_order_relaxed); }
const char* const measure_name = "heap";
// Beyond memory_ceiling: the readers' 1 MiB blocks, file buffers and texts.
constexpr std::int64_t measure_slack = 8 << 20;
#else
void install_measure() {}
std::int64_t resident_peak() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::int64_t>(usage.ru_maxrss) * 1024;
}
std::int64_t measure_start() { return resident_peak(); }
std::int64_t measure_peak() { return resident_peak(); }
const char* const measure_name = "resident memory";
// Beyond memory_ceiling: the threads' stacks and heap arenas, the code paged in.
constexpr std::int64_t measure_slack = 48 << 20;
#endif

}  // namespace

void init_process() {
    static bool done = false;
    if (done) return;
    done = true;
    // The program's own output goes through the stdout and stderr variables; libFuzzer
    // and the sanitizers keep the original stream and descriptor 2.
    if (std::getenv("DEM_VARNEL_FUZZ_VERBOSE") == nullptr) support::silence_console();
    install_measure();
    memory_ceiling = ceiling_bytes;
    disk_ceiling = output_ceiling_bytes;
    support::answer_from({});
}

const std::string& make_root(const char* tag) {
    root_path =
        support::make_private_dir(support::temporary_directory(), std::string("fuzz_") + tag);
    support::use_root(root_path);
    std::atexit(remove_root);
    return root_path;
}

void make_dir(const std::string& path) {
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        std::perror(path.c_str());
        std::abort();
    }
}

void write_file(const std::string& path, const void* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || (size > 0 && std::fwrite(data, 1, size, f) != size) ||
        std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}

void write_file(const std::string& path, const std::string& text) {
    write_file(path, text.data(), text.size());
}

bool read_file(const std::string& path, std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    bytes.clear();
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, n);
    std::fclose(f);
    return true;
}

bool run_phases(const std::function<void()>& phases, std::string* message) {
    const std::int64_t start = measure_start();
    const std::optional<std::string> failure = failure_of(phases);
    const std::int64_t grown = measure_peak() - start;
    if (grown > static_cast<std::int64_t>(memory_ceiling) + measure_slack)
        finding("the " + std::string(measure_name) + " grew by " + std::to_string(grown >> 20) +
                " MiB in one run under a memory_ceiling of " +
                std::to_string(memory_ceiling >> 20) +
                " MiB: memory was taken without asking memory_available(), or more than was asked");
    if (!failure) return true;
    if (!failure->empty()) report(*failure);
    if (message != nullptr) *message = *failure;
    return false;
}

void for_each_input_line(const RunFiles& files,
                         const std::function<void(int line, const double* cells)>& visit) {
    LineSource source = input_lines(files);
    for (int i = 0; i < nb_lig; ++i) {
        visit(i, source.line(i + margin_before) + margin_before);
        source.forget(i + margin_before + 1);
    }
}

void finding(const std::string& what) {
    std::FILE* out = support::original_stderr();
    std::fprintf(out, "\n==== dem_varnel fuzz finding: %s\n", what.c_str());
    std::fflush(out);
    std::abort();
}

std::uint64_t hash_bytes(const std::uint8_t* data, std::size_t size) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (std::size_t k = 0; k < size; ++k) {
        h ^= data[k];
        h *= 1099511628211ull;
    }
    return h;
}

std::vector<std::string> files_under(const std::string& dir) {
    std::vector<std::string> found;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (!it->is_directory(error))
            found.push_back(std::filesystem::relative(it->path(), dir, error).string());
    }
    return found;
}

namespace {
std::string show(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}
}  // namespace

void check_raster_file(const std::string& path, int width, int lines, int columns, double lowest,
                       double highest, double factor) {
    std::string bytes;
    if (!read_file(path, bytes)) finding("save() left no raster " + path);
    const unsigned long long expected = static_cast<unsigned long long>(lines) * columns * width;
    if (bytes.size() != expected)
        finding(path + " holds " + std::to_string(bytes.size()) + " bytes, not " +
                std::to_string(expected));
    // Stored values truncate toward zero, which keeps their order.
    const long double low = std::trunc(static_cast<long double>(lowest) * factor);
    const long double high = std::trunc(static_cast<long double>(highest) * factor);
    const bool fits =
        width == 2 ? low >= 0 && high <= 65535 : low >= -2147483648.0L && high <= 2147483647.0L;
    if (!fits) return;  // stored modulo the cell width: no order to check
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t k = 0; k + width <= bytes.size(); k += width) {
        long long v;
        if (width == 2)
            v = b[k] | (b[k + 1] << 8);
        else
            v = static_cast<std::int32_t>(static_cast<std::uint32_t>(b[k]) |
                                          (static_cast<std::uint32_t>(b[k + 1]) << 8) |
                                          (static_cast<std::uint32_t>(b[k + 2]) << 16) |
                                          (static_cast<std::uint32_t>(b[k + 3]) << 24));
        if (v < low || v > high)
            finding(path + ": cell " + std::to_string(k / width) + " holds " + std::to_string(v) +
                    ", outside the stored input range [" + show(static_cast<double>(low)) + ", " +
                    show(static_cast<double>(high)) + "]");
    }
}

void check_descriptor_file(const std::string& path, int width, int lines, int columns,
                           double pixel_size) {
    std::string text;
    if (!read_file(path, text)) finding("save() left no descriptor " + path);
    int v[6];
    if (std::sscanf(text.c_str(), "%d%d%d%d%d%d", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6)
        finding(path + " does not hold six integers: " + text);
    if (v[0] != lines || v[1] != columns || v[2] != width || v[5] != static_cast<int>(pixel_size))
        finding(path + " does not describe the raster written (" + std::to_string(lines) + " x " +
                std::to_string(columns) + "): " + text);
}

void check_ascii_file(const std::string& path, int lines, int columns, double lowest,
                      double highest) {
    std::string text;
    if (!read_file(path, text)) finding("save() left no ASCII grid " + path);
    int c = -1, l = -1, used = 0;
    double x, y, size, nodata_value;
    if (std::sscanf(text.c_str(),
                    "ncols %d nrows %d xllcorner %lf yllcorner %lf cellsize %lf nodata_value %lf%n",
                    &c, &l, &x, &y, &size, &nodata_value, &used) != 6 ||
        c != columns || l != lines)
        finding(path + " has a header that does not give the output size " + std::to_string(lines) +
                " x " + std::to_string(columns));
    const char* p = text.c_str() + used;
    const long long expected = static_cast<long long>(lines) * columns;
    long long count = 0;
    const double tolerance_low = 5.000001e-7 + std::fabs(lowest) * 1e-15;
    const double tolerance_high = 5.000001e-7 + std::fabs(highest) * 1e-15;
    for (;;) {
        char* end = nullptr;
        const double v = std::strtod(p, &end);
        if (end == p) break;
        p = end;
        if (!(v >= lowest - tolerance_low && v <= highest + tolerance_high))
            finding(path + ": value " + std::to_string(count) + " = " + show(v) +
                    " lies outside the input range [" + show(lowest) + ", " + show(highest) + "]");
        ++count;
    }
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
    if (*p != '\0' || count != expected)
        finding(path + " holds " + std::to_string(count) + " values, not " +
                std::to_string(expected) + (*p != '\0' ? ", then text that is not a number" : ""));
}

}  // namespace fuzz
