// The scan kernels written once over a policy that classifies 64 bytes at a time. Each kernel
// file includes this header and instantiates it under its own instruction set; everything
// here has internal linkage, so no copy built for one instruction set can be the one the
// linker keeps for another file. None of these functions fails or allocates.
#pragma once

#include "scan/scan_kernels.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace gridflip::scan_detail {

// Each path's kernels, defined in its own file; the dispatcher picks one.
extern const ScanKernels portable_kernels;
#if defined(__x86_64__)
extern const ScanKernels sse2_kernels;
extern const ScanKernels avx2_kernels;
#endif

namespace {

inline constexpr std::size_t block_bytes = 64;

// Bit i is set when byte i of a 64-byte block is a line feed, or a '.'.
struct ByteMasks {
  std::uint64_t feeds;
  std::uint64_t dots;
};

// Byte i is 0xFF where a regular tile body has a line feed, 0 elsewhere: what comparing the body
// with '\n' byte by byte gives. Padded to whole 64-byte blocks with zeros.
struct RowPattern {
  alignas(64) std::array<std::uint8_t, 14 * block_bytes> bytes;
};

constexpr RowPattern make_row_pattern() noexcept {
  RowPattern pattern{};
  for (std::size_t i = 0; i < tile_body_bytes; ++i) {
    pattern.bytes[i] = i % row_stride == row_bits ? 0xFF : 0;
  }
  return pattern;
}

inline constexpr RowPattern row_pattern = make_row_pattern();
static_assert(tile_body_bytes <= sizeof(RowPattern::bytes));

// The masks of the `count` (< 64) bytes at `bytes`, the rest of the block read as zeros (neither a
// line feed nor a '.'), so that nothing past the end of the text is read.
template <class Bytes>
[[gnu::noinline]] ByteMasks classify_tail(const std::uint8_t* bytes, std::size_t count) noexcept {
  alignas(64) std::uint8_t tail[block_bytes] = {};
  std::memcpy(tail, bytes, count);
  return Bytes::classify(tail);
}

template <class Bytes>
[[gnu::always_inline]] inline ByteMasks classify_at(const std::uint8_t* base, std::size_t at,
                                                    std::size_t length) noexcept {
  return length - at >= block_bytes ? Bytes::classify(base + at)
                                    : classify_tail<Bytes>(base + at, length - at);
}

// The tile whose header line starts at `header`, found in the block at `at` whose line feeds are
// `feeds`.
template <class Bytes>
TileLines tile_at(const std::uint8_t* base, std::size_t length, std::size_t header, std::size_t at,
                  std::uint64_t feeds) noexcept {
  // The header's line feed: a later bit of this block, or in a block further on.
  std::uint64_t later = feeds & (~std::uint64_t{1} << (header - at));
  while (later == 0) {
    at += block_bytes;
    if (at >= length) return {header, length, false};
    later = classify_at<Bytes>(base, at, length).feeds;
  }
  const std::size_t body = at + static_cast<std::size_t>(__builtin_ctzll(later)) + 1;
  const bool regular = length - body >= tile_body_bytes && Bytes::rows_regular(base + body);
  return {header, body, regular};
}

// A line can start a tile only with a '.', so only the line starts that hold one are compared
// with the tag; the lines in between cost no more than the classification of their bytes.
template <class Bytes>
TileLines find_logic_tile(const std::uint8_t* base, std::size_t length, std::size_t from) noexcept {
  std::uint64_t carry = 1;  // `from` starts a line
  for (std::size_t at = from; at < length; at += block_bytes) {
    const ByteMasks masks = classify_at<Bytes>(base, at, length);
    std::uint64_t candidates = (masks.feeds << 1 | carry) & masks.dots;
    carry = masks.feeds >> 63;
    for (; candidates != 0; candidates &= candidates - 1) {
      const std::size_t header = at + static_cast<std::size_t>(__builtin_ctzll(candidates));
      if (length - header >= tag_length &&
          std::memcmp(base + header, logic_tile_tag, tag_length) == 0) {
        return tile_at<Bytes>(base, length, header, at, masks.feeds);
      }
    }
  }
  return {length, length, false};
}

}  // namespace
}  // namespace gridflip::scan_detail
