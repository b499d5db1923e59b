// Support shared by the fuzz targets; see harness.h.
#include "harness.h"

#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <unordered_map>

#include "LIB/GRIDUTIL.h"
#include "answers.h"
#include "failure.h"
#include "host_files.h"
#include "host_memory.h"
#include "run_state.h"

static_assert(std::numeric_limits<long double>::digits == 64,
              "the program's arithmetic needs the 80-bit extended long double");

namespace fuzz {

namespace {

std::FILE* real_stderr = nullptr;
std::FILE* empty_answers = nullptr;
std::FILE* current_answers = nullptr;
std::vector<char> answer_bytes;
std::string root_path;

// --- Console sink: everything written is dropped without a system call. ---------------

ssize_t discard(void*, const char*, std::size_t size) { return static_cast<ssize_t>(size); }

std::FILE* sink() {
    cookie_io_functions_t io{};
    io.write = discard;
    std::FILE* s = fopencookie(nullptr, "w", io);
    if (s == nullptr) {
        std::perror("fopencookie");
        std::abort();
    }
    return s;
}

// --- Grid guard ------------------------------------------------------------------------

// Strict (the default): a grid that would take the grids held beyond memory_ceiling is
// a finding, since the program promises to refuse such sizes before taking them.
// DEM_VARNEL_FUZZ_MEMORY=refuse turns it into an exhausted heap (the maker returns
// null), to fuzz past a known fault.
bool refuse_instead = false;
std::unordered_map<void*, std::size_t>* block_sizes = nullptr;
std::uint64_t held = 0;

void* guarded_calloc(std::size_t count, std::size_t size) {
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * size;
    if (held + bytes > memory_ceiling) {
        if (refuse_instead) return nullptr;
        char text[300];
        std::snprintf(text, sizeof text,
                      "grid memory beyond memory_ceiling: a block of %llu bytes with %llu "
                      "already held exceeds the ceiling of %llu bytes (a grid was made "
                      "without asking memory_available(), or for more than was asked)",
                      static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(held),
                      static_cast<unsigned long long>(memory_ceiling));
        finding(text);
    }
    void* block = std::calloc(count, size);
    if (block != nullptr) {
        (*block_sizes)[block] = bytes;
        held += bytes;
    }
    return block;
}

void guarded_free(void* block) {
    if (block == nullptr) return;
    const auto it = block_sizes->find(block);
    if (it == block_sizes->end()) finding("GRIDUTIL released a block it never made");
    held -= it->second;
    block_sizes->erase(it);
    std::free(block);
}

void remove_root() {
    if (root_path.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(root_path, ignored);
}

}  // namespace

void init_process() {
    if (real_stderr != nullptr) return;
    real_stderr = stderr;
    // The program's own output goes through the stdout and stderr variables; libFuzzer
    // and the sanitizers keep the original stream and descriptor 2.
    if (std::getenv("DEM_VARNEL_FUZZ_VERBOSE") == nullptr) {
        stdout = sink();
        stderr = sink();
    }
    const char* mode = std::getenv("DEM_VARNEL_FUZZ_MEMORY");
    refuse_instead = mode != nullptr && std::strcmp(mode, "refuse") == 0;
    block_sizes = new std::unordered_map<void*, std::size_t>();
    gridutil_calloc = guarded_calloc;
    gridutil_free = guarded_free;
    memory_ceiling = ceiling_bytes;
    // What a run may make is bounded too: larger outputs are refused as if the disk
    // were full, so that no input makes the run (and the checks that read its files)
    // slow without being a fault.
    disk_ceiling = ceiling_bytes;
    empty_answers = std::fopen("/dev/null", "r");
    if (empty_answers == nullptr) {
        std::perror("/dev/null");
        std::abort();
    }
    answer_in = empty_answers;
}

const std::string& make_root(const char* tag) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/dem_varnel_fuzz_" + tag + "_XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        std::perror(pattern.c_str());
        std::abort();
    }
    root_path = name.data();
    setenv("DEM_VARNEL_ROOT", root_path.c_str(), 1);
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

void begin_answers(const std::uint8_t* data, std::size_t size) {
    end_answers();
    // fmemopen refuses an empty buffer: a single blank reads the same (no word).
    if (size == 0)
        answer_bytes.assign(1, ' ');
    else
        answer_bytes.assign(data, data + size);
    current_answers = fmemopen(answer_bytes.data(), answer_bytes.size(), "r");
    if (current_answers == nullptr) {
        std::perror("fmemopen");
        std::abort();
    }
    answer_in = current_answers;
}

void begin_answers(const std::string& text) {
    begin_answers(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void end_answers() {
    if (current_answers != nullptr) std::fclose(current_answers);
    current_answers = nullptr;
    answer_in = empty_answers;
}

bool run_phases(const std::function<void()>& phases, std::string* message) {
    try {
        phases();
        return true;
    } catch (const RunFailure& failure) {
        if (!failure.message.empty()) report(failure.message);
        if (message != nullptr) *message = failure.message;
    } catch (const std::bad_alloc&) {
        report("out of memory");
        if (message != nullptr) *message = "out of memory (bad_alloc)";
    }
    return false;
}

void finding(const std::string& what) {
    std::FILE* out = real_stderr != nullptr ? real_stderr : stderr;
    std::fprintf(out, "\n==== dem_varnel fuzz finding: %s\n", what.c_str());
    std::fflush(out);
    std::abort();
}

std::uint64_t grid_bytes_held() { return held; }

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
long peak_kib_at_start = 0;

long peak_kib() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::string show(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}
}  // namespace

void begin_input() { peak_kib_at_start = peak_kib(); }

void end_input() {
    if (refuse_instead) return;
    // Far above the ceiling: sanitizer quarantine and the fuzzer's own growth stay well
    // below this in one input.
    const long slack_kib = static_cast<long>(4 * memory_ceiling / 1024) + 64 * 1024;
    const long grown = peak_kib() - peak_kib_at_start;
    if (grown > slack_kib)
        finding("the resident memory grew by " + std::to_string(grown / 1024) +
                " MiB in one run under a memory_ceiling of " +
                std::to_string(memory_ceiling >> 20) +
                " MiB: memory was taken without asking memory_available(), or more than was asked");
}

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
