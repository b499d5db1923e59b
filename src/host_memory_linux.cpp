// Reads what the host can give: memory from /proc/meminfo, the control-group v2 limit
// and the process's resource limits; cores from the process's affinity.
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <fstream>

#include "host_memory.h"

namespace {

std::uint64_t meminfo_available() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit)
        if (key == "MemAvailable:") return kib * 1024;
    return UINT64_MAX;
}

std::uint64_t read_number(const char* path) {
    std::ifstream file(path);
    std::string text;
    if (!(file >> text) || text == "max") return UINT64_MAX;
    try {
        return std::stoull(text);
    } catch (...) {
        return UINT64_MAX;
    }
}

std::uint64_t cgroup_room() {
    const std::uint64_t limit = read_number("/sys/fs/cgroup/memory.max");
    if (limit == UINT64_MAX) return UINT64_MAX;
    const std::uint64_t used = read_number("/sys/fs/cgroup/memory.current");
    return used == UINT64_MAX || used >= limit ? 0 : limit - used;
}

std::uint64_t limit_room(int resource) {
    struct rlimit limit;
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    return limit.rlim_cur;
}

}  // namespace

int usable_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return std::max(1, CPU_COUNT(&set));
}

std::uint64_t memory_available() {
    std::uint64_t room = meminfo_available();
    for (std::uint64_t other :
         {cgroup_room(), limit_room(RLIMIT_AS), limit_room(RLIMIT_DATA), memory_ceiling})
        if (other < room) room = other;
    return room;
}
