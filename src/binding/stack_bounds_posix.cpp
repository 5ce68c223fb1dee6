// The calling thread's stack on POSIX systems with glibc's pthread_getattr_np.
#include "binding/stack_bounds.hpp"

#include <pthread.h>

namespace gridflip {
namespace {

StackBounds ask_stack_bounds() noexcept {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return {};
  void* lowest = nullptr;
  std::size_t size = 0;
  const bool known = pthread_attr_getstack(&attributes, &lowest, &size) == 0;
  pthread_attr_destroy(&attributes);
  if (!known) return {};
  const auto low = reinterpret_cast<std::uintptr_t>(lowest);
  return {low, low + size};
}

}  // namespace

StackBounds thread_stack_bounds() noexcept {
  // The main thread's answer comes from reading /proc/self/maps: keep it.
  constinit thread_local StackBounds t_bounds{};
  constinit thread_local bool t_asked = false;
  if (!t_asked) {
    t_bounds = ask_stack_bounds();
    t_asked = true;
  }
  return t_bounds;
}

}  // namespace gridflip
