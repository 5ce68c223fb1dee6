// Forked children on POSIX systems: a pthread_atfork child handler.
#include "random/fork_watch.hpp"

#include <pthread.h>

namespace gridflip {

int run_in_forked_children(void (*handler)()) noexcept {
  return pthread_atfork(nullptr, nullptr, handler);
}

}  // namespace gridflip
