// A test shim preloaded into the program (LD_PRELOAD): every rename, renameat and
// renameat2 waits DEM_VARNEL_RENAME_DELAY_MS milliseconds first, so that a test can act
// while a run's outputs are being put in place; and where DEM_VARNEL_RENAME_RACE names a
// file, the first renameat2 that succeeds is followed by that file's creation, as
// another process might make it.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

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

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
    int (*next)(int, const char*, int, const char*, unsigned) =
        (int (*)(int, const char*, int, const char*, unsigned))dlsym(RTLD_NEXT, "renameat2");
    const int saved = errno;
    delay();
    errno = saved;
    const int result = next(from_dir, from, to_dir, to, flags);
    static int done = 0;
    const char* race = getenv("DEM_VARNEL_RENAME_RACE");
    if (result == 0 && race != NULL && !done++) {
        const int fd = open(race, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            const ssize_t written = write(fd, "theirs", 6);
            (void)written;
            close(fd);
        }
        errno = saved;
    }
    return result;
}
