// Line-feed search over the mapped text. Never fails; never reads outside
// [from, length).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace gridflip {

// The offset of the first line feed at or after `from`, or `length` when there is none.
inline std::size_t find_line_feed(const std::uint8_t* base, std::size_t from,
                                  std::size_t length) noexcept {
  const void* found = std::memchr(base + from, '\n', length - from);
  return found == nullptr ? length
                          : static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - base);
}

}  // namespace gridflip
