// The calling thread's stack, as the recursion check needs it.
#pragma once

#include <cstdint>

namespace gridflip {

// The address range the calling thread's stack may use: [low, high). Both are 0 when the system
// does not say.
struct StackBounds {
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
};

// Asked of the system once per thread and kept; never fails.
StackBounds thread_stack_bounds() noexcept;

}  // namespace gridflip
