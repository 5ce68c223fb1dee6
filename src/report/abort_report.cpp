// Composes and writes the abort report: header, message, then a note or a backtrace.
#include "report/report.hpp"

#include "report/number_text.hpp"

#include <atomic>
#include <cstring>

namespace gridflip {
namespace {

constexpr std::string_view backtrace_variable = "GRIDFLIP_BACKTRACE";

std::atomic<bool> first_report{true};
std::atomic<int> cached_mode{-1};

// Fixed-size composition buffer: a header and message that fit go out in one
// write, so other output of the process cannot split them.
class ReportBuffer {
 public:
  bool append(std::string_view text) noexcept {
    if (text.size() > sizeof(bytes_) - used_) {
      overflowed_ = true;
      return false;
    }
    std::memcpy(bytes_ + used_, text.data(), text.size());
    used_ += text.size();
    return true;
  }
  bool append(std::uint64_t number) noexcept { return append(NumberText(number).view()); }
  bool overflowed() const noexcept { return overflowed_; }
  std::string_view text() const noexcept { return {bytes_, used_}; }

 private:
  char bytes_[512];
  std::size_t used_ = 0;
  bool overflowed_ = false;
};

// Writes the pieces through one buffer, or piece by piece when they do not fit.
template <class... Pieces>
void write_pieces(const Pieces&... pieces) noexcept {
  ReportBuffer buffer;
  (buffer.append(pieces), ...);
  if (!buffer.overflowed()) {
    write_stderr(buffer.text());
    return;
  }
  auto write_one = [](const auto& piece) noexcept {
    if constexpr (std::is_integral_v<std::decay_t<decltype(piece)>>) {
      ReportBuffer number;
      number.append(piece);
      write_stderr(number.text());
    } else {
      write_stderr(std::string_view(piece));
    }
  };
  (write_one(pieces), ...);
}

// Holds the report lock for one report.
class ReportLock {
 public:
  explicit ReportLock(BlockingRegion& region) noexcept : held_(lock_reports(region)) {}
  ~ReportLock() {
    if (held_) unlock_reports();
  }
  ReportLock(const ReportLock&) = delete;
  ReportLock& operator=(const ReportLock&) = delete;
  bool held() const noexcept { return held_; }

 private:
  bool held_;
};

}  // namespace

BacktraceMode process_backtrace_mode() noexcept {
  int mode = cached_mode.load(std::memory_order_acquire);
  if (mode < 0) {
    const char* value = read_environment(backtrace_variable.data());
    BacktraceMode read = BacktraceMode::short_form;
    if (value == nullptr || std::strcmp(value, "0") == 0) {
      read = BacktraceMode::off;
    } else if (std::strcmp(value, "full") == 0) {
      read = BacktraceMode::full;
    }
    int expected = -1;
    // The first thread to store the mode wins.
    if (!cached_mode.compare_exchange_strong(expected, static_cast<int>(read))) {
      return static_cast<BacktraceMode>(expected);
    }
    return read;
  }
  return static_cast<BacktraceMode>(mode);
}

void write_abort_report(std::string_view message, std::source_location where, BacktraceMode mode,
                        int skip_frames) noexcept {
  // Named now, with the interpreter lock held: naming takes the loader's lock, which a fork made
  // by another thread while this one waited would copy, taken, into the child.
  std::string backtrace;
  if (mode != BacktraceMode::off) {
    backtrace = "stack backtrace:\n" + backtrace_entries(mode, skip_frames + 1);
    if (mode == BacktraceMode::short_form) {
      backtrace += "note: Some details are omitted, run with `";
      backtrace += backtrace_variable;
      backtrace += "=full` for a verbose backtrace.\n";
    }
  }
  // Both the wait for the lock and the writes let the rest of the process run (see BlockingHooks).
  BlockingRegion region;
  const ReportLock lock(region);
  if (!lock.held()) return;  // interrupted while waiting behind another thread's report
  write_pieces(std::string_view("\nthread '<unnamed>' ("), current_thread_id(),
               std::string_view(") panicked at "), std::string_view(where.file_name()),
               std::string_view(":"), std::uint64_t{where.line()}, std::string_view(":"),
               std::uint64_t{where.column()}, std::string_view(":\n"), message,
               std::string_view("\n"));
  if (mode == BacktraceMode::off) {
    if (first_report.exchange(false)) {
      write_pieces(std::string_view("note: run with `"), backtrace_variable,
                   std::string_view("=1` environment variable to display a backtrace\n"));
    }
    return;
  }
  write_stderr(backtrace);
}

}  // namespace gridflip
