// Backtrace entries for abort reports: unwinding by the C library, names and
// lines from libdw when it was found at build time, else from dladdr.
#include "binding/report.hpp"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <string>
#include <unistd.h>

#ifdef GRIDFLIP_HAVE_LIBDW
#include <elfutils/libdwfl.h>
#endif

namespace gridflip {
namespace {

constexpr int max_frames = 128;

std::string number_text(std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  return std::string(digits, end);
}

std::string demangle(const char* name) {
  if (name == nullptr) return "<unknown>";
  int status = 0;
  char* plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || plain == nullptr) return name;
  std::string result(plain);
  std::free(plain);
  return result;
}

struct FrameText {
  std::string name = "<unknown>";
  std::string file;
  int line = 0;
};

class Symboliser {
 public:
  Symboliser() {
#ifdef GRIDFLIP_HAVE_LIBDW
    static char* debuginfo_path = nullptr;
    static const Dwfl_Callbacks callbacks = {
        .find_elf = dwfl_linux_proc_find_elf,
        .find_debuginfo = dwfl_standard_find_debuginfo,
        .section_address = nullptr,
        .debuginfo_path = &debuginfo_path,
    };
    session_ = dwfl_begin(&callbacks);
    if (session_ != nullptr) {
      if (dwfl_linux_proc_report(session_, getpid()) != 0 ||
          dwfl_report_end(session_, nullptr, nullptr) != 0) {
        dwfl_end(session_);
        session_ = nullptr;
      }
    }
#endif
  }
  ~Symboliser() {
#ifdef GRIDFLIP_HAVE_LIBDW
    if (session_ != nullptr) dwfl_end(session_);
#endif
  }
  Symboliser(const Symboliser&) = delete;
  Symboliser& operator=(const Symboliser&) = delete;

  FrameText describe(void* address) {
    FrameText text;
    const auto where = reinterpret_cast<std::uintptr_t>(address);
#ifdef GRIDFLIP_HAVE_LIBDW
    if (session_ != nullptr) {
      if (Dwfl_Module* module = dwfl_addrmodule(session_, where)) {
        if (const char* name = dwfl_module_addrname(module, where)) text.name = demangle(name);
        if (Dwfl_Line* line = dwfl_module_getsrc(module, where)) {
          int number = 0;
          if (const char* file = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr)) {
            text.file = file;
            text.line = number;
          }
        }
        if (text.name != "<unknown>") return text;
      }
    }
#endif
    Dl_info info{};
    if (dladdr(address, &info) != 0 && info.dli_sname != nullptr) text.name = demangle(info.dli_sname);
    return text;
  }

 private:
#ifdef GRIDFLIP_HAVE_LIBDW
  Dwfl* session_ = nullptr;
#endif
};

bool is_reporting_frame(const std::string& name) {
  for (const char* prefix : {"gridflip::write_", "gridflip::abort_", "gridflip::resume_abort",
                             "gridflip::fail_", "gridflip::BoundaryGuard::trip", "gridflip::(anonymous namespace)::start_abort"}) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

bool is_entry_frame(const std::string& name) {
  return name.find("mutate_entry") != std::string::npos ||
         name.find("PyInit_gridflip") != std::string::npos;
}

void write_entry(int index, const FrameText& text) {
  std::string entry(index < 10 ? "   " : (index < 100 ? "  " : " "));
  entry += number_text(static_cast<std::uint64_t>(index));
  entry += ": ";
  entry += text.name;
  entry += '\n';
  if (!text.file.empty()) {
    entry += "             at ";
    entry += text.file;
    entry += ':';
    entry += number_text(static_cast<std::uint64_t>(text.line));
    entry += '\n';
  }
  write_stderr(entry);
}

}  // namespace

void write_backtrace(BacktraceMode mode, int skip_frames) noexcept {
  try {
    void* frames[max_frames];
    const int count = ::backtrace(frames, max_frames);
    Symboliser symbols;
    int index = 0;
    bool leading = true;
    for (int i = 0; i < count; ++i) {
      // Return addresses point past the call; step back into it for the line.
      void* address = i == 0 ? frames[i] : static_cast<char*>(frames[i]) - 1;
      FrameText text = symbols.describe(address);
      if (mode == BacktraceMode::short_form) {
        if (leading && (i < skip_frames || is_reporting_frame(text.name))) continue;
        leading = false;
      }
      write_entry(index++, text);
      if (mode == BacktraceMode::short_form && is_entry_frame(text.name) && i + 1 < count) {
        const int omitted = count - i - 1;
        write_stderr("      [... omitted " + number_text(static_cast<std::uint64_t>(omitted)) +
                     (omitted > 1 ? " frames ...]\n" : " frame ...]\n"));
        break;
      }
    }
  } catch (...) {
    // A backtrace is a courtesy; a failure to build one ends it quietly.
  }
}

}  // namespace gridflip
