// POSIX services of the abort report: descriptor 2, thread ids, environment, termination.
#include "report/report.hpp"

#include <cerrno>
#include <cstdlib>
#include <sys/syscall.h>
#include <unistd.h>

namespace gridflip {

void write_stderr(std::string_view text) noexcept {
  const char* next = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // closed or unusable: the report is dropped
    }
    next += written;
    left -= static_cast<std::size_t>(written);
  }
}

// The system call itself: the C library's gettid() wrapper dates only from 2.30.
std::uint64_t current_thread_id() noexcept {
  return static_cast<std::uint64_t>(::syscall(SYS_gettid));
}

const char* read_environment(const char* name) noexcept { return std::getenv(name); }

void terminate_process() noexcept { std::abort(); }

}  // namespace gridflip
