// The scan kernels of the x86-64 baseline and of any CPU: plain C++ (portable), and the same
// tile search with SSE2 byte compares (sse2). Neither fails or allocates.
#include "scan/scan_kernels_impl.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace gridflip {
namespace {

using scan_detail::block_bytes;
using scan_detail::ByteMasks;

struct PortableBytes {
  static ByteMasks classify(const std::uint8_t* bytes) noexcept {
    ByteMasks masks{0, 0};
    for (std::size_t i = 0; i < block_bytes; ++i) {
      masks.feeds |= std::uint64_t{bytes[i] == '\n'} << i;
      masks.dots |= std::uint64_t{bytes[i] == '.'} << i;
    }
    return masks;
  }

  static bool rows_regular(const std::uint8_t* body) noexcept {
    for (std::size_t row = 0; row < tile_rows; ++row) {
      const std::uint8_t* line = body + row * row_stride;
      if (line[row_bits] != '\n' || std::memchr(line, '\n', row_bits) != nullptr) return false;
    }
    return true;
  }
};

void decide_flips_portable(const std::uint32_t* words, std::size_t draws, std::uint64_t threshold,
                           std::uint64_t* masks) noexcept {
  for (std::size_t first = 0; first < draws; first += 64) {
    const std::size_t end = draws - first < 64 ? draws : first + 64;
    masks[first / 64] = decide_flips_one_by_one(words, first, end, threshold);
  }
}

#if defined(__x86_64__)
struct Sse2Bytes {
  static std::uint64_t equal_mask(const std::uint8_t* bytes, char value) noexcept {
    const __m128i wanted = _mm_set1_epi8(value);
    std::uint64_t mask = 0;
    for (int lane = 0; lane < 4; ++lane) {
      const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * lane));
      const auto bits =
          static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, wanted)));
      mask |= std::uint64_t{bits} << (16 * lane);
    }
    return mask;
  }

  static ByteMasks classify(const std::uint8_t* bytes) noexcept {
    return {equal_mask(bytes, '\n'), equal_mask(bytes, '.')};
  }

  // Any difference between the body's line feeds and the pattern's is left set in `differs`.
  // Four accumulators keep the chain of ors short.
  static bool rows_regular(const std::uint8_t* body) noexcept {
    const __m128i feed = _mm_set1_epi8('\n');
    const std::uint8_t* pattern = scan_detail::row_pattern.bytes.data();
    __m128i differs[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(),
                          _mm_setzero_si128()};
#pragma GCC unroll 55
    for (std::size_t at = 0; at < tile_body_bytes; at += 16) {
      const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(body + at));
      const __m128i expected = _mm_load_si128(reinterpret_cast<const __m128i*>(pattern + at));
      differs[at / 16 % 4] =
          _mm_or_si128(differs[at / 16 % 4], _mm_xor_si128(_mm_cmpeq_epi8(chunk, feed), expected));
    }
    const __m128i all =
        _mm_or_si128(_mm_or_si128(differs[0], differs[1]), _mm_or_si128(differs[2], differs[3]));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(all, _mm_setzero_si128())) == 0xFFFF;
  }
};
static_assert(tile_body_bytes % 16 == 0);
#endif

}  // namespace

const ScanKernels scan_detail::portable_kernels = {&scan_detail::find_logic_tile<PortableBytes>,
                                                   &decide_flips_portable};

#if defined(__x86_64__)
// SSE2 has no 64-bit compare, so its flip decisions are the plain ones.
const ScanKernels scan_detail::sse2_kernels = {&scan_detail::find_logic_tile<Sse2Bytes>,
                                               &decide_flips_portable};
#endif

}  // namespace gridflip
