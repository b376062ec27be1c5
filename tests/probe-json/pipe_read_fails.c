/* Preloaded into probe-json by its tests to make the read of a command's
 * output fail: with PIPE_READ_FAILS_AFTER=N in the environment, reads from
 * pipes hand over N bytes in all, then fail with EIO. Every other read is
 * the C library's own. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

ssize_t read(int fd, void *buffer, size_t size)
{
    static ssize_t (*real_read)(int, void *, size_t);
    static const char *setting;
    static size_t left;
    if (real_read == NULL) {
        real_read = (ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
        setting = getenv("PIPE_READ_FAILS_AFTER");
        left = setting != NULL ? strtoul(setting, NULL, 10) : 0;
    }
    struct stat status;
    if (setting == NULL || fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode))
        return real_read(fd, buffer, size);
    if (left == 0) {
        errno = EIO;
        return -1;
    }
    ssize_t got = real_read(fd, buffer, size < left ? size : left);
    if (got > 0)
        left -= (size_t)got;
    return got;
}
