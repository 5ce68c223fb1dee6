// The POSIX close behind UniqueFd.
#include "circuit/unique_fd.hpp"

#include <unistd.h>

namespace gridflip {

void close_descriptor(int fd) noexcept {
  // Not retried on EINTR: on Linux the descriptor is gone either way.
  (void)::close(fd);
}

}  // namespace gridflip
