// Composes and writes the abort report: header, message, then a note or a backtrace.
#include "report/report.hpp"

#include "base/stack_bounds.hpp"
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

// Writes the pieces through one buffer, or piece by piece when they do not fit. False once the
// output is given up.
template <class... Pieces>
bool write_pieces(ReportOutput& output, const Pieces&... pieces) {
  ReportBuffer buffer;
  (buffer.append(pieces), ...);
  if (!buffer.overflowed()) return output.write(buffer.text());
  auto write_one = [&output](const auto& piece) {
    if constexpr (std::is_integral_v<std::decay_t<decltype(piece)>>) {
      return output.write(NumberText(piece).view());
    } else {
      return output.write(std::string_view(piece));
    }
  };
  return (write_one(pieces) && ...);
}

// Stack that naming a backtrace may take below the report: 32,200 bytes measured for the first
// backtrace of a process, which reads the objects' debug information (13,416 for a later one),
// then doubled.
constexpr std::size_t backtrace_stack_reserve = 64 * 1024;

// Whether the calling thread's stack has room to name a backtrace; on a stack whose bounds are not
// known (a coroutine's), it is tried.
bool room_for_backtrace() noexcept {
  // Stacks grow down on every platform this builds for.
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const StackBounds stack = thread_stack_bounds(here);
  return !stack.holds(here) || here - stack.low >= backtrace_stack_reserve;
}

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
                        int skip_frames) {
  // Named now, with the interpreter lock held: naming takes the loader's lock, which a fork made
  // by another thread while this one waited would copy, taken, into the child.
  std::string backtrace;
  if (mode != BacktraceMode::off && !room_for_backtrace()) {
    backtrace =
        "note: the backtrace is left out: too little of the thread's stack is left to name "
        "its frames\n";
  } else if (mode != BacktraceMode::off) {
    backtrace = "stack backtrace:\n" + backtrace_entries(mode, skip_frames + 1);
    if (mode == BacktraceMode::short_form) {
      backtrace += "note: Some details are omitted, run with `";
      backtrace += backtrace_variable;
      backtrace += "=full` for a verbose backtrace.\n";
    }
  }
  ReportOutput output;
  const bool header_written = write_pieces(
      output, std::string_view("\nthread '<unnamed>' ("), current_thread_id(),
      std::string_view(") panicked at "), std::string_view(where.file_name()),
      std::string_view(":"), std::uint64_t{where.line()}, std::string_view(":"),
      std::uint64_t{where.column()}, std::string_view(":\n"), message, std::string_view("\n"));
  if (mode != BacktraceMode::off) {
    output.write(backtrace);
  } else if (header_written && first_report.exchange(false)) {
    write_pieces(output, std::string_view("note: run with `"), backtrace_variable,
                 std::string_view("=1` environment variable to display a backtrace\n"));
  }
}

}  // namespace gridflip
