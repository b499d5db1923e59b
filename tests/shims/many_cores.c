// A test shim preloaded into the program (LD_PRELOAD): sched_getaffinity reports the first
// DEM_VARNEL_CORES processors as the process's, so that a test on a small machine sees
// what a run does on many cores.
#define _GNU_SOURCE
#include <sched.h>
#include <stdlib.h>

int sched_getaffinity(pid_t pid, size_t size, cpu_set_t* set) {
    (void)pid;
    const char* text = getenv("DEM_VARNEL_CORES");
    const int cores = text != NULL ? atoi(text) : 1;
    CPU_ZERO_S(size, set);
    for (int cpu = 0; cpu < cores && (size_t)cpu < 8 * size; ++cpu) CPU_SET_S(cpu, size, set);
    return 0;
}
