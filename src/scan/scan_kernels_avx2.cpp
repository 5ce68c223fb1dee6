// The scan kernels in AVX2 (this file alone is built with -mavx2): 32-byte compares for the
// tile search, four draws per compare for the flip decisions. Neither fails or allocates.
#include "scan/scan_kernels_impl.hpp"

#include <immintrin.h>

namespace gridflip {
namespace {

using scan_detail::block_bytes;
using scan_detail::ByteMasks;

struct Avx2Bytes {
  static std::uint64_t equal_mask(__m256i low, __m256i high, __m256i wanted) noexcept {
    const auto low_bits =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, wanted)));
    const auto high_bits =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, wanted)));
    return std::uint64_t{high_bits} << 32 | low_bits;
  }

  static ByteMasks classify(const std::uint8_t* bytes) noexcept {
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 32));
    return {equal_mask(low, high, _mm256_set1_epi8('\n')),
            equal_mask(low, high, _mm256_set1_epi8('.'))};
  }

  // Any difference between the body's line feeds and the pattern's is left set in `differs`.
  // The body is 27.5 vectors long: the last compare overlaps the one before it. Four
  // accumulators keep the chain of ors short.
  static bool rows_regular(const std::uint8_t* body) noexcept {
    const __m256i feed = _mm256_set1_epi8('\n');
    const std::uint8_t* pattern = scan_detail::row_pattern.bytes.data();
    auto difference = [&](std::size_t at) {
      const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(body + at));
      const __m256i expected = _mm256_load_si256(reinterpret_cast<const __m256i*>(pattern + at));
      return _mm256_xor_si256(_mm256_cmpeq_epi8(chunk, feed), expected);
    };
    __m256i differs[4] = {
        difference(0), difference(32), difference(64),
        _mm256_xor_si256(
            _mm256_cmpeq_epi8(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(body + tile_body_bytes - 32)),
                feed),
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pattern + tile_body_bytes - 32)))};
#pragma GCC unroll 24
    for (std::size_t at = 96; at + 32 <= tile_body_bytes; at += 32) {
      differs[at / 32 % 4] = _mm256_or_si256(differs[at / 32 % 4], difference(at));
    }
    const __m256i all = _mm256_or_si256(_mm256_or_si256(differs[0], differs[1]),
                                        _mm256_or_si256(differs[2], differs[3]));
    return _mm256_testz_si256(all, all) != 0;
  }
};

// (x >> 12) < threshold as a signed compare: both sides are below 2^53.
void decide_flips_avx2(const std::uint32_t* words, std::size_t draws, std::uint64_t threshold,
                       std::uint64_t* masks) noexcept {
  const __m256i limit = _mm256_set1_epi64x(static_cast<long long>(threshold));
  for (std::size_t first = 0; first < draws; first += 64) {
    const std::size_t end = draws - first < 64 ? draws : first + 64;
    std::uint64_t mask = 0;
    std::size_t i = first;
    for (; i + 4 <= end; i += 4) {
      const __m256i four = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + 2 * i));
      const __m256i flip = _mm256_cmpgt_epi64(limit, _mm256_srli_epi64(four, 12));
      const auto bits = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(flip)));
      mask |= std::uint64_t{bits} << (i % 64);
    }
    masks[first / 64] = mask | decide_flips_one_by_one(words, i, end, threshold);
  }
}

}  // namespace

const ScanKernels scan_detail::avx2_kernels = {&scan_detail::find_logic_tile<Avx2Bytes>,
                                               &decide_flips_avx2};

}  // namespace gridflip
