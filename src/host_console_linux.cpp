// The console's key read without echo (termios) and the interrupting signals (POSIX
// signal handlers that do only async-signal-safe work); host_console_windows.cpp is the
// Windows body.
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "host_console.h"
#include "host_files.h"

namespace {

struct termios saved_terminal;
volatile sig_atomic_t terminal_fd = -1;  // the terminal whose settings were changed

// Safe in a signal handler.
void restore_terminal() {
    if (terminal_fd >= 0) {
        tcsetattr(terminal_fd, TCSANOW, &saved_terminal);
        terminal_fd = -1;
    }
}

const char* signal_name(int sig) {
    switch (sig) {
        case SIGINT:
            return "SIGINT";
        case SIGQUIT:
            return "SIGQUIT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "SIGPIPE";
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

}  // namespace

void wait_for_key(std::FILE* input) {
    const int fd = fileno(input);
    if (fd >= 0 && isatty(fd) && tcgetattr(fd, &saved_terminal) == 0) {
        struct termios raw = saved_terminal;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        terminal_fd = fd;
        tcsetattr(fd, TCSANOW, &raw);
        std::getc(input);
        restore_terminal();
    } else {
        std::getc(input);
    }
}

void remove_temporary_files_on_interrupt() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (int sig : interrupting_signals) sigaddset(&action.sa_mask, sig);
    for (int sig : interrupting_signals) sigaction(sig, &action, nullptr);
    // A file grown beyond the size limit is a write error to report, not a crash.
    signal(SIGXFSZ, SIG_IGN);
}
