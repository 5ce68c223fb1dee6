// The choice of block function for this CPU, made once, and the dispatching entry point.
#include "random/chacha12.hpp"

namespace gridflip {
namespace {

Chacha12Path detect_chacha12_path() noexcept {
#if defined(__x86_64__)
  // The check may run before libgcc's own constructor has filled in the CPU model.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return Chacha12Path::avx512;
  if (__builtin_cpu_supports("avx2")) return Chacha12Path::avx2;
  return Chacha12Path::sse2;
#else
  return Chacha12Path::portable;
#endif
}

struct Chacha12Choice {
  Chacha12Path path;
  Chacha12FourBlocks run;
};

const Chacha12Choice& chacha12_choice() noexcept {
  static const Chacha12Choice choice = [] {
    const Chacha12Path path = detect_chacha12_path();
    return Chacha12Choice{path, chacha12_implementation(path)};
  }();
  return choice;
}

}  // namespace

void chacha12_four_blocks(KeystreamCore& core, std::uint32_t (&words)[64]) noexcept {
  chacha12_choice().run(core, words);
}

bool chacha12_path_supported(Chacha12Path path) noexcept {
  if (chacha12_implementation(path) == nullptr) return false;
#if defined(__x86_64__)
  __builtin_cpu_init();
  switch (path) {
    case Chacha12Path::avx512: return __builtin_cpu_supports("avx512f") != 0;
    case Chacha12Path::avx2: return __builtin_cpu_supports("avx2") != 0;
    case Chacha12Path::sse2:
    case Chacha12Path::portable: return true;
  }
#endif
  return path == Chacha12Path::portable;
}

Chacha12FourBlocks chacha12_implementation(Chacha12Path path) noexcept {
  switch (path) {
    case Chacha12Path::portable: return &chacha12_four_blocks_portable;
#if defined(__x86_64__)
    case Chacha12Path::sse2: return &chacha12_four_blocks_sse2;
    case Chacha12Path::avx2: return &chacha12_four_blocks_avx2;
    case Chacha12Path::avx512: return &chacha12_four_blocks_avx512;
#else
    default: break;
#endif
  }
  return nullptr;
}

Chacha12Path chacha12_selected_path() noexcept { return chacha12_choice().path; }

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
