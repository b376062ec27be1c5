/* bench-timer RUNS COMMAND...: runs each shell command RUNS times, one of
 * each in turn round after round, so a change in the machine's load falls
 * on all of them alike. Prints a line per command: its median wall-clock
 * milliseconds, its largest peak resident size in KiB (the biggest process
 * of the command, its children included) and its median processor
 * milliseconds, user and system, which a loaded machine disturbs less. A command that fails
 * stops the run: a ratio against a failed run means nothing. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { most_commands = 8, most_runs = 1000 };

static double times[most_commands][most_runs];
static double cpu_times[most_commands][most_runs];
static long peaks[most_commands];

static double now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static int by_value(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

static double median(double *values, int count)
{
    qsort(values, count, sizeof values[0], by_value);
    return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

static double run_once(const char *command, long *peak, double *cpu)
{
    double start = now_ms();
    pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", command, (char *)NULL);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (child < 0 || wait4(child, &status, 0, &usage) != child) {
        perror("bench-timer");
        exit(2);
    }
    double took = now_ms() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "bench-timer: failed (status %d): %s\n", status, command);
        exit(1);
    }
    *cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    if (usage.ru_maxrss > *peak)
        *peak = usage.ru_maxrss;
    return took;
}

int main(int argc, char *argv[])
{
    int runs = argc > 2 ? atoi(argv[1]) : 0;
    int commands = argc - 2;
    if (runs < 1 || runs > most_runs || commands > most_commands) {
        fprintf(stderr, "usage: bench-timer RUNS COMMAND... (1-%d runs, at most %d commands)\n",
                most_runs, most_commands);
        return 2;
    }
    /* One untimed round warms the caches for all alike. */
    for (int c = 0; c < commands; c++)
        run_once(argv[c + 2], &peaks[c], &cpu_times[c][0]);
    for (int r = 0; r < runs; r++)
        for (int c = 0; c < commands; c++)
            times[c][r] = run_once(argv[c + 2], &peaks[c], &cpu_times[c][r]);
    for (int c = 0; c < commands; c++)
        printf("%.3f %ld %.3f\n", median(times[c], runs), peaks[c], median(cpu_times[c], runs));
    return 0;
}
