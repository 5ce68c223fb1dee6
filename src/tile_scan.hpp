// The logic-tile scan: finds every logic tile of an iCE40 ASCII text and draws
// at the requested positions. Pure over a byte range and a draw source, so the
// pass, the fuzzer and the tests share it. Aborts only with the index message.
#pragma once

#include "binding/call_abort.hpp"
#include "line_search.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace gridflip {

inline constexpr std::size_t row_stride = 55;  // 54 bit characters and a line feed
inline constexpr int tile_rows = 16;
inline constexpr char logic_tile_tag[] = ".logic_tile";
inline constexpr std::size_t tag_length = sizeof(logic_tile_tag) - 1;

// A sample is (x >> 12) * 2^-52 and a position flips unless sample > chance.
// Both sides are exact, so that is (x >> 12) < threshold with the threshold
// below; NaN and chances of 1 or more flip always, negative chances never.
inline std::uint64_t flip_threshold(float chance) noexcept {
  constexpr std::uint64_t always = std::uint64_t{1} << 52;
  const double widened = static_cast<double>(chance);
  if (std::isnan(widened) || widened >= 1.0) return always;
  if (widened < 0.0) return 0;
  return static_cast<std::uint64_t>(std::floor(std::ldexp(widened, 52))) + 1;
}

inline bool flips(std::uint64_t draw, std::uint64_t threshold) noexcept {
  return (draw >> 12) < threshold;
}

// One pass over `bytes`. `draw()` yields the next 64-bit draw of the stream.
template <class DrawWord>
void scan_logic_tiles(std::span<std::uint8_t> bytes, std::span<const std::uint8_t> rows,
                      std::span<const std::uint8_t> columns, std::uint64_t threshold,
                      DrawWord&& draw) {
  std::uint8_t* const base = bytes.data();
  const std::size_t length = bytes.size();
  const bool visits = !rows.empty() && !columns.empty();
  // Every search starts just past the previous line feed (a header's at its
  // second byte, its first being the tag's '.'), so the feeds come in order.
  LineFeeds feeds(base, length);
  std::size_t cursor = 0;
  while (cursor + 10 <= length) {
    const bool tile = length - cursor >= tag_length &&
                      std::memcmp(base + cursor, logic_tile_tag, tag_length) == 0;
    if (!tile) {
      const std::size_t feed = feeds.next();
      if (feed == length) return;
      cursor = feed + 1;
      continue;
    }
    const std::size_t header_feed = feeds.next();
    const std::size_t body = header_feed == length ? length : header_feed + 1;
    cursor = body;
    if (visits) {
      for (const std::uint8_t column : columns) {
        for (const std::uint8_t row : rows) {
          if (!flips(draw(), threshold)) continue;
          const std::size_t index = body + row_stride * row + column;
          if (index >= length) [[unlikely]] abort_index(index, length);
          base[index] = base[index] == '0' ? '1' : '0';
        }
      }
      feeds.reload(cursor);
    }
    for (int skipped = 0; skipped < tile_rows && cursor < length; ++skipped) {
      const std::size_t feed = feeds.next();
      if (feed == length) return;
      cursor = feed + 1;
    }
  }
}

}  // namespace gridflip
