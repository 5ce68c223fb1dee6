// Backtrace entries for abort reports: the stack unwound through the C++ runtime's
// unwinder, each frame named by the built-in symboliser or located by object and offset.
#include "report/backtrace_symbols.hpp"
#include "report/number_text.hpp"
#include "report/report.hpp"

#include <cxxabi.h>
#include <unwind.h>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace gridflip {
namespace {

constexpr int max_frames = 128;

struct Stack {
  std::uintptr_t pcs[max_frames];
  int count = 0;
};

_Unwind_Reason_Code record_frame(_Unwind_Context* context, void* data) {
  auto& stack = *static_cast<Stack*>(data);
  int before_instruction = 0;
  std::uintptr_t pc = _Unwind_GetIPInfo(context, &before_instruction);
  if (pc == 0) return _URC_END_OF_STACK;
  // A return address points past its call; step back into it so the call's own
  // line is named. A signal frame's address is the interrupted instruction itself.
  if (before_instruction == 0) --pc;
  stack.pcs[stack.count++] = pc;
  return stack.count == max_frames ? _URC_END_OF_STACK : _URC_NO_REASON;
}

std::string demangle(const std::string& name) {
  if (name.empty()) return "<unknown>";
  int status = 0;
  char* plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || plain == nullptr) return name;
  std::string result(plain);
  std::free(plain);
  return result;
}

// The bare function name of a demangled one: no namespaces, template arguments
// or parameters. Debug information may give either form of the same function.
std::string_view base_name(std::string_view name) {
  constexpr std::string_view anonymous = "(anonymous namespace)";
  std::size_t end = 0;
  while (end < name.size() && name[end] != '<' &&
         (name[end] != '(' || name.substr(end, anonymous.size()) == anonymous)) {
    end += name[end] == '(' ? anonymous.size() : 1;
  }
  name = name.substr(0, end);
  const std::size_t scope = name.rfind("::");
  return scope == std::string_view::npos ? name : name.substr(scope + 2);
}

bool is_reporting_frame(const std::string& name) {
  if (name.find("::") != std::string::npos && name.rfind("gridflip::", 0) != 0) return false;
  const std::string_view base = base_name(name);
  for (std::string_view prefix : {"write_", "abort_", "fail_"}) {
    if (base.substr(0, prefix.size()) == prefix) return true;
  }
  return base == "start_abort" || base == "resume_abort" || base == "trip";
}

bool is_entry_frame(const std::string& name) {
  const std::string_view base = base_name(name);
  return base == "mutate_entry" || base == "PyInit_gridflip";
}

void append_entry(std::string& text, int index, const std::string& name, const std::string& where) {
  text += index < 10 ? "   " : (index < 100 ? "  " : " ");
  text += NumberText(index).view();
  text += ": ";
  text += name;
  text += '\n';
  if (!where.empty()) {
    text += "             ";
    text += where;
    text += '\n';
  }
}

}  // namespace

std::string backtrace_entries(BacktraceMode mode, int skip_frames) noexcept {
  std::string text;
  try {
    Stack stack;
    _Unwind_Backtrace(record_frame, &stack);
    int index = 0;
    bool leading = true;
    std::vector<FrameText> entries;
    for (int i = 0; i < stack.count; ++i) {
      entries.clear();
      describe_code(stack.pcs[i], entries);
      if (entries.empty()) entries.emplace_back();
      // The outermost name decides: a frame is the machinery's own, or an entry point.
      const std::string outer = demangle(entries.back().name);
      if (mode == BacktraceMode::short_form) {
        if (leading && (i < skip_frames || is_reporting_frame(outer))) continue;
        leading = false;
      }
      for (std::size_t k = 0; k < entries.size(); ++k) {
        const FrameText& frame = entries[k];
        std::string where;
        if (!frame.file.empty()) {
          where = "at " + frame.file + ":" + std::string(NumberText(frame.line).view());
        } else if (k + 1 == entries.size()) {
          // Without a line, the object and offset let addr2line name the code later.
          const std::string object = locate_code(stack.pcs[i]);
          if (!object.empty()) where = "in " + object;
        }
        append_entry(text, index++, demangle(frame.name), where);
      }
      if (mode == BacktraceMode::short_form && is_entry_frame(outer) && i + 1 < stack.count) {
        const int omitted = stack.count - i - 1;
        text += "      [... omitted ";
        text += NumberText(omitted).view();
        text += omitted > 1 ? " frames ...]\n" : " frame ...]\n";
        break;
      }
    }
  } catch (...) {
    // A backtrace is a courtesy; a failure to build one ends it quietly.
  }
  return text;
}

}  // namespace gridflip
