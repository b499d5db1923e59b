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

void write_error(const char* text) {
    ssize_t ignored = write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}

// Only async-signal-safe calls: the terminal is given back, the temporary files
// unlinked, one line written, and the process ends at once. A signal that came while
// outputs were put in place is delivered once they all are, and the line says so.
extern "C" void on_interrupt(int sig) {
    restore_terminal();
    const char* const line_end = remove_temporary_files_for_interrupt();
    write_error("dem_varnel: interrupted by ");
    write_error(signal_name(sig));
    write_error(line_end);
    write_error("\n");
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
