// The entropy source on POSIX systems: the C library's getrandom().
#include "random/entropy.hpp"

#include "report/number_text.hpp"
#include "report/report.hpp"

#include <sys/random.h>
#include <cerrno>

namespace gridflip {
namespace {

[[noreturn]] void fail_entropy(int error) noexcept {
  char text[128];
  int refusal = 0;
  const char* description =
      error == 0 ? "no bytes returned" : describe_system_error(error, text, refusal);
  if (description == nullptr) description = "unknown error";
  write_final_stderr(
      "fatal runtime error: cannot read the entropy source for the random generator: "
      "getrandom: ");
  write_final_stderr(description);
  write_final_stderr(" (os error ");
  write_final_stderr(NumberText(error).view());
  write_final_stderr("), aborting\n");
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
