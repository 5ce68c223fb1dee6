// SIGBUS guard for the mapped view: a handler installed for the length of one
// guarded run, which jumps back out of a fault on the view and hands every other
// SIGBUS to the handler it replaced.
#include "circuit/access_guard.hpp"

#include <pthread.h>
#include <atomic>
#include <csetjmp>
#include <csignal>

namespace gridflip {
namespace {

struct ActiveGuard {
  sigjmp_buf resume;
  std::uintptr_t begin;
  std::uintptr_t end;
  pthread_t thread;
  struct sigaction replaced;
};

std::atomic<ActiveGuard*> active_guard{nullptr};

// Hands the signal on as if no guard had been installed: to the handler it replaced, or to the
// default action (or to nothing, when it was ignored).
void forward_fault(const struct sigaction& replaced, int signal, siginfo_t* info, void* context) {
  if ((replaced.sa_flags & SA_SIGINFO) != 0 && replaced.sa_sigaction != nullptr) {
    replaced.sa_sigaction(signal, info, context);
    return;
  }
  if (replaced.sa_handler == SIG_DFL || replaced.sa_handler == SIG_IGN) {
    sigaction(signal, &replaced, nullptr);
    // A fault re-runs its access on return and meets the default action there. A signal sent
    // by kill or raise would be lost: it is raised again, to be taken once this returns.
    if (info->si_code <= 0) raise(signal);
    return;
  }
  replaced.sa_handler(signal);
}

void on_bus_error(int signal, siginfo_t* info, void* context) {
  ActiveGuard* guard = active_guard.load(std::memory_order_acquire);
  if (guard == nullptr) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    forward_fault(fallback, signal, info, context);
    return;
  }
  // Only the view's own faults: a bus error that the kernel raised for an access of the guarded
  // thread inside the view (a page past a new end of the file, or one that it cannot back with
  // storage). A signal sent by kill has a code of 0 or less, and no address.
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  if (info->si_code == BUS_ADRERR && pthread_equal(guard->thread, pthread_self()) != 0 &&
      address >= guard->begin && address < guard->end) {
    siglongjmp(guard->resume, 1);
  }
  forward_fault(guard->replaced, signal, info, context);
}

// Installs the handler for one run and restores the replaced one on every way out.
class ArmedGuard {
 public:
  explicit ArmedGuard(ActiveGuard& guard) noexcept : guard_(guard) {
    struct sigaction handler {};
    handler.sa_sigaction = on_bus_error;
    handler.sa_flags = SA_SIGINFO;
    sigemptyset(&handler.sa_mask);
    active_guard.store(&guard_, std::memory_order_release);
    sigaction(SIGBUS, &handler, &guard_.replaced);
  }
  ~ArmedGuard() {
    sigaction(SIGBUS, &guard_.replaced, nullptr);
    active_guard.store(nullptr, std::memory_order_release);
  }
  ArmedGuard(const ArmedGuard&) = delete;
  ArmedGuard& operator=(const ArmedGuard&) = delete;

 private:
  ActiveGuard& guard_;
};

}  // namespace

bool run_with_access_guard(const std::uint8_t* base, std::size_t length, void (*body)(void*),
                           void* context) {
  ActiveGuard guard{};
  guard.begin = reinterpret_cast<std::uintptr_t>(base);
  guard.end = guard.begin + length;
  guard.thread = pthread_self();
  const ArmedGuard armed(guard);
  // Saves the signal mask, so the jump out of the handler unblocks SIGBUS again.
  if (sigsetjmp(guard.resume, 1) != 0) return false;
  body(context);
  return true;
}

}  // namespace gridflip
