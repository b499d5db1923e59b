// What the host files of every platform share: the base directory of the names, how a
// name is shown, the bound on the free space that tests and fuzzers lower, and the
// closing of a file being written, around the host's flush to the device.
#include "host_files.h"

#include <cerrno>

#include "failure.h"

const char* const base_directory = "c:\\images\\";

std::uint64_t disk_ceiling = UINT64_MAX;

std::string shown_name(const std::string& logical) {
    const std::string host = host_path(logical);
    return host == logical ? logical : logical + " (" + host + ")";
}

void close_pending(PendingFile& file, std::FILE*& stream) {
    if (stream == nullptr) return;
    std::FILE* s = stream;
    stream = nullptr;
    bool ok = std::fflush(s) == 0 && !std::ferror(s);
    int error = errno;
    if (ok && !sync_to_device(s)) {
        ok = false;
        error = errno;
    }
    if (std::fclose(s) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        errno = error;
        fail("cannot write " + shown_name(file.logical) + ": " + system_error());
    }
}
