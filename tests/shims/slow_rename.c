// A test shim preloaded into the program (LD_PRELOAD): every rename and renameat waits
// DEM_VARNEL_RENAME_DELAY_MS milliseconds first, so that a test can act while a run's
// outputs are being put in place.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <time.h>

static void delay(void) {
    const char* text = getenv("DEM_VARNEL_RENAME_DELAY_MS");
    const long ms = text != NULL ? atol(text) : 0;
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    // A signal handled meanwhile does not shorten the wait.
    while (ms > 0 && nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int rename(const char* from, const char* to) {
    int (*next)(const char*, const char*) =
        (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    const int saved = errno;
    delay();
    errno = saved;
    return next(from, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
    int (*next)(int, const char*, int, const char*) =
        (int (*)(int, const char*, int, const char*))dlsym(RTLD_NEXT, "renameat");
    const int saved = errno;
    delay();
    errno = saved;
    return next(from_dir, from, to_dir, to);
}
