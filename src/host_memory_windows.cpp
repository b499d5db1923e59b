// Reads what a Windows host can give: the physical memory it reports available and the
// room left under a job object's memory limits; cores from the process's affinity.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
// windows.h comes first: the other system headers build on its types.
// clang-format off
#include <windows.h>
// clang-format on

#include <psapi.h>

#include <bitset>

#include "host_memory.h"

namespace {

std::uint64_t physical_available() {
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return UINT64_MAX;
    return status.ullAvailPhys;
}

// The room under the limits of a job the process runs in (a container, a batch
// system): the commit it may still take.
std::uint64_t job_room() {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits, nullptr))
        return UINT64_MAX;
    const DWORD flags = limits.BasicLimitInformation.LimitFlags;
    std::uint64_t limit = UINT64_MAX;
    if (flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) limit = limits.ProcessMemoryLimit;
    if ((flags & JOB_OBJECT_LIMIT_JOB_MEMORY) && limits.JobMemoryLimit < limit)
        limit = limits.JobMemoryLimit;
    if (limit == UINT64_MAX) return UINT64_MAX;
    PROCESS_MEMORY_COUNTERS_EX used{};
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(),
                                 reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&used), sizeof used))
        return limit;
    return used.PrivateUsage >= limit ? 0 : limit - used.PrivateUsage;
}

}  // namespace

int usable_cores() {
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
    const int cores = static_cast<int>(std::bitset<8 * sizeof process>(process).count());
    return cores > 0 ? cores : 1;
}

std::uint64_t memory_available() {
    std::uint64_t room = physical_available();
    for (std::uint64_t other : {job_room(), memory_ceiling})
        if (other < room) room = other;
    return room;
}
