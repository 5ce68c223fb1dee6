// POSIX services of the abort report: descriptor 2, thread ids, error texts, environment,
// termination.
#include "report/report.hpp"

#include <cerrno>
#include <cstdlib>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace gridflip {
namespace {

// glibc gives C++ the GNU strerror_r, which returns the text (not always in the
// buffer) and never fails; other C libraries give the XSI one, which fills the
// buffer and returns 0 or an error (-1 with errno in old glibc). Overloading on the
// result type takes whichever is declared.
[[maybe_unused]] const char* message_or_null(const char* result, const char*, int&) noexcept {
  return result;
}
[[maybe_unused]] const char* message_or_null(int result, const char* buffer,
                                             int& failure) noexcept {
  if (result == 0) return buffer;
  failure = result == -1 ? errno : result;
  return nullptr;
}

}  // namespace

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

const char* describe_system_error(int code, std::span<char> buffer, int& failure) noexcept {
  buffer[0] = '\0';
  return message_or_null(::strerror_r(code, buffer.data(), buffer.size()), buffer.data(), failure);
}

const char* read_environment(const char* name) noexcept { return std::getenv(name); }

void terminate_process() noexcept { std::abort(); }

}  // namespace gridflip
