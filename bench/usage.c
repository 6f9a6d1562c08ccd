// Runs a program and writes what it cost once it has ended, as GNU time's "-f '%e %U %S %M'"
// would, followed by two counts that only the program's parent can read at the very end:
//   wall_s user_s sys_s peak_rss_kib write_bytes cancelled_write_bytes
// write_bytes is what the program (and every descendant it reaped) caused to be written to the
// page cache for storage; cancelled_write_bytes is the part of it that never reached the disk
// because the file was deleted or cut short while those pages were still dirty. Both come from
// /proc/<pid>/io, read while the ended program is still a zombie (waitid with WNOWAIT), so they
// are its final figures rather than a sample taken a moment before it ended.
//
//   usage OUTPUT_FILE PROGRAM [ARG...]
// The exit status is the program's (128 + the signal for one a signal ended).
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double Seconds(struct timeval value) {
    return (double)value.tv_sec + (double)value.tv_usec / 1e6;
}

static long long IoField(const char* text, const char* name) {
    const char* at = strstr(text, name);
    return at == NULL ? -1 : atoll(at + strlen(name));
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s OUTPUT_FILE PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = fork();
    if (child < 0) {
        perror("fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        perror(argv[2]);
        _exit(127);
    }

    siginfo_t info;
    memset(&info, 0, sizeof info);
    if (waitid(P_PID, (id_t)child, &info, WEXITED | WNOWAIT) != 0) {
        perror("waitid");
        return 2;
    }
    char io[4096] = "";
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/io", (int)child);
    FILE* file = fopen(path, "r");
    if (file != NULL) {
        const size_t got = fread(io, 1, sizeof io - 1, file);
        io[got] = '\0';
        fclose(file);
    }

    int status = 0;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child) {
        perror("wait4");
        return 2;
    }
    struct timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double wall =
        (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;

    FILE* out = fopen(argv[1], "w");
    if (out == NULL) {
        perror(argv[1]);
        return 2;
    }
    fprintf(out, "%.2f %.2f %.2f %ld %lld %lld\n", wall, Seconds(usage.ru_utime),
            Seconds(usage.ru_stime), usage.ru_maxrss, IoField(io, "\nwrite_bytes: "),
            IoField(io, "cancelled_write_bytes: "));
    fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
