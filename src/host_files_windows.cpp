// Host paths and the system calls beneath the run's files on Windows. A logical name is
// the host path as it stands, its root replaced only where DEM_VARNEL_ROOT is set. Its
// bytes come in the code page of the operator's answers and go to the system's file
// functions in the ANSI code page: a name that cannot make that trip is refused, so that
// no other file is ever opened in its place. Temporary files are opened with delete
// sharing, so that an interrupt can remove them while they are being written; a folder
// is locked by a named mutex made from its full path, so that no lock file is left.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
// windows.h comes first: the other system headers build on its types.
// clang-format off
#include <windows.h>
// clang-format on

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

#include "failure.h"
#include "host_files.h"
#include "host_files_system.h"

const int interrupting_signals[5] = {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT,
                                     CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT};

namespace {

const std::string logical_root = base_directory;

// --- Errors of the system's functions ---------------------------------------------------

// The last failure of a system function on this thread, told by system_error() as long
// as errno still holds the value it was given.
thread_local DWORD windows_error = 0;
thread_local int windows_errno = 0;

int errno_of(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        default:
            return EIO;
    }
}

void note_failure() {
    windows_error = GetLastError();
    windows_errno = errno = errno_of(windows_error);
}

HANDLE handle_of(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// --- Names ------------------------------------------------------------------------------

// The code page the answers are typed in: the console's, or the ANSI code page for
// answers from a file or a pipe.
UINT answer_code_page() {
    DWORD mode = 0;
    const bool console = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
    return console && GetConsoleCP() != 0 ? GetConsoleCP() : GetACP();
}

// `text` in code page `from` as the ANSI code page writes it; false when a character
// has no place there (best-fit substitutes, which could name another file, count as none).
bool to_ansi(const std::string& text, UINT from, std::string& ansi) {
    ansi = text;
    if (std::all_of(text.begin(), text.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return true;
    const int size = static_cast<int>(text.size());
    const int wide_size =
        MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (wide_size <= 0) return false;
    std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
    MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), size, &wide[0], wide_size);
    const UINT to = GetACP();
    BOOL lost = FALSE;
    const DWORD flags = to == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL* lost_flag = to == CP_UTF8 ? nullptr : &lost;  // UTF-8 holds every character
    const int ansi_size =
        WideCharToMultiByte(to, flags, wide.data(), wide_size, nullptr, 0, nullptr, lost_flag);
    if (ansi_size <= 0 || lost) return false;
    ansi.assign(static_cast<std::size_t>(ansi_size), '\0');
    WideCharToMultiByte(to, flags, wide.data(), wide_size, &ansi[0], ansi_size, nullptr, lost_flag);
    return !lost;
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Why a name below the root cannot stand for a file of its own on Windows, or nothing:
// a character file names cannot hold (after ':' the system would take the rest as a
// stream of another file), or a device's name, which the system opens in place of a file.
std::string windows_name_problem(const std::string& rest) {
    for (const char c : rest) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) return "Windows file names cannot hold control characters";
        if (std::strchr(":*?\"<>|", c) != nullptr)
            return std::string("Windows file names cannot hold '") + c + "'";
    }
    const auto cut = rest.find_last_of("\\/");
    std::string stem = rest.substr(cut == std::string::npos ? 0 : cut + 1);
    stem = stem.substr(0, stem.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    bool device = std::find(std::begin(devices), std::end(devices), stem) != std::end(devices);
    device = device || (stem.size() == 4 &&
                        (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
                        std::isdigit(static_cast<unsigned char>(stem[3])));
    return device ? stem + " is the name of a device on Windows" : "";
}

bool file_identity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    return known;
}

std::string full_path(const std::string& path) {
    char full[4 * MAX_PATH];
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return n == 0 || n >= sizeof full ? path : std::string(full, n);
}

// --- Installation and interruptions ------------------------------------------------------

// The console's control handler runs on a thread of its own while the run goes on: it
// takes `installing` before it removes anything, so that files being put in place are
// put in place whole before the run ends, and keeps it. `installations` counts those
// completed, so that the handler can tell whether one finished while it waited.
std::mutex installing;
std::atomic<unsigned> installations{0};

}  // namespace

