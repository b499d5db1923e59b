// Writes past the page cache on Linux: a second descriptor opened with O_DIRECT.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "host_direct.h"

bool direct_writes_allowed = true;

int open_direct(const std::string& path) {
    if (!direct_writes_allowed) return -1;
    return open(path.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
}

bool write_direct(int handle, const void* data, std::size_t bytes, std::uint64_t offset) {
    const char* from = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t n = pwrite(handle, from, bytes, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || static_cast<std::size_t>(n) % direct_block != 0) {
            // A partial block cannot be continued past the cache: the caller writes the
            // whole block again its own way.
            if (n >= 0) errno = EINVAL;
            return false;
        }
        from += n;
        bytes -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

void close_direct(int handle) {
    if (handle >= 0) close(handle);
}
