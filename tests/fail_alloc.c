/* Preloaded into a program, fails one allocation: the Nth call of malloc,
 * calloc or realloc, N from FAIL_ALLOC_AT (0 or unset: none), answered with
 * NULL and ENOMEM as the C library answers when memory runs out. When the
 * program exits it writes "fail-alloc: COUNT calls" to standard error, the
 * calls it saw; a forked child that exits says nothing, so the count is the
 * program's own. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *memory, size_t size);

static unsigned long calls, fail_at;
static pid_t program;
static int started;

/* Whether this call is the one to fail. The setting is read at the first
 * call, which may come before any constructor has run; getenv allocates
 * nothing. */
static int failing(void)
{
    if (!started) {
        const char *at = getenv("FAIL_ALLOC_AT");
        fail_at = at != NULL ? strtoul(at, NULL, 10) : 0;
        program = getpid();
        started = 1;
    }
    if (++calls != fail_at)
        return 0;
    errno = ENOMEM;
    return 1;
}

void *malloc(size_t size)
{
    return failing() ? NULL : __libc_malloc(size);
}

void *calloc(size_t count, size_t size)
{
    return failing() ? NULL : __libc_calloc(count, size);
}

void *realloc(void *memory, size_t size)
{
    return failing() ? NULL : __libc_realloc(memory, size);
}

__attribute__((destructor)) static void report(void)
{
    char line[64];
    int length = snprintf(line, sizeof line, "fail-alloc: %lu calls\n", calls);
    if (started && getpid() == program && length > 0)
        (void)!write(STDERR_FILENO, line, (size_t)length);
}
