/* Benchmark-only: the system calls a mutate call cannot avoid, bare, timed in C. Opens the file
 * for reading and writing, takes its length (statx, as the module does), maps it shared and
 * prefaulted, flushes the view (msync, then fsync) and releases it: nothing else. The sparse
 * call's target is a ratio to this floor. Built with cc and loaded through ctypes by
 * run_benchmarks.py. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* Nanoseconds the sequence took on `path`, or -1 when a call failed. */
long long syscall_floor_ns(const char* path) {
  const long long start = now_ns();
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  struct statx info;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_SIZE, &info) != 0 || info.stx_size == 0) {
    close(fd);
    return -1;
  }
  const size_t length = (size_t)info.stx_size;
  void* view = mmap(NULL, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
  if (view == MAP_FAILED) {
    close(fd);
    return -1;
  }
  const int flushed = msync(view, length, MS_SYNC) == 0 && fsync(fd) == 0;
  munmap(view, length);
  close(fd);
  const long long elapsed = now_ns() - start;
  return flushed ? elapsed : -1;
}
