// The logic-tile scan: finds every logic tile of an iCE40 ASCII text and draws at the requested
// positions. Pure over a byte range and a draw source, so the pass, the fuzzer and the tests
// share it. Never fails itself: it stops at the first drawn position past the end of the text or
// the first malformed tile, and returns that finding for the caller to abort with.
#pragma once

#include "base/result.hpp"
#include "scan/scan_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <variant>

namespace gridflip {

// The threshold of `flips` for a chance: a sample (x >> 12) * 2^-52 is not above the chance
// exactly when x >> 12 is below it. NaN and chances of 1 or more flip always, negative chances
// never.
inline std::uint64_t flip_threshold(float chance) noexcept {
  constexpr std::uint64_t always = std::uint64_t{1} << 52;
  const double widened = static_cast<double>(chance);
  if (std::isnan(widened) || widened >= 1.0) return always;
  if (widened < 0.0) return 0;
  return static_cast<std::uint64_t>(std::floor(std::ldexp(widened, 52))) + 1;
}

// What stops a scan short. The flips made before it stay, and the draws taken are those of a
// draw-by-draw walk up to and including the draw of the position past the end.
struct IndexOutOfRange {
  std::size_t index;   // a drawn position at or past the end of the text
  std::size_t length;  // the text's length
};
struct MalformedTile {
  std::size_t line;        // the tile's header line, counted from 1
  int row;                 // the first row line that is not 54 bytes long
  std::size_t row_length;  // its bytes before its line feed
  bool carriage_return;    // they are 54 bytes and a carriage return: a CRLF line end
};
using ScanFault = std::variant<IndexOutOfRange, MalformedTile>;
using ScanStatus = Status<ScanFault>;

// The abort message of a finding. Only the allocation can throw.
[[gnu::cold]] inline std::string describe_scan_fault(const ScanFault& fault) {
  if (const auto* index = std::get_if<IndexOutOfRange>(&fault)) {
    return "index out of bounds: the len is " + std::to_string(index->length) +
           " but the index is " + std::to_string(index->index);
  }
  const auto& tile = std::get<MalformedTile>(fault);
  std::string message = "malformed logic tile at line " + std::to_string(tile.line) + ": row " +
                        std::to_string(tile.row);
  if (tile.carriage_return) {
    return message + " ends in a carriage return; convert the file to LF line ends";
  }
  return message + " is " + std::to_string(tile.row_length) + " bytes long, not 54";
}

// The finding for the logic tile whose header line starts at `header`: its row `row`, from
// `row_start` to the line feed at `feed`, is not 54 bytes long. Off the hot path: the header's
// line number is counted only here.
[[gnu::cold]] [[gnu::noinline]] inline ScanFault find_malformed_tile(
    std::span<const std::uint8_t> bytes, std::size_t header, int row, std::size_t row_start,
    std::size_t feed) noexcept {
  std::size_t line = 1;
  for (std::size_t at = 0; at < header; ++at) line += bytes[at] == '\n';
  // Only a row whose one extra byte is a carriage return would be mended by LF line ends.
  const bool carriage_return = feed - row_start == row_bits + 1 && bytes[feed - 1] == '\r';
  return MalformedTile{line, row, feed - row_start, carriage_return};
}

// The offset from its tile's body of row i of the row list, two ways: looked up in a table made
// once per scan (the usual lists, of up to 16 rows, spare the multiplication on each flip), or
// computed (longer lists, which can only repeat rows).
inline constexpr std::size_t tabled_rows = tile_rows;
struct TabledRowOffsets {
  const std::uint16_t* offsets;
  std::size_t operator()(std::size_t i) const noexcept { return offsets[i]; }
};
struct ComputedRowOffsets {
  const std::uint8_t* rows;
  std::size_t operator()(std::size_t i) const noexcept { return row_stride * rows[i]; }
};

inline constexpr std::size_t short_run_draws = 8;

// The draws of one tile whose body starts at `body`: one per visit, in visit order (columns
// outer, rows inner: visit v is column v / row_count, row v % row_count). The flip decisions of
// each run of buffered draws are made at once, and only the flips are walked. A flip at or past
// the end of the text stops the visit after its own draw, so the draws taken are exactly those a
// draw-by-draw walk would have taken; its index is returned, and no_index_fault otherwise.
inline constexpr std::size_t no_index_fault = SIZE_MAX;
template <class Draws, class RowOffsets>
[[gnu::always_inline]] inline std::size_t visit_tile(std::span<std::uint8_t> bytes,
                                                     std::size_t body, std::size_t row_count,
                                                     RowOffsets row_offset,
                                                     std::span<const std::uint8_t> columns,
                                                     std::uint64_t threshold, Draws& draws,
                                                     DecideFlips decide_flips) {
  std::uint8_t* const base = bytes.data();
  const std::size_t length = bytes.size();
  std::size_t visits;
  if (__builtin_mul_overflow(row_count, columns.size(), &visits)) visits = SIZE_MAX;
  if (visits == 0) return no_index_fault;
  // The column of the last flip, its first visit, and its bit characters' offset at row 0.
  // Flips come in visit order, so the column only moves forward: by one without a division.
  std::size_t column = 0;
  std::size_t column_first = 0;
  std::size_t column_base = body + columns[0];
  for (std::size_t drawn = 0; drawn < visits;) {
    if (draws.ready() == 0) draws.refill();
    const std::size_t run = std::min({draws.ready(), visits - drawn, flip_run_draws});
    std::uint64_t masks[flip_run_draws / 64];
    // A short run (a sparse call's tile) is decided here: the call would cost more than it.
    if (run <= short_run_draws) {
      masks[0] = decide_flips_one_by_one(draws.words(), 0, run, threshold);
    } else {
      decide_flips(draws.words(), run, threshold, masks);
    }
    for (std::size_t half = 0; half * 64 < run; ++half) {
      for (std::uint64_t mask = masks[half]; mask != 0; mask &= mask - 1) {
        const std::size_t k = half * 64 + static_cast<unsigned>(__builtin_ctzll(mask));
        std::size_t row = drawn + k - column_first;
        if (row >= row_count) [[unlikely]] {
          column += row - row_count < row_count ? 1 : row / row_count;
          column_first = column * row_count;
          column_base = body + columns[column];
          row = drawn + k - column_first;
        }
        const std::size_t index = column_base + row_offset(row);
        if (index >= length) [[unlikely]] {
          draws.take(k + 1);
          return index;
        }
        base[index] = base[index] == '0' ? '1' : '0';
      }
    }
    draws.take(run);
    drawn += run;
  }
  return no_index_fault;
}

// The pass below, with the row list as its offsets in one of the two forms above.
template <class Draws, class RowOffsets>
ScanStatus scan_logic_tiles(std::span<std::uint8_t> bytes, std::size_t row_count,
                            RowOffsets row_offset, std::span<const std::uint8_t> columns,
                            std::uint64_t threshold, Draws& draws, const ScanKernels& kernels) {
  const std::uint8_t* const base = bytes.data();
  const std::size_t length = bytes.size();
  const bool visits = row_count != 0 && !columns.empty();
  std::size_t cursor = 0;
  for (;;) {
    const TileLines tile = kernels.find_logic_tile(base, length, cursor);
    if (tile.header == length) return success;
    bool file_ends = false;
    if (tile.regular) {
      cursor = tile.body + tile_body_bytes;
    } else {
      // Row by row, before any draw: a tile with a row of the wrong length is refused whole. A
      // tile cut short by the end of the file is not refused; its draws past the end meet the
      // index abort.
      cursor = tile.body;
      for (int row = 0; row < tile_rows && cursor < length; ++row) {
        const void* found = std::memchr(base + cursor, '\n', length - cursor);
        if (found == nullptr) {
          file_ends = true;
          break;
        }
        const auto feed = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - base);
        if (visits && feed - cursor != row_bits) [[unlikely]] {
          return find_malformed_tile(bytes, tile.header, row, cursor, feed);
        }
        cursor = feed + 1;
      }
    }
    if (visits) {
      const std::size_t index = visit_tile(bytes, tile.body, row_count, row_offset, columns,
                                           threshold, draws, kernels.decide_flips);
      if (index != no_index_fault) [[unlikely]]
        return ScanFault(IndexOutOfRange{index, length});
    }
    if (file_ends) return success;
  }
}

