// Turns failures and interrupting signals into a message on standard error, the
// removal of the run's temporary files and exit status 1.
#include "failure.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <unistd.h>

#include "answers.h"
#include "host_files.h"
#include "host_memory.h"
#include "run_state.h"

void fail(const std::string& message) { throw RunFailure{message}; }

namespace {
double grid_bytes(long long NbCol, long long NbLig, std::size_t cell_bytes) {
    return static_cast<double>(NbCol) * static_cast<double>(NbLig) * static_cast<double>(cell_bytes);
}
}  // namespace

void out_of_memory(const char* what, long long NbCol, long long NbLig, std::size_t cell_bytes) {
    fail("out of memory: the " + std::string(what) + " grid of " + std::to_string(NbLig) + " lines and " +
         std::to_string(NbCol) + " columns needs " +
         mebibytes(static_cast<std::uint64_t>(grid_bytes(NbCol, NbLig, cell_bytes))));
}

void require_memory(const char* what, long long NbCol, long long NbLig, std::size_t cell_bytes,
                    std::size_t line_bytes) {
    const double needed = grid_bytes(NbCol, NbLig, cell_bytes) + grid_bytes(1, NbLig, line_bytes);
    const std::uint64_t room = memory_available();
    if (needed > static_cast<double>(room)) {
        const SizeTexts sizes = distinct_sizes(static_cast<std::uint64_t>(needed), room);
        fail("out of memory: the " + std::string(what) + " grid of " + std::to_string(NbLig) + " lines and " +
             std::to_string(NbCol) + " columns needs " + sizes.first + ", more than the " + sizes.second +
             " this machine can give");
    }
}

namespace {

const char* signal_name(int sig) {
    switch (sig) {
        case SIGINT: return "SIGINT";
        case SIGQUIT: return "SIGQUIT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "SIGPIPE";
    }
}

// Only async-signal-safe calls: the terminal is given back, the temporary files
// unlinked, one line written, and the process ends at once.
extern "C" void on_interrupt(int sig) {
    restore_terminal();
    remove_temporary_files();
    char line[96] = "dem_varnel: interrupted by ";
    std::strcat(line, signal_name(sig));
    std::strcat(line, "; temporary files removed\n");
    ssize_t ignored = write(STDERR_FILENO, line, std::strlen(line));
    (void)ignored;
    _exit(1);
}

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (int sig : interrupting_signals) sigaddset(&action.sa_mask, sig);
    for (int sig : interrupting_signals) sigaction(sig, &action, nullptr);
    // A file grown beyond the size limit is a write error to report, not a crash.
    signal(SIGXFSZ, SIG_IGN);
}

}  // namespace

int run_guarded(void (*phases)()) {
    install_signal_handlers();
    try {
        phases();
        close_streams();
        return 0;
    } catch (const RunFailure& failure) {
        if (!failure.message.empty()) report(failure.message);
    } catch (const std::bad_alloc&) {
        report("out of memory");
    }
    remove_temporary_files();
    close_streams();
    return 1;
}
