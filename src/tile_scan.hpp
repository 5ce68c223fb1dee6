// The logic-tile scan: finds every logic tile of an iCE40 ASCII text and draws
// at the requested positions. Pure over a byte range and a draw source, so the
// pass, the fuzzer and the tests share it. Aborts only with the index message
// and the malformed-tile message.
#pragma once

#include "binding/call_abort.hpp"
#include "line_search.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <source_location>
#include <span>
#include <string>

namespace gridflip {

inline constexpr std::size_t row_bits = 54;
inline constexpr std::size_t row_stride = row_bits + 1;  // and a line feed
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

// Refuses the logic tile whose header line starts at `header`: its row `row`,
// from `row_start` to the line feed at `feed`, is not 54 bytes long. Off the
// hot path: the header's line number is counted only here.
[[noreturn]] [[gnu::cold]] [[gnu::noinline]] inline void abort_malformed_tile(
    std::span<const std::uint8_t> bytes, std::size_t header, int row, std::size_t row_start,
    std::size_t feed, std::source_location where = std::source_location::current()) {
  std::size_t line = 1;
  for (std::size_t at = 0; at < header; ++at) line += bytes[at] == '\n';
  std::string message =
      "malformed logic tile at line " + std::to_string(line) + ": row " + std::to_string(row);
  if (feed > row_start && bytes[feed - 1] == '\r') {
    message += " ends in a carriage return; convert the file to LF line ends";
  } else {
    message += " is " + std::to_string(feed - row_start) + " bytes long, not 54";
  }
  abort_call(std::move(message), where);
}

// One pass over `bytes`. `draw()` yields the next 64-bit draw of the stream.
// Rows must lie in 0 to 15 and columns in 0 to 53 (mutate refuses others before
// the file is opened): then, with every row line of a tile checked before its
// first draw, no flip can land on a line feed.
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
    const std::size_t header = cursor;
    const std::size_t header_feed = feeds.next();
    const std::size_t body = header_feed == length ? length : header_feed + 1;
    // The 16 row lines, before any draw: a tile with a row of the wrong length
    // is refused whole. A tile cut short by the end of the file is not refused;
    // its draws past the end meet the index abort.
    cursor = body;
    bool file_ends = false;
    for (int row = 0; row < tile_rows && cursor < length; ++row) {
      const std::size_t feed = feeds.next();
      if (feed == length) {
        file_ends = true;
        break;
      }
      if (visits && feed - cursor != row_bits) [[unlikely]] {
        abort_malformed_tile(bytes, header, row, cursor, feed);
      }
      cursor = feed + 1;
    }
    if (visits) {
      for (const std::uint8_t column : columns) {
        for (const std::uint8_t row : rows) {
          if (!flips(draw(), threshold)) continue;
          const std::size_t index = body + row_stride * row + column;
          if (index >= length) [[unlikely]] abort_index(index, length);
          base[index] = base[index] == '0' ? '1' : '0';
        }
      }
    }
    if (file_ends) return;
  }
}

}  // namespace gridflip
