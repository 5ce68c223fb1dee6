// Line feeds of the mapped text, in order. Never fails; never reads outside
// [0, length).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace gridflip {

// Hands out the text's line feeds one after another. A search per line would
// chain every line's search on the previous one's result; instead each 64-byte
// block is turned into a bit mask once, and the next line feed is the mask's
// lowest bit. Only the block under the cursor is held, so bytes further on are
// read when they are reached.
class LineFeeds {
 public:
  LineFeeds(const std::uint8_t* base, std::size_t length) noexcept
      : base_(base), length_(length), block_(0), mask_(length > 0 ? block_mask(0) : 0) {}

  // The first line feed after the one returned last (the first of the text at
  // the start), or `length` when there is none.
  std::size_t next() noexcept {
    while (mask_ == 0) {
      if (block_ + block_size >= length_) return length_;
      block_ += block_size;
      mask_ = block_mask(block_);
    }
    const std::size_t feed = block_ + static_cast<std::size_t>(__builtin_ctzll(mask_));
    mask_ &= mask_ - 1;
    return feed;
  }

 private:
  static constexpr std::size_t block_size = 64;

  // Bit i is set when byte block + i is a line feed.
  std::uint64_t block_mask(std::size_t block) const noexcept {
    const std::uint8_t* bytes = base_ + block;
    std::uint8_t tail[block_size];
    const std::size_t available = length_ - block;
    if (available < block_size) {
      // The last, short block: a zeroed copy, so no read passes the end.
      std::memset(tail, 0, sizeof tail);
      std::memcpy(tail, bytes, available);
      bytes = tail;
    }
#if defined(__SSE2__)
    const __m128i feed = _mm_set1_epi8('\n');
    const auto* lanes = reinterpret_cast<const __m128i*>(bytes);
    auto lane_mask = [&](int lane) {
      return static_cast<std::uint64_t>(static_cast<std::uint32_t>(
          _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(lanes + lane), feed))));
    };
    return lane_mask(0) | lane_mask(1) << 16 | lane_mask(2) << 32 | lane_mask(3) << 48;
#else
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < block_size; ++i) {
      mask |= std::uint64_t{bytes[i] == '\n'} << i;
    }
    return mask;
#endif
  }

  const std::uint8_t* base_;
  std::size_t length_;
  std::size_t block_;
  std::uint64_t mask_;
};

}  // namespace gridflip
