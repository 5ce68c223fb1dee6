// Stepping aside while a report blocks: the installed hooks, and the calling thread's region.
#include "report/report.hpp"

#include <atomic>
#include <utility>

namespace gridflip {
namespace {

std::atomic<const BlockingHooks*> installed_hooks{nullptr};

// The outermost region of this thread: its depth, its token and whether it stopped.
constinit thread_local int t_depth = 0;
constinit thread_local void* t_token = nullptr;
constinit thread_local bool t_stopped = false;

}  // namespace

void install_blocking_hooks(const BlockingHooks* hooks) noexcept {
  installed_hooks.store(hooks, std::memory_order_release);
}

BlockingRegion::BlockingRegion() noexcept {
  if (t_depth++ > 0) return;
  t_stopped = false;
  const BlockingHooks* hooks = installed_hooks.load(std::memory_order_acquire);
  t_token = hooks != nullptr ? hooks->step_aside() : nullptr;
}

BlockingRegion::~BlockingRegion() {
  if (--t_depth > 0) return;
  if (void* token = std::exchange(t_token, nullptr)) {
    installed_hooks.load(std::memory_order_acquire)->step_back(token);
  }
}

bool BlockingRegion::stop_after_signal() noexcept {
  if (!t_stopped && t_token != nullptr) {
    t_stopped = installed_hooks.load(std::memory_order_acquire)->interrupt_requested(t_token);
  }
  return t_stopped;
}

bool BlockingRegion::stopped() const noexcept { return t_stopped; }

}  // namespace gridflip
