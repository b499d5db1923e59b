// The Windows console's key read without echo (_getch) and the console events that end a
// run (Ctrl-C, Ctrl-Break, the console closed, logoff, shutdown). The system runs a
// control handler on a thread of its own while the run goes on, so the handler takes
// the temporary files under the same lock as their installation.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
// windows.h comes first: the other system headers build on its types.
// clang-format off
#include <windows.h>
// clang-format on

#include <conio.h>
#include <io.h>

#include <cstring>

#include "host_console.h"
#include "host_files.h"

namespace {

const char* event_name(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            return "Ctrl-C";
        case CTRL_BREAK_EVENT:
            return "Ctrl-Break";
        case CTRL_CLOSE_EVENT:
            return "the console being closed";
        case CTRL_LOGOFF_EVENT:
            return "the user logging off";
        default:
            return "the system shutting down";
    }
}

void write_error(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written,
              nullptr);
}

// The files are removed, one line written straight to the error handle (the C library's
// stream may be in use by the run's own thread), and the process ended at once, as
// _exit does on other hosts: no exit handlers run beside the interrupted thread. An event
// that comes while outputs are put in place waits until they all are, and the line
// says so.
BOOL WINAPI on_console_event(DWORD event) {
    const char* const line_end = remove_temporary_files_for_interrupt();
    write_error("dem_varnel: interrupted by ");
    write_error(event_name(event));
    write_error(line_end);
    write_error("\r\n");
    TerminateProcess(GetCurrentProcess(), 1);
    return TRUE;
}

bool is_console(std::FILE* input) {
    const int fd = _fileno(input);
    if (fd < 0) return false;
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &mode) != 0;
}

}  // namespace

void wait_for_key(std::FILE* input) {
    if (is_console(input))
        _getch();  // one key, without echo and without waiting for Enter
    else
        std::getc(input);
}

void remove_temporary_files_on_interrupt() { SetConsoleCtrlHandler(on_console_event, TRUE); }
