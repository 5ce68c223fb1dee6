// The calling thread's stack on Linux with glibc, without /proc (which a container or a chroot
// may lack, and whose mappings another library may split, locking pages of the stack).
//
// The main thread's stack grows on demand from its top down to RLIMIT_STACK below it, the limit
// the kernel checks at each growth. Its top is that of the text the kernel copies at exec, whose
// highest string is the program's path (AT_EXECFN). Other threads' stacks are fixed; the C
// library knows them.
#include "base/stack_bounds.hpp"

#include "base/glibc_symbols.hpp"

#include <pthread.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstring>

GRIDFLIP_FIRST_GLIBC_VERSION(pthread_getattr_np);
GRIDFLIP_FIRST_GLIBC_VERSION(pthread_attr_getstack);

// Where the process's initial stack ends, as the C library recorded it at start-up.
extern "C" void* __libc_stack_end;

namespace gridflip {
namespace {

StackBounds main_thread_stack() noexcept {
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  auto top = reinterpret_cast<std::uintptr_t>(__libc_stack_end);
  if (const auto* path = reinterpret_cast<const char*>(::getauxval(AT_EXECFN))) {
    const auto end = reinterpret_cast<std::uintptr_t>(path) + std::strlen(path) + 1;
    if (end > top) top = end;
  }
  top = (top + page - 1) & ~(page - 1);
  rlimit limit{};
  // Unlimited, the stack has no bound of its own that the system gives.
  if (::getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur >= top) {
    return {};
  }
  return {top - limit.rlim_cur, top};
}

// Also right in the child of a fork made on another thread, whose one thread runs on the stack
// of the thread that forked.
StackBounds pthread_stack() noexcept {
  pthread_attr_t attributes;
  if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) return {};
  void* low = nullptr;
  std::size_t size = 0;
  const bool known = ::pthread_attr_getstack(&attributes, &low, &size) == 0;
  ::pthread_attr_destroy(&attributes);
  if (!known) return {};
  const auto start = reinterpret_cast<std::uintptr_t>(low);
  return {start, start + size};
}

}  // namespace

StackBounds thread_stack_bounds(std::uintptr_t here) noexcept {
  // Not pthread_getattr_np for the main thread: glibc reads it from /proc/self/maps.
  if (::syscall(SYS_gettid) == ::getpid()) {
    const StackBounds main = main_thread_stack();
    if (main.holds(here)) return main;
  }
  const StackBounds own = pthread_stack();
  return own.holds(here) ? own : StackBounds{};
}

}  // namespace gridflip
