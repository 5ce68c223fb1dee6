// The choice of block function for this CPU, made once.
#include "random/chacha12.hpp"

#include "base/dispatch.hpp"

#include <iterator>

namespace gridflip {
namespace {

// A refill from four calls of a four-block function.
template <void (*four_blocks)(KeystreamCore&, std::span<std::uint32_t, 64>) noexcept>
void sixteen_from_four(KeystreamCore& core, std::span<std::uint32_t, 256> words) noexcept {
  four_blocks(core, words.subspan<0, 64>());
  four_blocks(core, words.subspan<64, 64>());
  four_blocks(core, words.subspan<128, 64>());
  four_blocks(core, words.subspan<192, 64>());
}

#if defined(__x86_64__)
void sixteen_blocks_avx2(KeystreamCore& core, std::span<std::uint32_t, 256> words) noexcept {
  chacha12_eight_blocks_avx2(core, words.subspan<0, 128>());
  chacha12_eight_blocks_avx2(core, words.subspan<128, 128>());
}
#endif

// The kernels of each path this build has.
constexpr Chacha12Kernels portable_kernels{&sixteen_from_four<&chacha12_four_blocks>};
#if defined(__x86_64__)
constexpr Chacha12Kernels sse2_kernels{&sixteen_from_four<&chacha12_four_blocks_sse2>};
constexpr Chacha12Kernels avx2_kernels{&sixteen_blocks_avx2};
constexpr Chacha12Kernels avx512_kernels{&chacha12_sixteen_blocks_avx512};
#endif

// In the order of Chacha12Path. On the AMD EPYC (Zen 3) of benchmarks/keystream/README.md each
// of portable, sse2 and avx2 beats the ones before it; on an AMD EPYC with AVX-512, the
// sixteen-block avx512 kernel gave 11.72 GB/s against 4.77 GB/s for avx2 (refills of the
// generator: 10.83 against 4.77), so avx512 stays last.
constexpr KernelPath<Chacha12Kernels> chacha12_table[] = {
    {"portable", InstructionSet::baseline, &portable_kernels},
#if defined(__x86_64__)
    {"sse2", InstructionSet::sse2, &sse2_kernels},
    {"avx2", InstructionSet::avx2, &avx2_kernels},
    {"avx512", InstructionSet::avx512f, &avx512_kernels},
#else
    {"sse2", InstructionSet::sse2, nullptr},
    {"avx2", InstructionSet::avx2, nullptr},
    {"avx512", InstructionSet::avx512f, nullptr},
#endif
};
static_assert(std::size(chacha12_table) == std::size(chacha12_paths));

}  // namespace

const Chacha12Kernels* chacha12_kernels(Chacha12Path path) noexcept {
  return kernel_path(chacha12_table, path).kernels;
}

bool chacha12_path_supported(Chacha12Path path) noexcept {
  return kernel_path_supported(chacha12_table, path);
}

Chacha12Path selected_chacha12_path() noexcept {
  static const Chacha12Path path = last_supported_path<Chacha12Path>(chacha12_table);
  return path;
}

const Chacha12Kernels& selected_chacha12_kernels() noexcept {
  static const Chacha12Kernels& kernels = *chacha12_kernels(selected_chacha12_path());
  return kernels;
}

const char* chacha12_path_name(Chacha12Path path) noexcept {
  return kernel_path(chacha12_table, path).name;
}

}  // namespace gridflip
