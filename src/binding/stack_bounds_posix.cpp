// The calling thread's stack on POSIX systems with glibc's pthread_getattr_np.
#include "binding/stack_bounds.hpp"

#include <pthread.h>

namespace gridflip {
namespace {

std::uintptr_t ask_stack_floor() noexcept {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
  void* lowest = nullptr;
  std::size_t size = 0;
  const bool known = pthread_attr_getstack(&attributes, &lowest, &size) == 0;
  pthread_attr_destroy(&attributes);
  return known ? reinterpret_cast<std::uintptr_t>(lowest) : 0;
}

}  // namespace

std::uintptr_t stack_floor() noexcept {
  // The main thread's answer comes from reading /proc/self/maps: keep it.
  constinit thread_local std::uintptr_t t_floor = 0;
  constinit thread_local bool t_asked = false;
  if (!t_asked) {
    t_floor = ask_stack_floor();
    t_asked = true;
  }
  return t_floor;
}

}  // namespace gridflip
