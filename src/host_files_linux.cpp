// Host paths and the system calls beneath the run's files on Linux: exclusive creation,
// renames, a folder's lock (flock on a descriptor of the folder itself, so that no lock
// file is left) and its flush, and the signals held while files are put in place
// (host_files_windows.cpp is the Windows body; host_files.cpp the policy both share).
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_files.h"
#include "host_files_system.h"

namespace {

const std::string logical_root = base_directory;
constexpr std::size_t max_path = 4096;

// The interrupting signals as they were before the installation held them. A mask is
// a thread's own, and so are these.
thread_local sigset_t mask_before_installation;
// Set while a signal that came during an installation is delivered after it, every file
// in place: its handler then says so.
thread_local std::atomic<bool> installed_while_held{false};

}  // namespace

const int interrupting_signals[5] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE};

std::string image_root() {
    std::string root;
    const char* configured = std::getenv("DEM_VARNEL_ROOT");
    const char* home = std::getenv("HOME");
    if (configured != nullptr && *configured != '\0')
        root = configured;
    else if (home != nullptr && *home != '\0')
        root = std::string(home) + "/images";
    else
        root = "images";
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

std::string host_path(const std::string& logical) {
    std::string rest = logical;
    std::string path;
    if (rest.compare(0, logical_root.size(), logical_root) == 0) {
        rest.erase(0, logical_root.size());
        path = image_root() + "/";
    }
    for (char& c : rest)
        if (c == '\\') c = '/';
    return path + rest;
}

std::string system_error() { return std::strerror(errno); }

void start_writeback(std::FILE* stream) {
    if (std::fflush(stream) != 0) return;  // the error stays on the stream for close_pending
#ifdef __linux__
    sync_file_range(fileno(stream), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

void start_file_writeback(const std::string& path) {
#ifdef __linux__
    // Not waiting for a writer, should the name have become a FIFO.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    close(fd);
#else
    (void)path;
#endif
}

bool sync_file_to_device(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
    const int error = errno;
    close(fd);
    errno = error;
    return synced;
}

bool sync_to_device(std::FILE* stream) {
    // A device that cannot be synced (a pipe, a read-only file system) has nothing to wait for.
    return fsync(fileno(stream)) == 0 || errno == EINVAL || errno == EROFS;
}

std::FILE* create_anonymous_beside(const std::string& logical) {
    const std::string folder = host::directory_of(host::follow_links(host_path(logical)));
    int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // No unnamed files on this file system: a named one, unlinked at once.
        std::string name = folder + "/.dem_varnel-XXXXXX";
        fd = mkostemp(&name[0], O_CLOEXEC);
        if (fd >= 0) unlink(name.c_str());
    }
    if (fd < 0) return nullptr;
    std::FILE* stream = fdopen(fd, "w+b");
    if (stream == nullptr) close(fd);
    return stream;
}

bool read_at(std::FILE* stream, void* buffer, std::size_t bytes, std::uint64_t offset,
             std::size_t& got) {
    got = 0;
    while (got < bytes) {
        const ssize_t n = pread(fileno(stream), static_cast<char*>(buffer) + got, bytes - got,
                                static_cast<off_t>(offset + got));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool can_seek(std::FILE* stream) { return lseek(fileno(stream), 0, SEEK_CUR) >= 0; }

bool seek_to(std::FILE* stream, std::uint64_t offset) {
    return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool special_file(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

bool path_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool directory_path(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {
FileStamp stamp_from(const struct stat& st) {
    FileStamp s;
    s.device = static_cast<std::uint64_t>(st.st_dev);
    s.inode = static_cast<std::uint64_t>(st.st_ino);
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.modified_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return s;
}
}  // namespace

bool stamp_of(std::FILE* stream, FileStamp& stamp) {
    struct stat st;
    if (fstat(fileno(stream), &st) != 0) return false;
    stamp = stamp_from(st);
    return true;
}

bool stamp_of(const std::string& path, FileStamp& stamp) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    stamp = stamp_from(st);
    return true;
}

bool is_directory(std::FILE* stream) {
    struct stat st;
    return fstat(fileno(stream), &st) == 0 && S_ISDIR(st.st_mode);
}

bool regular_file_size(std::FILE* stream, std::uint64_t& size) {
    struct stat st;
    if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool same_file(const std::string& logical_a, const std::string& logical_b) {
    // A symbolic link is followed even where it points to no file yet: writing through
    // it would create that file.
    const std::string path_a = host::follow_links(host_path(logical_a)),
                      path_b = host::follow_links(host_path(logical_b));
    struct stat a, b;
    if (stat(path_a.c_str(), &a) == 0 && stat(path_b.c_str(), &b) == 0)
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    return path_a == path_b;
}

std::uint64_t free_space(const std::string& path) {
    struct statvfs fs;
    if (statvfs(path.c_str(), &fs) != 0) return disk_ceiling;
    return std::min(disk_ceiling, static_cast<std::uint64_t>(fs.f_bavail) *
                                      static_cast<std::uint64_t>(fs.f_frsize));
}

namespace host {

std::string directory_of(const std::string& path) {
    const auto cut = path.rfind('/');
    if (cut == std::string::npos) return ".";
    return cut == 0 ? "/" : path.substr(0, cut);
}

std::string follow_links(const std::string& name) {
    std::string path = name;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string target(max_path, '\0');
        const ssize_t n = readlink(path.c_str(), &target[0], target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return path;
        target.resize(static_cast<std::size_t>(n));
        path = target[0] == '/' ? target : directory_of(path) + "/" + target;
    }
    return path;
}

std::vector<std::string> endings_of_names_starting(const std::string& start) {
    std::vector<std::string> endings;
    const auto cut = start.rfind('/');
    const std::string lead = cut == std::string::npos ? start : start.substr(cut + 1);
    DIR* folder = opendir(directory_of(start).c_str());
    if (folder == nullptr) return endings;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.size() >= lead.size() && name.compare(0, lead.size(), lead) == 0)
            endings.push_back(name.substr(lead.size()));
    }
    closedir(folder);
    return endings;
}

void remove_names_starting(const char* start) {
    // Split at the last '/' into a folder and the start of a name, in a buffer of our own.
    char folder[4096];
    const char* slash = std::strrchr(start, '/');
    const std::size_t folder_length =
        slash == nullptr ? 0 : static_cast<std::size_t>(slash - start);
    if (folder_length >= sizeof folder) return;
    if (slash == nullptr) {
        folder[0] = '.';
        folder[1] = '\0';
    } else if (folder_length == 0) {
        folder[0] = '/';
        folder[1] = '\0';
    } else {
        std::memcpy(folder, start, folder_length);
        folder[folder_length] = '\0';
    }
    const char* lead = slash == nullptr ? start : slash + 1;
    const std::size_t lead_length = std::strlen(lead);
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // The kernel's directory entries, read without the library's buffered stream.
    struct Entry {
        std::uint64_t inode;
        std::int64_t offset;
        unsigned short length;
        unsigned char type;
        char name[1];
    };
    alignas(8) char entries[4096];
    for (long got; (got = syscall(SYS_getdents64, fd, entries, sizeof entries)) > 0;)
        for (long at = 0; at < got;) {
            const Entry* entry = reinterpret_cast<const Entry*>(entries + at);
            if (std::strncmp(entry->name, lead, lead_length) == 0 &&
                (entry->name[lead_length] == '\0' || entry->name[lead_length] == '.'))
                unlinkat(fd, entry->name, 0);
            at += entry->length;
        }
    close(fd);
}

unsigned long process_id() { return static_cast<unsigned long>(getpid()); }

bool process_exists(unsigned long id) {
    if (id > static_cast<unsigned long>(INT_MAX)) return true;  // no pid_t: not for us to judge
    return kill(static_cast<pid_t>(id), 0) == 0 || errno != ESRCH;
}

Existing existing_kind(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return Existing::none;
    return S_ISDIR(st.st_mode) ? Existing::directory : Existing::file;
}

std::string why_not_replaceable(const std::string& path) {
    if (access(path.c_str(), W_OK) == 0) return "";
    return "the existing file is not writable (" + system_error() + ")";
}

std::FILE* create_exclusive(const std::string& path, const std::string& replaced, const char* mode,
                            Creation& outcome) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        const bool refused = errno == EACCES || errno == EPERM || errno == EROFS;
        outcome = errno == EEXIST ? Creation::name_taken
                  : refused       ? Creation::folder_not_writable
                                  : Creation::failed;
        return nullptr;
    }
    // A replaced file keeps its permissions, as it would if it were rewritten; where they
    // cannot be given, the default mode stands.
    struct stat existing;
    if (!replaced.empty() && stat(replaced.c_str(), &existing) == 0) {
        if (fchmod(fd, existing.st_mode & 07777) != 0) {
        }
        if (geteuid() == 0 && fchown(fd, existing.st_uid, existing.st_gid) != 0) {
        }
    }
    std::FILE* stream = fdopen(fd, mode);
    if (stream == nullptr) {
        const int error = errno;
        close(fd);
        unlink(path.c_str());
        errno = error;
        outcome = Creation::failed;
        return nullptr;
    }
    outcome = Creation::created;
    return stream;
}

Copy append_file(std::FILE* to, const std::string& from) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return Copy::read_failed;
    const auto failed = [in] {
        const int error = errno;
        close(in);
        errno = error;
        return Copy::write_failed;
    };
    const int out = fileno(to);
    bool in_kernel = true;  // copy_file_range where the file systems allow, plain copies otherwise
    std::vector<char> buffer;
    for (;;) {
        ssize_t n = -1;
        if (in_kernel) {
            n = copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
            if (n < 0 &&
                (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                in_kernel = false;
                continue;
            }
        } else {
            buffer.resize(std::size_t{1} << 20);
            n = read(in, buffer.data(), buffer.size());
            for (ssize_t done = 0; n > 0 && done < n;) {
                const ssize_t w =
                    write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
                if (w < 0 && errno != EINTR) return failed();
                if (w > 0) done += w;
            }
        }
        if (n == 0) break;
        if (n < 0 && errno != EINTR) return failed();
    }
    close(in);
    return Copy::done;
}

void remove_file(const char* path) { unlink(path); }

bool remove_if_present(const std::string& path) {
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool rename_replacing(const std::string& from, const std::string& to) {
    return rename(from.c_str(), to.c_str()) == 0;
}

// A rename that refuses to replace where the file system has one; elsewhere a hard link,
// which never replaces either, and the old name removed; where neither is to be had, a
// look and a plain rename.
bool rename_not_replacing(const std::string& from, const std::string& to, bool& taken) {
    taken = false;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) {
        taken = errno == EEXIST;
        return false;
    }
    if (link(from.c_str(), to.c_str()) == 0) return unlink(from.c_str()) == 0 || errno == ENOENT;
    if (errno == EEXIST) {
        taken = true;
        return false;
    }
    struct stat existing;
    if (lstat(to.c_str(), &existing) == 0) {
        taken = true;
        errno = EEXIST;
        return false;
    }
    return rename(from.c_str(), to.c_str()) == 0;
}

FolderLocks lock_folders(const std::vector<std::string>& folders) {
    struct Opened {
        int fd;
        struct stat identity;
        std::string folder;
    };
    std::vector<Opened> opened;
    for (const std::string& folder : folders) {
        // A folder that cannot be read cannot be opened to be locked or flushed: its
        // files are put in place all the same.
        Opened o{open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), {}, folder};
        if (o.fd < 0) continue;
        const auto same = [&o](const Opened& p) {
            return p.identity.st_dev == o.identity.st_dev && p.identity.st_ino == o.identity.st_ino;
        };
        if (fstat(o.fd, &o.identity) != 0 || std::any_of(opened.begin(), opened.end(), same)) {
            close(o.fd);
            continue;
        }
        opened.push_back(o);
    }
    // One order for every run, so that two never wait for each other in a circle.
    std::sort(opened.begin(), opened.end(), [](const Opened& a, const Opened& b) {
        return a.identity.st_dev != b.identity.st_dev ? a.identity.st_dev < b.identity.st_dev
                                                      : a.identity.st_ino < b.identity.st_ino;
    });
    FolderLocks locks;
    for (const Opened& o : opened) {
        // Where the file system has no locks (ENOLCK) the folder is still flushed.
        while (flock(o.fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        locks.handles.push_back(o.fd);
        locks.folders.push_back(o.folder);
    }
    return locks;
}

bool flush_folders(const FolderLocks& locks, std::string& failed) {
    for (std::size_t k = 0; k < locks.handles.size(); ++k) {
        // A file system that cannot flush a folder (EINVAL) has nothing to wait for.
        const int fd = static_cast<int>(locks.handles[k]);
        if (fsync(fd) != 0 && errno != EINVAL && errno != EROFS) {
            failed = locks.folders[k];
            return false;
        }
    }
    return true;
}

void unlock_folders(FolderLocks& locks) {
    for (const std::intptr_t fd : locks.handles) close(static_cast<int>(fd));  // and its lock
    locks = {};
}

void hold_interruptions() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : interrupting_signals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &mask_before_installation);
}

void release_interruptions(bool installed) {
    // A signal that came meanwhile is delivered as the mask is restored, before
    // sigprocmask returns, and finds the flag set.
    installed_while_held.store(installed);
    sigprocmask(SIG_SETMASK, &mask_before_installation, nullptr);
    installed_while_held.store(false);
}

bool settle_installation_for_interrupt() { return installed_while_held.load(); }

}  // namespace host