std::string image_root() {
    const char* configured = std::getenv("DEM_VARNEL_ROOT");
    std::string root = configured != nullptr && *configured != '\0' ? configured : "c:\\images";
    std::replace(root.begin(), root.end(), '/', '\\');
    while (root.size() > 1 && root.back() == '\\' && root[root.size() - 2] != ':') root.pop_back();
    return root;
}

std::string host_path(const std::string& logical) {
    std::string rest = logical;
    std::string path;
    if (rest.compare(0, logical_root.size(), logical_root) == 0) {
        rest.erase(0, logical_root.size());
        path = image_root();
        if (!is_separator(path.back())) path += '\\';
    }
    const std::string problem = windows_name_problem(rest);
    if (!problem.empty())
        fail("cannot use the name " + logical + ": " + problem + "; choose another name");
    std::string ansi;
    const UINT from = answer_code_page();
    if (!to_ansi(rest, from, ansi))
        fail("cannot use the name " + logical + ": read in code page " + std::to_string(from) +
             ", it holds a character that file names in code page " + std::to_string(GetACP()) +
             " cannot hold; choose a name of plain letters and digits");
    return path + ansi;
}

std::string system_error() {
    const int error = errno;
    if (windows_error == 0 || error != windows_errno) return std::strerror(error);
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, windows_error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message =
        n > 0 ? std::string(text, n) : "Windows error " + std::to_string(windows_error);
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message;
}

// Windows has no write-back without waiting; the data leaves the library's buffer.
void start_writeback(std::FILE* stream) { std::fflush(stream); }
void start_file_writeback(const std::string&) {}

bool sync_to_device(std::FILE* stream) {
    if (FlushFileBuffers(handle_of(stream))) return true;
    note_failure();
    return false;
}

bool sync_file_to_device(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        note_failure();
        return false;
    }
    const bool flushed = FlushFileBuffers(file) != 0;
    if (!flushed) note_failure();
    CloseHandle(file);
    return flushed;
}

std::FILE* create_anonymous_beside(const std::string& logical) {
    const std::string folder = host::directory_of(host::follow_links(host_path(logical)));
    const std::string stem = folder + (is_separator(folder.back()) ? "" : "\\") + ".dem_varnel-" +
                             std::to_string(GetCurrentProcessId()) + "-";
    // Named while open (Windows has no file without a name), deleted by the system when
    // its handle closes, however the process ends.
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0; handle == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
        handle = CreateFileA(
            (stem + std::to_string(attempt)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
            CREATE_NEW,
            FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return nullptr;
    }
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, "w+b");
    if (stream == nullptr) _close(fd);
    return stream;
}

// Each read names its offset, so threads may read the same file at once. On Windows the
// read also moves the file's position, which no reader of these files uses afterwards.
bool read_at(std::FILE* stream, void* buffer, std::size_t bytes, std::uint64_t offset,
             std::size_t& got) {
    got = 0;
    const HANDLE file = handle_of(stream);
    while (got < bytes) {
        OVERLAPPED at{};
        const std::uint64_t where = offset + got;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        const DWORD want =
            static_cast<DWORD>(std::min<std::size_t>(bytes - got, std::size_t{1} << 30));
        DWORD n = 0;
        if (!ReadFile(file, static_cast<char*>(buffer) + got, want, &n, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            note_failure();
            return false;
        }
        if (n == 0) break;
        got += n;
    }
    return true;
}

bool can_seek(std::FILE* stream) { return GetFileType(handle_of(stream)) == FILE_TYPE_DISK; }

bool seek_to(std::FILE* stream, std::uint64_t offset) {
    return _fseeki64(stream, static_cast<__int64>(offset), SEEK_SET) == 0;
}

bool is_directory(std::FILE* stream) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(handle_of(stream), &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Devices are refused by their names (con, nul, com1...) before they are opened, and
// Windows has no FIFOs in its file system.
bool special_file(const std::string&) { return false; }

bool path_exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool directory_path(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {
FileStamp stamp_from(const BY_HANDLE_FILE_INFORMATION& info) {
    FileStamp s;
    s.device = info.dwVolumeSerialNumber;
    s.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    s.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    s.modified_ns = static_cast<std::int64_t>(
        ((static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
         info.ftLastWriteTime.dwLowDateTime) *
        100);
    return s;
}
}  // namespace

bool stamp_of(std::FILE* stream, FileStamp& stamp) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle_of(stream), &info)) return false;
    stamp = stamp_from(info);
    return true;
}

bool stamp_of(const std::string& path, FileStamp& stamp) {
    const HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool got = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    if (got) stamp = stamp_from(info);
    return got;
}

bool regular_file_size(std::FILE* stream, std::uint64_t& size) {
    const HANDLE file = handle_of(stream);
    LARGE_INTEGER bytes;
    if (GetFileType(file) != FILE_TYPE_DISK || is_directory(stream) || !GetFileSizeEx(file, &bytes))
        return false;
    size = static_cast<std::uint64_t>(bytes.QuadPart);
    return true;
}

bool same_file(const std::string& logical_a, const std::string& logical_b) {
    const std::string path_a = host::follow_links(host_path(logical_a)),
                      path_b = host::follow_links(host_path(logical_b));
    BY_HANDLE_FILE_INFORMATION a, b;
    if (file_identity(path_a, a) && file_identity(path_b, b))
        return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
               a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    return _stricmp(full_path(path_a).c_str(), full_path(path_b).c_str()) ==
           0;  // names ignore case here
}

std::uint64_t free_space(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    const bool folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA((folder ? path : host::directory_of(path)).c_str(), &available,
                             nullptr, nullptr))
        return disk_ceiling;
    return std::min<std::uint64_t>(disk_ceiling, available.QuadPart);
}

