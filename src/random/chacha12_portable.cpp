// The portable ChaCha12 block function, and the reference for the others: plain 32-bit
// arithmetic, one block at a time.
#include "random/chacha12.hpp"

namespace gridflip {
namespace {

inline std::uint32_t rotate_left(std::uint32_t value, int count) noexcept {
  return value << count | value >> (32 - count);
}

inline void quarter_round(std::uint32_t (&x)[16], int a, int b, int c, int d) noexcept {
  x[a] += x[b];
  x[d] = rotate_left(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = rotate_left(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = rotate_left(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = rotate_left(x[b] ^ x[c], 7);
}

}  // namespace

void chacha12_four_blocks(KeystreamCore& core, std::span<std::uint32_t, 64> words) noexcept {
  using namespace chacha12_detail;
  const std::uint64_t first = block_number(core);
  for (int block = 0; block < 4; ++block) {
    const std::uint64_t number = first + static_cast<std::uint64_t>(block);
    const std::uint32_t input[16] = {sigma[0],
                                     sigma[1],
                                     sigma[2],
                                     sigma[3],
                                     core.key[0],
                                     core.key[1],
                                     core.key[2],
                                     core.key[3],
                                     core.key[4],
                                     core.key[5],
                                     core.key[6],
                                     core.key[7],
                                     static_cast<std::uint32_t>(number),
                                     static_cast<std::uint32_t>(number >> 32),
                                     core.nonce[0],
                                     core.nonce[1]};
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = input[i];
    for (int round = 0; round < double_rounds; ++round) {
      quarter_round(x, 0, 4, 8, 12);
      quarter_round(x, 1, 5, 9, 13);
      quarter_round(x, 2, 6, 10, 14);
      quarter_round(x, 3, 7, 11, 15);
      quarter_round(x, 0, 5, 10, 15);
      quarter_round(x, 1, 6, 11, 12);
      quarter_round(x, 2, 7, 8, 13);
      quarter_round(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) words[16 * block + i] = x[i] + input[i];
  }
  set_block_number(core, first + 4);
}

}  // namespace gridflip
