// Forked children of this process, as the generator needs to see them.
#pragma once

namespace gridflip {

// Has `handler` run in the child of every later fork of this process, on the child's one
// thread, before fork returns there. Returns 0, or the system's error number when it refuses
// (for want of memory), in which case nothing is registered. Never aborts.
int run_in_forked_children(void (*handler)()) noexcept;

}  // namespace gridflip
