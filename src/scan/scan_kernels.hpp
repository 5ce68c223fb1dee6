// The logic-tile scan's two vector kernels, one implementation per instruction set, chosen
// once: finding the next logic tile in the text, and the flip decisions of a run of draws.
// None of these functions fails or allocates, and none reads outside the ranges it is given.
#pragma once

#include "random/draw_pair.hpp"

#include <cstddef>
#include <cstdint>

namespace gridflip {

inline constexpr std::size_t row_bits = 54;
inline constexpr std::size_t row_stride = row_bits + 1;  // and a line feed
inline constexpr int tile_rows = 16;
inline constexpr std::size_t tile_body_bytes = tile_rows * row_stride;
inline constexpr char logic_tile_tag[] = ".logic_tile";
inline constexpr std::size_t tag_length = sizeof(logic_tile_tag) - 1;

// Internal linkage for what the kernel files share: they are built for wider instruction sets,
// and no copy built for one of them may be the one the linker keeps for another file.
namespace {

// A sample is (x >> 12) * 2^-52 and a position flips unless sample > chance. Both sides are
// exact, so that is (x >> 12) < threshold for the threshold flip_threshold gives.
[[gnu::always_inline]] inline bool flips(std::uint64_t draw, std::uint64_t threshold) noexcept {
  return (draw >> 12) < threshold;
}

}  // namespace

// Where a logic tile lies in the text.
struct TileLines {
  std::size_t header;  // offset of its header line; the text's length when there is no tile
  std::size_t body;    // just past the header's line feed; the text's length when it has none
  // Whether the tile_body_bytes from `body` are 16 row lines of exactly 54 bytes and a line
  // feed each. When false the rows must be walked line by line: the tile is malformed or cut
  // short by the end of the text.
  bool regular;
};

// The first logic tile at or after `from`, which must be the start of a line: the first line
// start that begins with the 11 bytes of ".logic_tile". Reads [from, length) only.
using FindLogicTile = TileLines (*)(const std::uint8_t* base, std::size_t length,
                                    std::size_t from) noexcept;

// The largest run of draws one call of DecideFlips takes.
inline constexpr std::size_t flip_run_draws = 128;

// Flip decisions of `draws` (at most flip_run_draws) consecutive draws, draw i made of
// words[2i] (low) and words[2i + 1] (high): bit i % 64 of masks[i / 64] is set when draw i flips,
// that is when (draw >> 12) < threshold. Bits past `draws` are clear. Reads 2 * draws words.
using DecideFlips = void (*)(const std::uint32_t* words, std::size_t draws, std::uint64_t threshold,
                             std::uint64_t* masks) noexcept;

namespace {

// The flip decisions of draws first to end - 1 in plain C++: bit i % 64 is set when draw i flips.
// The ends of runs, the paths without a vector form, and short runs use it.
[[gnu::always_inline]] inline std::uint64_t decide_flips_one_by_one(
    const std::uint32_t* words, std::size_t first, std::size_t end,
    std::uint64_t threshold) noexcept {
  std::uint64_t mask = 0;
  for (std::size_t i = first; i < end; ++i) {
    mask |= std::uint64_t{flips(read_draw(words + 2 * i), threshold)} << (i % 64);
  }
  return mask;
}

}  // namespace

struct ScanKernels {
  FindLogicTile find_logic_tile;
  DecideFlips decide_flips;
};

// portable is plain C++ for any CPU; sse2 and avx2 are for x86-64. The dispatcher's shape is
// base/dispatch.hpp's.
enum class ScanPath { portable, sse2, avx2 };
inline constexpr ScanPath scan_paths[] = {ScanPath::portable, ScanPath::sse2, ScanPath::avx2};

// The kernels of `path`; null when this build has none.
const ScanKernels* scan_kernels(ScanPath path) noexcept;
// Whether this build and this CPU can run `path`.
bool scan_path_supported(ScanPath path) noexcept;
// The path the module's pass uses on this CPU, chosen once, and its kernels.
ScanPath selected_scan_path() noexcept;
const ScanKernels& selected_scan_kernels() noexcept;
// "portable", "sse2" or "avx2".
const char* scan_path_name(ScanPath path) noexcept;

}  // namespace gridflip
