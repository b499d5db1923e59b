// Host paths, the run's temporary files and their atomic installation on Linux
// (host_files_windows.cpp is the Windows body).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "failure.h"
#include "host_files.h"

namespace {

const std::string logical_root = base_directory;

// Temporary files live in fixed slots so that a signal handler can unlink them.
constexpr int max_temporaries = 8;
constexpr std::size_t max_path = 4096;
char temporary_names[max_temporaries][max_path];
volatile sig_atomic_t temporary_used[max_temporaries];

int register_temporary(const std::string& path) {
    if (path.size() >= max_path) fail("path too long: " + path);
    for (int slot = 0; slot < max_temporaries; ++slot) {
        if (!temporary_used[slot]) {
            std::memcpy(temporary_names[slot], path.c_str(), path.size() + 1);
            temporary_used[slot] = 1;
            return slot;
        }
    }
    fail("too many temporary files");
}

void forget_temporary(int& slot) {
    if (slot >= 0) temporary_used[slot] = 0;
    slot = -1;
}

std::string directory_of(const std::string& path) {
    const auto cut = path.rfind('/');
    if (cut == std::string::npos) return ".";
    return cut == 0 ? "/" : path.substr(0, cut);
}

// The file a name stands for: symbolic links are followed, so that the result
// replaces the file a link points to rather than the link.
std::string follow_links(std::string path) {
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

class SignalBlock {
public:
    SignalBlock() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : interrupting_signals) sigaddset(&set, sig);
        sigprocmask(SIG_BLOCK, &set, &saved_);
    }
    ~SignalBlock() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

private:
    sigset_t saved_;
};

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

std::FILE* create_pending(PendingFile& file, const std::string& logical, const char* mode) {
    file.logical = logical;
    file.final_path = follow_links(host_path(logical));
    const std::string cannot = "cannot create " + shown_name(logical) + ": ";

    struct stat existing;
    const bool exists = stat(file.final_path.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) fail(cannot + "it is a directory");
    if (exists && access(file.final_path.c_str(), W_OK) != 0)
        fail(cannot + "the existing file is not writable (" + system_error() + ")");

    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        file.temp_path =
            file.final_path + ".part-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        file.slot = register_temporary(file.temp_path);
        fd = open(file.temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int error = errno;
            forget_temporary(file.slot);
            if (error != EEXIST || attempt >= 100) {
                errno = error;
                if (error == EACCES || error == EPERM || error == EROFS)
                    fail(cannot + "its folder " + directory_of(file.final_path) +
                         " is not writable (" + system_error() + ")" +
                         (exists ? ": outputs are written beside their final name and renamed into "
                                   "place, so the "
                                   "folder must be writable even where the file is"
                                 : ""));
                fail(cannot + system_error());
            }
        }
    }
    // A replaced file keeps its permissions, as it would if it were rewritten.
    if (exists) {
        if (fchmod(fd, existing.st_mode & 07777) != 0) { /* the default mode stands */
        }
        if (geteuid() == 0 && fchown(fd, existing.st_uid, existing.st_gid) != 0) {
        }
    }
    std::FILE* stream = fdopen(fd, mode);
    if (stream == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
        fail(cannot + system_error());
    }
    return stream;
}

void start_writeback(std::FILE* stream) {
    if (std::fflush(stream) != 0) return;  // the error stays on the stream for close_pending
#ifdef __linux__
    sync_file_range(fileno(stream), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

bool sync_to_device(std::FILE* stream) {
    // A device that cannot be synced (a pipe, a read-only file system) has nothing to wait for.
    return fsync(fileno(stream)) == 0 || errno == EINVAL || errno == EROFS;
}

void discard_pending(PendingFile& file, std::FILE*& stream) {
    if (stream != nullptr) std::fclose(stream);
    stream = nullptr;
    if (file.slot >= 0) unlink(file.temp_path.c_str());
    forget_temporary(file.slot);
}

void append_pending(std::FILE* to, const PendingFile& to_file, PendingFile& from) {
    const auto failed = [&to_file](const char* what) {
        fail(std::string("cannot ") + what + " " + shown_name(to_file.logical) + ": " +
             system_error());
    };
    if (std::fflush(to) != 0) failed("write");
    const int in = open(from.temp_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) failed("read the values of");
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
                if (w < 0 && errno != EINTR) {
                    close(in);
                    failed("write");
                }
                if (w > 0) done += w;
            }
        }
        if (n == 0) break;
        if (n < 0 && errno != EINTR) {
            const int error = errno;
            close(in);
            errno = error;
            failed("write");
        }
    }
    close(in);
    std::FILE* none = nullptr;
    discard_pending(from, none);
}

std::FILE* create_anonymous_beside(const std::string& logical) {
    const std::string folder = directory_of(follow_links(host_path(logical)));
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

void install_pending(const std::vector<PendingFile*>& files) {
    SignalBlock block;
    for (std::size_t k = 1; k < files.size(); ++k) {
        if (unlink(files[k]->final_path.c_str()) != 0 && errno != ENOENT)
            fail("cannot replace " + shown_name(files[k]->logical) + ": " + system_error());
    }
    for (PendingFile* file : files) {
        if (rename(file->temp_path.c_str(), file->final_path.c_str()) != 0)
            fail("cannot put " + shown_name(file->logical) + " in place: " + system_error());
        forget_temporary(file->slot);
    }
}

bool same_file(const std::string& logical_a, const std::string& logical_b) {
    // A symbolic link is followed even where it points to no file yet: writing through
    // it would create that file.
    const std::string path_a = follow_links(host_path(logical_a)),
                      path_b = follow_links(host_path(logical_b));
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

void remove_temporary_files() {
    for (int slot = 0; slot < max_temporaries; ++slot) {
        if (temporary_used[slot]) {
            unlink(temporary_names[slot]);
            temporary_used[slot] = 0;
        }
    }
}
