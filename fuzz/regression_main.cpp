// Runs a fuzz target without libFuzzer, as an ordinary test: every file named on the
// command line, and every file in every directory named (sorted, hidden files and
// notes *.md skipped), goes to LLVMFuzzerTestOneInput in a child process of its own
// with a time limit. The run fails when any input crashes, aborts, hangs or (built with
// AddressSanitizer) leaks, and names each such input. The parent starts no thread, so
// each child starts from one; the program's sweep joins its threads before it returns.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LEAK_CHECK 1
#endif
#endif
#ifdef LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

constexpr unsigned seconds_per_input = 60;  // libFuzzer runs use -timeout=10

bool wanted(const std::filesystem::path& p) {
    const std::string name = p.filename().string();
    return !name.empty() && name[0] != '.' && p.extension() != ".md";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE-OR-DIRECTORY...\n", argv[0]);
        return 2;
    }
    std::vector<std::string> inputs;
    for (int k = 1; k < argc; ++k) {
        const std::filesystem::path p(argv[k]);
        std::error_code error;
        if (std::filesystem::is_directory(p, error)) {
            std::vector<std::string> found;
            for (const auto& entry : std::filesystem::directory_iterator(p))
                if (entry.is_regular_file() && wanted(entry.path()))
                    found.push_back(entry.path().string());
            std::sort(found.begin(), found.end());
            inputs.insert(inputs.end(), found.begin(), found.end());
        } else if (std::filesystem::is_regular_file(p, error)) {
            inputs.push_back(p.string());
        } else {
            std::fprintf(stderr, "%s: no such file or directory\n", argv[k]);
            return 2;
        }
    }

    // The target sends the program's console to a sink through the stdout variable:
    // this runner's own lines keep the original stream.
    std::FILE* const out = stdout;
    std::fflush(nullptr);
    LLVMFuzzerInitialize(&argc, &argv);
    int failed = 0;
    for (const std::string& path : inputs) {
        std::ifstream file(path, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                      std::istreambuf_iterator<char>());
        const pid_t child = fork();
        if (child < 0) {
            std::perror("fork");
            return 2;
        }
        if (child == 0) {
            alarm(seconds_per_input);
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                   bytes.size());
#ifdef LEAK_CHECK
            // _exit skips the exit-time check; what one input leaked is told here.
            if (__lsan_do_recoverable_leak_check() != 0) _exit(3);
#endif
            _exit(0);  // the parent owns the image root and removes it at its exit
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) continue;
        ++failed;
        if (WIFSIGNALED(status))
            std::fprintf(out, "FAILED %s: %s\n", path.c_str(),
                         WTERMSIG(status) == SIGALRM ? "no end within the time limit (hang)"
                                                     : strsignal(WTERMSIG(status)));
        else if (WEXITSTATUS(status) == 3)
            std::fprintf(out, "FAILED %s: memory leaked\n", path.c_str());
        else
            std::fprintf(out, "FAILED %s: exit status %d\n", path.c_str(), WEXITSTATUS(status));
        std::fflush(out);
    }
    std::fprintf(out, "%zu inputs, %d failed\n", inputs.size(), failed);
    return failed == 0 ? 0 : 1;
}
