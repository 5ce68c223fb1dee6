// The entropy source on POSIX systems: the C library's getrandom().
#include "random/entropy.hpp"

#include "report/report.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <sys/random.h>

namespace gridflip {
namespace {

[[noreturn]] void fail_entropy(int error) noexcept {
  char number[16];
  const auto end = std::to_chars(number, number + sizeof number, error).ptr;
  char text[128];
  // The GNU strerror_r returns a pointer that may or may not be `text`.
  const char* description = error == 0 ? "no bytes returned" : strerror_r(error, text, sizeof text);
  write_stderr("fatal runtime error: cannot read the entropy source for the random generator: "
               "getrandom: ");
  write_stderr(description);
  write_stderr(" (os error ");
  write_stderr(std::string_view(number, static_cast<std::size_t>(end - number)));
  write_stderr("), aborting\n");
  terminate_process();
}

}  // namespace

void read_entropy(std::uint8_t (&bytes)[32]) noexcept {
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    // The libc function, not the raw system call, so that a test can interpose it.
    const ssize_t got = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      fail_entropy(error);
    }
    // A source that returns nothing would loop here for ever.
    if (got == 0) fail_entropy(0);
    filled += static_cast<std::size_t>(got);
  }
}

}  // namespace gridflip
