/* zero_write_shim: loaded with LD_PRELOAD, makes write() on one file stop
 * making progress: after TVQ_ZERO_WRITE_AFTER bytes (default 0) have reached
 * the file named by TVQ_ZERO_WRITE_NAME (an absolute path, as
 * /proc/self/fd shows it), every write() to it returns 0 without writing, as
 * some FUSE file systems and device files do. Every other write() is the
 * system's. */
#define _GNU_SOURCE
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static unsigned long long passed;

static int is_the_file(int fd) {
  const char* name = getenv("TVQ_ZERO_WRITE_NAME");
  char link[64];
  char target[PATH_MAX];
  ssize_t length;
  if (name == NULL || fd <= 2) return 0;
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  length = readlink(link, target, sizeof target - 1);
  if (length < 0) return 0;
  target[length] = '\0';
  return strcmp(target, name) == 0;
}

ssize_t write(int fd, const void* data, size_t length) {
  if (is_the_file(fd)) {
    const char* after = getenv("TVQ_ZERO_WRITE_AFTER");
    const unsigned long long limit = after != NULL ? strtoull(after, NULL, 10) : 0;
    ssize_t done;
    if (passed >= limit) return 0;
    if (length > limit - passed) length = (size_t)(limit - passed);
    done = syscall(SYS_write, fd, data, length);
    if (done > 0) passed += (unsigned long long)done;
    return done;
  }
  return syscall(SYS_write, fd, data, length);
}