namespace host {

std::string directory_of(const std::string& path) {
    const auto cut = path.find_last_of("\\/");
    if (cut == std::string::npos)
        return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
    if (cut == 0 || (cut == 2 && path[1] == ':')) return path.substr(0, cut + 1);  // "\" or "c:\"
    return path.substr(0, cut);
}

// A symbolic link is a reparse point; the system names the file it leads to.
std::string follow_links(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return path;
    const HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return path;
    char target[4 * MAX_PATH];
    const DWORD n = GetFinalPathNameByHandleA(file, target, sizeof target,
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(file);
    if (n == 0 || n >= sizeof target) return path;
    std::string resolved(target, n);
    if (resolved.compare(0, 4, "\\\\?\\") == 0 && resolved.compare(4, 4, "UNC\\") != 0)
        resolved.erase(0, 4);
    return resolved;
}

std::vector<std::string> endings_of_names_starting(const std::string& start) {
    std::vector<std::string> endings;
    const auto cut = start.find_last_of("\\/:");
    const std::string lead = cut == std::string::npos ? start : start.substr(cut + 1);
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((start + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return endings;
    do {
        // The pattern also matches short names: the long name is checked again.
        const std::string name = found.cFileName;
        if (name.size() >= lead.size() && _strnicmp(name.c_str(), lead.c_str(), lead.size()) == 0)
            endings.push_back(name.substr(lead.size()));
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return endings;
}

// The console's handler runs on a thread of its own: the search may allocate.
void remove_names_starting(const char* start) {
    const std::string prefix = start;
    for (const std::string& ending : endings_of_names_starting(prefix))
        if (ending.empty() || ending[0] == '.') DeleteFileA((prefix + ending).c_str());
}

unsigned long process_id() { return GetCurrentProcessId(); }

bool process_exists(unsigned long id) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
    // A process that has ended lives on as long as someone holds a handle to it.
    DWORD code = 0;
    const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
    CloseHandle(process);
    return !ended;
}

Existing existing_kind(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Existing::none;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? Existing::directory : Existing::file;
}

std::string why_not_replaceable(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)
               ? "the existing file is read-only"
               : "";
}

std::FILE* create_exclusive(const std::string& path, const std::string&, const char* mode,
                            Creation& outcome) {
    const HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        note_failure();
        outcome = windows_error == ERROR_FILE_EXISTS || windows_error == ERROR_ALREADY_EXISTS
                      ? Creation::name_taken
                  : windows_error == ERROR_ACCESS_DENIED || windows_error == ERROR_WRITE_PROTECT
                      ? Creation::folder_not_writable
                      : Creation::failed;
        return nullptr;
    }
    outcome = Creation::failed;
    // "w" translates each "\n" written into CR LF, "wb" writes bytes as they are.
    const bool text = std::strchr(mode, 'b') == nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), text ? _O_TEXT : _O_BINARY);
    if (fd < 0) {
        const int error = errno;
        CloseHandle(handle);
        DeleteFileA(path.c_str());
        errno = error;
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, mode);
    if (stream == nullptr) {
        const int error = errno;
        _close(fd);
        DeleteFileA(path.c_str());
        errno = error;
        return nullptr;
    }
    outcome = Creation::created;
    return stream;
}

