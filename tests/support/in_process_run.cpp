// Running the program's phases inside a test or fuzz process; see in_process_run.h.
#include "in_process_run.h"

#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "answers.h"
#include "dem_varnel/run_guard.h"
#include "dem_varnel/run_state.h"
#include "host_files.h"

namespace support {

namespace {

std::string answer_text;
std::FILE* answer_stream = nullptr;

std::FILE* const first_stdout = stdout;
std::FILE* const first_stderr = stderr;

char* out_bytes = nullptr;
char* err_bytes = nullptr;
std::size_t out_size = 0, err_size = 0;

ssize_t discard(void*, const char*, std::size_t size) { return static_cast<ssize_t>(size); }

[[noreturn]] void broken(const char* what) {
    std::perror(what);
    std::abort();
}

std::string taken(std::FILE* stream, char*& bytes, std::size_t& size) {
    std::fclose(stream);
    std::string text(bytes, size);
    std::free(bytes);
    bytes = nullptr;
    return text;
}

}  // namespace

void start_run(std::string_view answers) {
    reset_run_state();
    answer_from(answers);
}

void answer_from(std::string_view answers) {
    if (answer_stream != nullptr) std::fclose(answer_stream);
    // fmemopen refuses an empty buffer: a single blank reads the same (no word).
    answer_text = answers.empty() ? std::string(1, ' ') : std::string(answers);
    answer_stream = fmemopen(answer_text.data(), answer_text.size(), "r");
    if (answer_stream == nullptr) broken("fmemopen");
    answer_in = answer_stream;
}

void end_run() {
    remove_temporary_files();
    reset_run_state();
    answer_from({});
}

void capture_console() {
    stdout = open_memstream(&out_bytes, &out_size);
    stderr = open_memstream(&err_bytes, &err_size);
    if (stdout == nullptr || stderr == nullptr) broken("open_memstream");
}

Console captured_console() {
    Console console{taken(stdout, out_bytes, out_size), taken(stderr, err_bytes, err_size)};
    stdout = first_stdout;
    stderr = first_stderr;
    return console;
}

void silence_console() {
    cookie_io_functions_t io{};
    io.write = discard;
    stdout = fopencookie(nullptr, "w", io);
    stderr = fopencookie(nullptr, "w", io);
    if (stdout == nullptr || stderr == nullptr) broken("fopencookie");
}

std::FILE* original_stderr() { return first_stderr; }

PhaseRun run_captured(const std::function<void()>& phases) {
    capture_console();
    PhaseRun run;
    run.failure = failure_of(phases);
    run.console = captured_console();
    return run;
}

std::string temporary_directory() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

std::string make_private_dir(const std::string& parent, const std::string& tag) {
    std::string name = parent + "/dem_varnel_" + tag + "_XXXXXX";
    if (mkdtemp(name.data()) == nullptr)
        throw std::runtime_error("cannot make a folder " + name + ": " + std::strerror(errno));
    return name;
}

void remove_tree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR* dir = opendir(path.c_str())) {
            while (dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") remove_tree(path + "/" + name);
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void use_root(const std::string& path) { setenv("DEM_VARNEL_ROOT", path.c_str(), 1); }

}  // namespace support
