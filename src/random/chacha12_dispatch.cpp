// The choice of block function for this CPU, made once, and the dispatching entry point.
#include "random/chacha12.hpp"

#include "base/cpu_features.hpp"

namespace gridflip {
namespace {

bool cpu_runs(Chacha12Path path) noexcept {
  switch (path) {
    case Chacha12Path::avx512: return cpu_runs_avx512f();
    case Chacha12Path::avx2: return cpu_runs_avx2();
#if defined(__x86_64__)
    case Chacha12Path::sse2: return true;
#else
    case Chacha12Path::sse2: return false;
#endif
    case Chacha12Path::portable: return true;
  }
  return false;
}

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

struct Chacha12Choice {
  Chacha12Path path;
  Chacha12SixteenBlocks run;
};

// The last supported path in chacha12_paths wins. On the CPU in benchmarks/keystream/README.md
// each of portable, sse2 and avx2 beats the ones before it; avx512 is last untimed (no
// AVX-512 machine was at hand), which that README says how to check.
Chacha12Choice& chacha12_choice() noexcept {
  static Chacha12Choice choice = [] {
    Chacha12Path path = Chacha12Path::portable;
    for (Chacha12Path candidate : chacha12_paths) {
      if (chacha12_path_supported(candidate)) path = candidate;
    }
    return Chacha12Choice{path, chacha12_implementation(path)};
  }();
  return choice;
}

}  // namespace

void chacha12_sixteen_blocks(KeystreamCore& core, std::span<std::uint32_t, 256> words) noexcept {
  chacha12_choice().run(core, words);
}

bool chacha12_path_supported(Chacha12Path path) noexcept {
  return chacha12_implementation(path) != nullptr && cpu_runs(path);
}

Chacha12SixteenBlocks chacha12_implementation(Chacha12Path path) noexcept {
  switch (path) {
    case Chacha12Path::portable: return &sixteen_from_four<&chacha12_four_blocks>;
#if defined(__x86_64__)
    case Chacha12Path::sse2: return &sixteen_from_four<&chacha12_four_blocks_sse2>;
    case Chacha12Path::avx2: return &sixteen_blocks_avx2;
    case Chacha12Path::avx512: return &chacha12_sixteen_blocks_avx512;
#else
    default: break;
#endif
  }
  return nullptr;
}

Chacha12Path chacha12_selected_path() noexcept { return chacha12_choice().path; }

void chacha12_select_path(Chacha12Path path) noexcept {
  chacha12_choice() = Chacha12Choice{path, chacha12_implementation(path)};
}

const char* chacha12_path_name(Chacha12Path path) noexcept {
  switch (path) {
    case Chacha12Path::portable: return "portable";
    case Chacha12Path::sse2: return "sse2";
    case Chacha12Path::avx2: return "avx2";
    case Chacha12Path::avx512: return "avx512";
  }
  return "unknown";
}

}  // namespace gridflip
