/* Test-only interposer, preloaded into child interpreters: known entropy, failing
 * flushes and a file truncated once mapped (and restored), driven by environment variables. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../../cpp/known_keys.h"

static size_t keys_served;

/* 32-byte requests are the generator's keys, the known keys in order.
 * The count is per process: a forked child goes on from its parent's count at the fork.
 * With GRIDFLIP_TEST_ENTROPY_LOG, each key appends the line "key <pid>" to that file. */
ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
  if (length == 32 && getenv("GRIDFLIP_TEST_KEYS") != NULL) {
    unsigned char* bytes = buffer;
    for (size_t j = 0; j < length; ++j) bytes[j] = known_key_byte(keys_served, j);
    ++keys_served;
    const char* log = getenv("GRIDFLIP_TEST_ENTROPY_LOG");
    if (log != NULL) {
      int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
      if (fd >= 0) {
        char line[32];
        int size = snprintf(line, sizeof line, "key %ld\n", (long)getpid());
        (void)!write(fd, line, (size_t)size);
        close(fd);
      }
    }
    return (ssize_t)length;
  }
  ssize_t (*real)(void*, size_t, unsigned int) =
      (ssize_t(*)(void*, size_t, unsigned int))dlsym(RTLD_NEXT, "getrandom");
  return real(buffer, length, flags);
}

static int failure_from(const char* name) {
  const char* value = getenv(name);
  return value != NULL ? atoi(value) : 0;
}

int fsync(int fd) {
  int error = failure_from("GRIDFLIP_TEST_FAIL_FSYNC");
  if (error != 0) {
    errno = error;
    return -1;
  }
  int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  return real(fd);
}

int msync(void* address, size_t length, int flags) {
  int error = failure_from("GRIDFLIP_TEST_FAIL_MSYNC");
  if (error != 0) {
    errno = error;
    return -1;
  }
  int (*real)(void*, size_t, int) = (int (*)(void*, size_t, int))dlsym(RTLD_NEXT, "msync");
  return real(address, length, flags);
}

/* GRIDFLIP_TEST_TRUNCATE_AFTER_MAP=N: a shared file mapping shrinks its file to N
 * bytes as soon as it is made, as another process truncating the file would; with
 * GRIDFLIP_TEST_RESTORE_BEFORE_STATX=1 its length is back at the next statx. */
static int restore_fd = -1;
static off_t restore_length;

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  void* (*real)(void*, size_t, int, int, int, off_t) =
      (void* (*)(void*, size_t, int, int, int, off_t))dlsym(RTLD_NEXT, "mmap");
  void* view = real(address, length, protection, flags, fd, offset);
  const char* size = getenv("GRIDFLIP_TEST_TRUNCATE_AFTER_MAP");
  if (size != NULL && view != MAP_FAILED && fd >= 0 && (flags & MAP_SHARED) != 0) {
    if (failure_from("GRIDFLIP_TEST_RESTORE_BEFORE_STATX") != 0) {
      restore_length = lseek(fd, 0, SEEK_END);
      restore_fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    }
    (void)!ftruncate(fd, atol(size));
  }
  return view;
}

int statx(int directory, const char* path, int flags, unsigned int mask, struct statx* out) {
  if (restore_fd >= 0) {
    (void)!ftruncate(restore_fd, restore_length);
    close(restore_fd);
    restore_fd = -1;
  }
  int (*real)(int, const char*, int, unsigned, struct statx*) = dlsym(RTLD_NEXT, "statx");
  return real(directory, path, flags, mask, out);
}
