// The calling thread's stack, as the recursion check needs it.
#pragma once

#include <cstdint>

namespace gridflip {

// The lowest address the calling thread's stack may grow down to, or 0 when the system does not
// say. Asked of the system once per thread and kept; never fails.
std::uintptr_t stack_floor() noexcept;

}  // namespace gridflip
