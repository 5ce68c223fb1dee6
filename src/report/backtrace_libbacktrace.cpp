// The symboliser of GCC's libbacktrace, linked statically: function names and
// file:line from DWARF where present, and names from the ELF symbol table.
#include "report/backtrace_symbols.hpp"

#include <backtrace.h>

#include <new>

namespace gridflip {
namespace {

// Missing debug information or symbols are expected (stripped objects, the
// interpreter's own build): such frames fall back to their object and offset.
void ignore_error(void*, const char*, int) {}

backtrace_state* process_state() {
  // A state cannot be freed and caches what it has read, so there is one per
  // process, made by the first backtrace. Null when creation failed.
  static backtrace_state* const state = backtrace_create_state(nullptr, 1, ignore_error, nullptr);
  return state;
}

struct Lookup {
  std::vector<FrameText>& entries;
  bool out_of_memory = false;

  void add(const char* name, const char* file, int line) noexcept {
    // libbacktrace is C: nothing may unwind through its frames.
    try {
      entries.push_back({name != nullptr ? name : "", file != nullptr ? file : "", line});
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
  }
};

int add_line(void* data, std::uintptr_t, const char* file, int line, const char* function) {
  if (file != nullptr || function != nullptr) static_cast<Lookup*>(data)->add(function, file, line);
  return 0;
}

void add_symbol(void* data, std::uintptr_t, const char* symbol, std::uintptr_t, std::uintptr_t) {
  if (symbol != nullptr) static_cast<Lookup*>(data)->add(symbol, nullptr, 0);
}

}  // namespace

void describe_code(std::uintptr_t pc, std::vector<FrameText>& entries) {
  backtrace_state* state = process_state();
  if (state == nullptr) return;
  const std::size_t first = entries.size();
  Lookup lines{entries};
  backtrace_pcinfo(state, pc, add_line, ignore_error, &lines);
  // The symbol table names the holding function in full (namespaces, parameters),
  // where debug information often has only its bare name, and it survives stripping.
  std::vector<FrameText> symbol;
  Lookup symbols{symbol};
  backtrace_syminfo(state, pc, add_symbol, ignore_error, &symbols);
  if (lines.out_of_memory || symbols.out_of_memory) throw std::bad_alloc();
  if (symbol.empty()) return;
  if (entries.size() == first) {
    entries.push_back(std::move(symbol.front()));
  } else {
    entries.back().name = std::move(symbol.front().name);
  }
}

}  // namespace gridflip
