/* Benchmark-only malloc interposer: counts heap allocations while armed and keeps the sizes of
 * the first few, so the benchmark can tell what one mutate call allocates. Preloaded into a
 * child interpreter; read through ctypes. */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <string.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* pointer, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void* pointer);

#define KEPT_SIZES 256

static int armed;
static unsigned long allocations;
static unsigned long frees;
static size_t sizes[KEPT_SIZES];

static void count(size_t size) {
  if (!armed) return;
  if (allocations < KEPT_SIZES) sizes[allocations] = size;
  ++allocations;
}

void alloc_counter_start(void) {
  allocations = 0;
  frees = 0;
  armed = 1;
}

void alloc_counter_stop(void) { armed = 0; }
unsigned long alloc_counter_allocations(void) { return allocations; }
unsigned long alloc_counter_frees(void) { return frees; }
size_t alloc_counter_size(unsigned long i) { return i < KEPT_SIZES ? sizes[i] : 0; }

void* malloc(size_t size) {
  count(size);
  return __libc_malloc(size);
}

void* calloc(size_t n, size_t size) {
  count(n * size);
  return __libc_calloc(n, size);
}

void* realloc(void* pointer, size_t size) {
  count(size);
  return __libc_realloc(pointer, size);
}

void free(void* pointer) {
  if (armed && pointer != NULL) ++frees;
  __libc_free(pointer);
}

void* memalign(size_t alignment, size_t size) {
  count(size);
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
  count(size);
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) {
  count(size);
  void* pointer = __libc_memalign(alignment, size);
  if (pointer == NULL) return ENOMEM;
  *result = pointer;
  return 0;
}
