// The calling thread's stack on Linux, read from /proc/self/maps.
//
// Not pthread_getattr_np: glibc 2.34 moved it and pthread_attr_getstack into libc under new
// symbol versions, which alone would raise the wheel's manylinux tag from 2_28 to 2_34. This
// reads what glibc itself reads for the main thread.
#include "binding/stack_bounds.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

// Where the process's initial stack ends, as the C library recorded it at start-up.
extern "C" void* __libc_stack_end;

namespace gridflip {
namespace {

// The kernel keeps this much unmapped below a growing stack (stack_guard_gap, 256 pages).
constexpr std::uintptr_t stack_guard_gap = 256 * 4096;

// A thread's stack is the writable mapping that holds its frames: glibc maps a thread's stack
// with its guard pages below it, which show as a mapping of their own. The main thread's stack
// still grows down on demand, to its size limit or to the gap above the mapping below it,
// whichever comes first. It is known as the mapping that holds the C library's record of the
// initial stack, as glibc itself finds it, not by the "[stack]" label alone: under valgrind
// the main thread runs on an unlabelled mapping of a few pages that grows the same way.
StackBounds ask_stack_bounds() noexcept {
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  std::FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return {};
  StackBounds found;
  std::uintptr_t below_end = 0;  // end of the mapping before the current one
  char line[512];
  bool at_line_start = true;
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    const bool starts_line = at_line_start;
    at_line_start = std::strchr(line, '\n') != nullptr;
    if (!starts_line) continue;  // the rest of a long path
    unsigned long start = 0;
    unsigned long end = 0;
    if (std::sscanf(line, "%lx-%lx", &start, &end) != 2) continue;
    if (start <= here && here < end) {
      found = {start, end};
      const auto initial = reinterpret_cast<std::uintptr_t>(__libc_stack_end);
      const bool holds_initial = start <= initial && initial < end;
      if (holds_initial || std::strstr(line, "[stack]") != nullptr) {
        std::uintptr_t lowest = below_end + stack_guard_gap;
        rlimit limit{};
        if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            limit.rlim_cur < end) {
          lowest = std::max<std::uintptr_t>(lowest, end - limit.rlim_cur);
        }
        found.low = std::min<std::uintptr_t>(start, lowest);
      }
      break;
    }
    below_end = end;
  }
  std::fclose(maps);
  return found;
}

}  // namespace

StackBounds thread_stack_bounds() noexcept {
  constinit thread_local StackBounds t_bounds{};
  constinit thread_local bool t_asked = false;
  if (!t_asked) {
    t_bounds = ask_stack_bounds();
    t_asked = true;
  }
  return t_bounds;
}

}  // namespace gridflip
