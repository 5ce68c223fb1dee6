// A report's passage to descriptor 2: the interpreter lock let go while it blocks, the report
// lock, and signals answered as os.write answers them; and the lines before the process ends.
#include "report/report.hpp"

#include <atomic>
#include <cerrno>
#include <utility>

namespace gridflip {
namespace {

std::atomic<const BlockingHooks*> installed_hooks{nullptr};

constinit thread_local bool t_writing_report = false;

const BlockingHooks* hooks() noexcept { return installed_hooks.load(std::memory_order_acquire); }

}  // namespace

void install_blocking_hooks(const BlockingHooks* hooks) noexcept {
  installed_hooks.store(hooks, std::memory_order_release);
}

bool writing_report() noexcept { return t_writing_report; }

ReportOutput::ReportOutput() noexcept : was_writing_report_(std::exchange(t_writing_report, true)) {
  if (const BlockingHooks* installed = hooks()) aside_ = installed->step_aside();
}

ReportOutput::~ReportOutput() noexcept(false) {
  if (holds_lock_) unlock_reports();
  t_writing_report = was_writing_report_;
  if (void* token = std::exchange(aside_.token, nullptr)) hooks()->step_back(token);
}

bool ReportOutput::write(std::string_view text) {
  lock();
  while (!given_up_ && !text.empty()) {
    const std::ptrdiff_t written = write_stderr_once(text);
    if (written >= 0) {
      text.remove_prefix(static_cast<std::size_t>(written));
    } else if (written == -EINTR) {
      answer_signal();
      lock();
    } else {
      given_up_ = true;  // closed or unusable: the rest is dropped
    }
  }
  return !given_up_;
}

void ReportOutput::lock() {
  while (!holds_lock_ && !given_up_) {
    const int error = wait_for_report_lock();
    if (error == 0) {
      holds_lock_ = true;
    } else if (error == EINTR) {
      answer_signal();
    } else {
      given_up_ = true;
    }
  }
}

void ReportOutput::answer_signal() {
  // Python runs signal handlers on its main thread only; elsewhere os.write goes on waiting.
  if (!aside_.runs_signal_handlers) return;
  // A handler may abort in its turn: its own report must find the lock free and this thread
  // outside its report.
  if (std::exchange(holds_lock_, false)) unlock_reports();
  t_writing_report = false;
  const bool handled = hooks()->run_signal_handlers(aside_.token);
  t_writing_report = true;
  if (!handled) given_up_ = true;
}

void write_report_text(std::string_view text) {
  ReportOutput output;
  output.write(text);
}

void write_final_stderr(std::string_view text) noexcept {
  if (const BlockingHooks* installed = hooks()) (void)installed->step_aside();
  while (!text.empty()) {
    const std::ptrdiff_t written = write_stderr_once(text);
    if (written >= 0) {
      text.remove_prefix(static_cast<std::size_t>(written));
    } else if (written != -EINTR) {
      return;
    }
  }
}

}  // namespace gridflip
