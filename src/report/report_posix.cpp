// POSIX services of the abort report: descriptor 2, the report lock, thread ids, error texts,
// loaded objects, environment, termination.
#include "report/report.hpp"

#include "base/glibc_symbols.hpp"
#include "report/number_text.hpp"

#include <link.h>
#include <pthread.h>
#include <semaphore.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>

GRIDFLIP_FIRST_GLIBC_VERSION(sem_init);
GRIDFLIP_FIRST_GLIBC_VERSION(sem_wait);
GRIDFLIP_FIRST_GLIBC_VERSION(sem_post);

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

struct ObjectSearch {
  std::uintptr_t pc;
  std::string found;
};

int match_object(dl_phdr_info* info, std::size_t, void* data) {
  auto& search = *static_cast<ObjectSearch*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    if (segment.p_type != PT_LOAD || search.pc < start || search.pc - start >= segment.p_memsz) {
      continue;
    }
    std::string path = info->dlpi_name;
    if (path.empty()) {
      // The executable itself has no name in the list.
      char target[PATH_MAX];
      const ssize_t length = ::readlink("/proc/self/exe", target, sizeof target);
      path = length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "<executable>";
    }
    // The offset from the load address is the address addr2line expects.
    search.found = path + "+0x" + std::string(NumberText(search.pc - info->dlpi_addr, 16).view());
    return 1;
  }
  return 0;
}

// A semaphore, not a mutex: a signal cuts its wait short (with the interpreter's handlers, which
// do not restart calls), so a signal handler can run on a thread that waits behind a blocked
// report.
sem_t report_semaphore;

// In a forked child only the forking thread runs: a report that another thread of the parent was
// writing never ends there, and its lock must not stay taken.
void free_report_lock() noexcept { sem_init(&report_semaphore, 0, 1); }

[[maybe_unused]] const bool report_lock_ready = [] {
  free_report_lock();
  pthread_atfork(nullptr, nullptr, free_report_lock);
  return true;
}();

}  // namespace

int wait_for_report_lock() noexcept { return sem_wait(&report_semaphore) == 0 ? 0 : errno; }

void unlock_reports() noexcept { sem_post(&report_semaphore); }

std::string locate_code(std::uintptr_t pc) {
  ObjectSearch search{pc, {}};
  dl_iterate_phdr(match_object, &search);
  return search.found;
}

std::ptrdiff_t write_stderr_once(std::string_view text) noexcept {
  const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
  return written >= 0 ? written : -errno;
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
