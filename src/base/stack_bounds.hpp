// The stack the calling thread runs on, as the recursion check and the abort report need it.
#pragma once

#include <cstdint>

namespace gridflip {

// An address range a stack may use: [low, high). Both are 0 when it is not known.
struct StackBounds {
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;

  bool holds(std::uintptr_t address) const noexcept { return low <= address && address < high; }
};

// The bounds of the calling thread's own stack when `here`, an address on the stack in use, lies
// on it; {0, 0} when it does not (a coroutine's stack, say) or when the system does not say.
// Asked of the system on every call, so nothing stale is kept. Never fails.
StackBounds thread_stack_bounds(std::uintptr_t here) noexcept;

}  // namespace gridflip