Copy append_file(std::FILE* to, const std::string& from) {
    const HANDLE in = CreateFileA(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in == INVALID_HANDLE_VALUE) {
        note_failure();
        return Copy::read_failed;
    }
    const auto failed = [in](Copy how) {
        note_failure();
        CloseHandle(in);
        return how;
    };
    // Bytes as they are, past the text translation of the stream: the values are text
    // already.
    const HANDLE out = handle_of(to);
    std::vector<char> buffer(std::size_t{1} << 20);
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr))
            return failed(Copy::read_failed);
        if (n == 0) break;
        for (DWORD done = 0; done < n;) {
            DWORD w = 0;
            if (!WriteFile(out, buffer.data() + done, n - done, &w, nullptr))
                return failed(Copy::write_failed);
            done += w;
        }
    }
    CloseHandle(in);
    return Copy::done;
}

void remove_file(const char* path) { DeleteFileA(path); }

bool remove_if_present(const std::string& path) {
    if (DeleteFileA(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    note_failure();
    return false;
}

bool rename_replacing(const std::string& from, const std::string& to) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    note_failure();
    return false;
}

bool rename_not_replacing(const std::string& from, const std::string& to, bool& taken) {
    taken = false;
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = GetLastError();
    taken = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
    note_failure();
    return false;
}

FolderLocks lock_folders(const std::vector<std::string>& folders) {
    // A folder's mutex is named after its full path, in lower case since names ignore it
    // here, hashed (FNV-1a) to fit the length of a name; another folder of the same hash
    // would only wait its turn.
    std::vector<std::string> names;
    for (const std::string& folder : folders) {
        std::string path = full_path(folder);
        std::replace(path.begin(), path.end(), '/', '\\');
        while (path.size() > 3 && path.back() == '\\') path.pop_back();
        CharLowerBuffA(&path[0], static_cast<DWORD>(path.size()));
        std::uint64_t hash = 14695981039346656037ull;
        for (const char c : path) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        char name[64];
        std::snprintf(name, sizeof name, "dem_varnel-folder-%016llx",
                      static_cast<unsigned long long>(hash));
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    // One order for every run, so that two never wait for each other in a circle.
    std::sort(names.begin(), names.end());
    FolderLocks locks;
    for (const std::string& name : names) {
        // Seen by every session where the system lets this user make it there, otherwise
        // by this session's runs.
        HANDLE mutex = CreateMutexA(nullptr, FALSE, ("Global\\" + name).c_str());
        if (mutex == nullptr) mutex = CreateMutexA(nullptr, FALSE, ("Local\\" + name).c_str());
        if (mutex == nullptr) continue;
        // A mutex its holder left by ending (WAIT_ABANDONED) is this run's all the same.
        const DWORD waited = WaitForSingleObject(mutex, INFINITE);
        if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
            CloseHandle(mutex);
            continue;
        }
        locks.handles.push_back(reinterpret_cast<std::intptr_t>(mutex));
        locks.folders.push_back(name);
    }
    return locks;
}

// The renames are made write-through (MOVEFILE_WRITE_THROUGH): nothing is left to flush.
bool flush_folders(const FolderLocks&, std::string&) { return true; }

void unlock_folders(FolderLocks& locks) {
    for (const std::intptr_t handle : locks.handles) {
        ReleaseMutex(reinterpret_cast<HANDLE>(handle));
        CloseHandle(reinterpret_cast<HANDLE>(handle));
    }
    locks = {};
}

void hold_interruptions() { installing.lock(); }

void release_interruptions(bool installed) {
    if (installed) ++installations;
    installing.unlock();
}

bool settle_installation_for_interrupt() {
    const unsigned before = installations.load();
    installing.lock();  // kept: the process ends with the handler
    return installations.load() != before;
}

}  // namespace host
