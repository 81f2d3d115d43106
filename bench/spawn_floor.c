/* The floor for the cost of one tool run: starts "sh -c 'exec date ...'"
 * the way the daemon must (vfork, output through a pipe, the child in a group
 * of its own, waited for), RUNS times, and prints the CPU time per run in
 * milliseconds: "own CHILDREN" (this process alone, and its children).
 *
 * Usage: spawn_floor [RUNS]   (default 300) */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static double cpu_ms(int who)
{
    struct rusage u;
    getrusage(who, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

static int one_run(void)
{
    char *argv[] = {"/bin/sh", "-c", "exec date -d \"2024-05-17 08:30:12\" +%s", NULL};
    int fds[2];
    if (pipe(fds) < 0)
        return -1;
    pid_t pid = vfork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execve(argv[0], argv, environ);
        _exit(127);
    }
    close(fds[1]);
    char out[64];
    ssize_t got = read(fds[0], out, sizeof out);
    close(fds[0]);
    int status;
    waitpid(pid, &status, 0);
    return got > 0 && status == 0 ? 0 : -1;
}

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 300;
    double own0 = cpu_ms(RUSAGE_SELF), kids0 = cpu_ms(RUSAGE_CHILDREN);
    for (int i = 0; i < runs; i++) {
        if (one_run() != 0) {
            fprintf(stderr, "run %d failed\n", i);
            return 1;
        }
    }
    printf("%.4f %.4f\n", (cpu_ms(RUSAGE_SELF) - own0) / runs,
           (cpu_ms(RUSAGE_CHILDREN) - kids0) / runs);
    return 0;
}
