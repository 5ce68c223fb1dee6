// The module's own allocations: an allocation that fails ends the process with a
// one-line report instead of throwing through code that does not expect it.
#include "report/report.hpp"

#include "report/number_text.hpp"

#include <cstdlib>
#include <new>

namespace gridflip {

[[noreturn]] void fail_allocation(std::size_t size) noexcept {
  // One write, so that the line is not split by another thread's output.
  char line[64];
  char* end = line;
  const NumberText digits(size);
  for (std::string_view piece : {std::string_view("memory allocation of "), digits.view(),
                                 std::string_view(" bytes failed\n")}) {
    for (char c : piece) *end++ = c;
  }
  write_final_stderr(std::string_view(line, static_cast<std::size_t>(end - line)));
  terminate_process();
}

}  // namespace gridflip

// The version script keeps these local to the module, so only its own code uses them.
void* operator new(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) gridflip::fail_allocation(size);
  return block;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

void* operator new(std::size_t size, std::align_val_t alignment) {
  const auto align = static_cast<std::size_t>(alignment);
  // aligned_alloc wants a size that is a multiple of the alignment.
  const std::size_t rounded = (size + align - 1) / align * align;
  void* block = std::aligned_alloc(align, rounded == 0 ? align : rounded);
  if (block == nullptr) gridflip::fail_allocation(size);
  return block;
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return ::operator new(size, alignment);
}
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
