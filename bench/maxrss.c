/* Runs a command and writes its peak resident set size (KiB, from the
 * rusage that wait4 returns) to a file.
 *
 *   maxrss RESULT_FILE COMMAND [ARG...]
 *
 * The command inherits standard input and output.  A child's ru_maxrss also
 * counts the memory of the process it was forked from, so the count has to
 * come from a small process like this one and not from the Python script.
 * Exit status: the command's, or 255 when it could not be started.
 * Built by run_bench.py with: cc -O2 -o maxrss maxrss.c
 */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    struct rusage usage;
    int status;
    pid_t pid;
    FILE *result;

    if (argc < 3) {
        fprintf(stderr, "usage: %s RESULT_FILE COMMAND [ARG...]\n", argv[0]);
        return 255;
    }
    pid = fork();
    if (pid < 0) {
        perror("fork");
        return 255;
    }
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        perror(argv[2]);
        _exit(255);
    }
    if (wait4(pid, &status, 0, &usage) < 0) {
        perror("wait4");
        return 255;
    }
    result = fopen(argv[1], "w");
    if (result == NULL) {
        perror(argv[1]);
        return 255;
    }
    fprintf(result, "%ld\n", usage.ru_maxrss);
    fclose(result);
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}
