// What the host files of every platform share: the base directory of the names, how a
// name is shown, and the bound on the free space that tests and fuzzers lower.
#include "host_files.h"

const char* const base_directory = "c:\\images\\";

std::uint64_t disk_ceiling = UINT64_MAX;

std::string shown_name(const std::string& logical) {
    const std::string host = host_path(logical);
    return host == logical ? logical : logical + " (" + host + ")";
}
