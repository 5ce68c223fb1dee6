// A number's digits held in the object itself: for report lines written where allocating is
// unsafe, and the one way the module turns a number into text without a std::string. Never fails.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <string_view>

namespace gridflip {

class NumberText {
 public:
  // `base` is 10 or 16: the buffer holds any 64-bit value in those.
  template <std::integral T>
  explicit NumberText(T value, int base = 10) noexcept
      : length_(static_cast<std::size_t>(
            std::to_chars(digits_, digits_ + sizeof digits_, value, base).ptr - digits_)) {}

  std::string_view view() const noexcept { return {digits_, length_}; }

 private:
  char digits_[24];
  std::size_t length_;
};

}  // namespace gridflip
