// A 64-bit draw from the two keystream words it is made of. Never fails.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace gridflip {
// Internal linkage: vector files built for wider instruction sets include this header too, and
// no copy built for one of them may be the one the linker keeps for another file.
namespace {

// The draw made of pair[0] (its low 32 bits) and pair[1] (its high 32 bits).
[[gnu::always_inline]] inline std::uint64_t read_draw(const std::uint32_t* pair) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t draw;
    std::memcpy(&draw, pair, sizeof draw);
    return draw;
  } else {
    return std::uint64_t{pair[1]} << 32 | pair[0];
  }
}

}  // namespace
}  // namespace gridflip