// One pass over `bytes`, drawing from `draws`: a run-wise draw source, as DrawCursor is (ready,
// words, take, refill), on the kernels of one path (by default the one chosen for this CPU).
// Stops at the first finding and returns it.
// Rows must lie in 0 to 15 and columns in 0 to 53 (mutate refuses others before the file is
// opened): then, with every row line of a tile checked before its first draw, no flip can land
// on a line feed, and no flip changes where a later line starts.
template <class Draws>
ScanStatus scan_logic_tiles(std::span<std::uint8_t> bytes, std::span<const std::uint8_t> rows,
                            std::span<const std::uint8_t> columns, std::uint64_t threshold,
                            Draws& draws, const ScanKernels& kernels = selected_scan_kernels()) {
  if (rows.size() > tabled_rows) {
    return scan_logic_tiles(bytes, rows.size(), ComputedRowOffsets{rows.data()}, columns, threshold,
                            draws, kernels);
  }
  std::uint16_t offsets[tabled_rows];
  for (std::size_t i = 0; i < rows.size(); ++i) {
    offsets[i] = static_cast<std::uint16_t>(row_stride * rows[i]);
  }
  return scan_logic_tiles(bytes, rows.size(), TabledRowOffsets{offsets}, columns, threshold, draws,
                          kernels);
}

}  // namespace gridflip
