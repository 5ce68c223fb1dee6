// Keystream rate of the generator, per block function and per path, beside OpenSSL's ChaCha20.
#include "random/chacha12.hpp"
#include "random/thread_random.hpp"
#include "test_support.hpp"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace gridflip {
namespace {

KeystreamCore sample_core() {
  KeystreamCore core{};
  for (int i = 0; i < 8; ++i) core.key[i] = 0x9E3779B9u * static_cast<std::uint32_t>(i + 1);
  core.rekey_interval = rekey_interval_bytes;
  core.rekey_budget = rekey_interval_bytes;
  return core;
}

// One call of a block function, bare.
template <std::size_t words_per_call>
void run_block_function(benchmark::State& state,
                        void (*implementation)(KeystreamCore&,
                                               std::span<std::uint32_t, words_per_call>) noexcept) {
  KeystreamCore core = sample_core();
  alignas(64) std::array<std::uint32_t, words_per_call> words;
  for (auto _ : state) {
    implementation(core, words);
    benchmark::DoNotOptimize(words);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * words_per_call * 4);
}

// The thread's generator on the block function of `path` while it lives.
class GeneratorOnPath {
 public:
  explicit GeneratorOnPath(Chacha12Path path) noexcept
      : random_(take_thread_random()), chosen_(random_.generator().kernels) {
    random_.generator().kernels = chacha12_kernels(path);
  }
  GeneratorOnPath(const GeneratorOnPath&) = delete;
  GeneratorOnPath& operator=(const GeneratorOnPath&) = delete;
  ~GeneratorOnPath() { random_.generator().kernels = chosen_; }

  ThreadRandom& random() noexcept { return random_; }

 private:
  ThreadRandom random_;
  const Chacha12Kernels* chosen_;
};

// The generator's own refill, as a draw that finds its buffer used up makes it: budget
// bookkeeping, a rekey from the entropy source every 64 refills, then the block function.
void run_refill_words(benchmark::State& state, Chacha12Path path) {
  GeneratorOnPath on_path(path);
  ThreadRandom& random = on_path.random();
  for (auto _ : state) {
    refill_words(random.generator());
    benchmark::DoNotOptimize(random.generator().words);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * refill_bytes);
}

// Draws as the pass makes them: through a DrawCursor, refills and rekeys included. One
// iteration is one buffer's worth of draws, so the rate is the keystream's as the pass sees it.
void run_cursor_draws(benchmark::State& state, Chacha12Path path) {
  GeneratorOnPath on_path(path);
  ThreadRandom& random = on_path.random();
  std::uint64_t sum = 0;
  for (auto _ : state) {
    DrawCursor cursor(random);
    for (std::size_t i = 0; i < buffer_words / 2; ++i) sum += next_draw(cursor);
    cursor.store();
  }
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * refill_bytes);
  state.counters["ns_per_draw"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * (buffer_words / 2),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// One draw through the handle, as code outside the pass makes it.
void run_draw_word64(benchmark::State& state) {
  ThreadRandom random = take_thread_random();
  for (auto _ : state) benchmark::DoNotOptimize(draw_word64(random));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8);
  state.counters["ns_per_draw"] =
      benchmark::Counter(static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// OpenSSL's ChaCha20 (RFC 8439) through EVP on zero plaintext, one call per iteration.
void run_openssl_chacha20(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  std::uint8_t key[32];
  for (std::size_t i = 0; i < sizeof key; ++i) key[i] = static_cast<std::uint8_t>(i * 29 + 7);
  const std::uint8_t iv[16] = {};  // 32-bit counter, 96-bit nonce
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  if (context == nullptr || EVP_EncryptInit_ex(context, EVP_chacha20(), nullptr, key, iv) != 1) {
    state.SkipWithError("EVP_chacha20 is not available");
    EVP_CIPHER_CTX_free(context);
    return;
  }
  std::vector<std::uint8_t> zeros(length, 0);
  std::vector<std::uint8_t> stream(length, 0);
  int written = 0;
  for (auto _ : state) {
    EVP_EncryptUpdate(context, stream.data(), &written, zeros.data(), static_cast<int>(length));
    benchmark::DoNotOptimize(stream.data());
    benchmark::ClobberMemory();
  }
  EVP_CIPHER_CTX_free(context);
  if (static_cast<std::size_t>(written) != length) state.SkipWithError("short EVP output");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(length));
}

// Prints as usual and keeps each benchmark's rate (the median when repeated) for the table.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  RateReporter() : ConsoleReporter(OO_Tabular) {}

  std::map<std::string, double> rates;
  std::map<std::string, double> ns_per_draw;

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      if (run.error_occurred || !(median || single)) continue;
      const std::string name = run.run_name.str();
      if (const auto found = run.counters.find("bytes_per_second"); found != run.counters.end()) {
        rates[name] = found->second.value;
      }
      if (const auto found = run.counters.find("ns_per_draw"); found != run.counters.end()) {
        ns_per_draw[name] = found->second.value * 1e9;
      }
    }
  }
};

}  // namespace
}  // namespace gridflip

int main(int argc, char** argv) {
  using namespace gridflip;
  const Chacha12Path selected = selected_chacha12_path();
  const std::string selected_name = chacha12_path_name(selected);

  // The block functions, bare, then each path's refill and the generator's own.
  std::vector<std::string> rows;
  auto add = [&rows](const std::string& name, auto function, auto argument) {
    benchmark::RegisterBenchmark(name.c_str(), function, argument);
    rows.push_back(name);
  };
  add("chacha12_four_blocks (portable)", run_block_function<64>, &chacha12_four_blocks);
#if defined(__x86_64__)
  if (chacha12_path_supported(Chacha12Path::sse2)) {
    add("chacha12_four_blocks_sse2", run_block_function<64>, &chacha12_four_blocks_sse2);
  }
  if (chacha12_path_supported(Chacha12Path::avx2)) {
    add("chacha12_eight_blocks_avx2", run_block_function<128>, &chacha12_eight_blocks_avx2);
  }
  if (chacha12_path_supported(Chacha12Path::avx512)) {
    add("chacha12_sixteen_blocks_avx512", run_block_function<256>, &chacha12_sixteen_blocks_avx512);
  }
#endif
  // Per path: its refill bare, the generator's refill on it, and draws as the pass makes them.
  std::vector<std::string> paths;
  for (Chacha12Path path : chacha12_paths) {
    if (!chacha12_path_supported(path)) continue;
    const std::string name = chacha12_path_name(path);
    paths.push_back(name);
    add("refill/" + name, run_block_function<256>, chacha12_kernels(path)->sixteen_blocks);
    benchmark::RegisterBenchmark(("refill_words/" + name).c_str(), run_refill_words, path);
    benchmark::RegisterBenchmark(("cursor_draws/" + name).c_str(), run_cursor_draws, path);
  }
  benchmark::RegisterBenchmark("draw_word64", run_draw_word64);
  benchmark::RegisterBenchmark("openssl_chacha20", run_openssl_chacha20)->Arg(4096)->Arg(16384);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const auto openssl_4k = reporter.rates.find("openssl_chacha20/4096");
  const auto openssl_16k = reporter.rates.find("openssl_chacha20/16384");
  if (openssl_4k == reporter.rates.end() || openssl_16k == reporter.rates.end()) return 0;
  const double openssl = std::max(openssl_4k->second, openssl_16k->second);
  std::printf(
      "\nkeystream rates (medians; GB = 1e9 bytes); the anchor is OpenSSL %s's ChaCha20,\n"
      "the faster of its 4 KiB and 16 KiB calls: %.3f GB/s\n\n",
      OPENSSL_VERSION_STR, openssl / 1e9);
  std::printf("%-44s %8s %12s\n", "", "GB/s", "vs OpenSSL");
  for (const std::string& row : rows) {
    const auto rate = reporter.rates.find(row);
    if (rate == reporter.rates.end()) continue;
    std::printf("%-44s %8.3f %12.3f\n", row.c_str(), rate->second / 1e9, rate->second / openssl);
  }
  std::printf("%-44s %8.3f %12.3f\n", "openssl_chacha20/4096", openssl_4k->second / 1e9,
              openssl_4k->second / openssl);
  std::printf("%-44s %8.3f %12.3f\n", "openssl_chacha20/16384", openssl_16k->second / 1e9,
              openssl_16k->second / openssl);
  // Rounds are nearly all of ChaCha's work, so a ChaCha12 as good as OpenSSL's would run about
  // 20/12 as fast: an estimate of what this CPU allows, not a measurement.
  std::printf("%-44s %8.3f %12.3f\n", "  (OpenSSL scaled by 20/12 rounds, estimate)",
              openssl / 1e9 * 20 / 12, 20.0 / 12);

  // The generator's refill rate, as the pass's draws make refills happen, against the target.
  std::printf(
      "\nthe generator on each path: its refills (refill_words: bookkeeping and rekeys\n"
      "included), and draws as the pass makes them (DrawCursor, refills included);\n"
      "target: refills >= 1.5 x OpenSSL on an AVX-512 machine (this CPU: %s)\n\n",
      chacha12_path_supported(Chacha12Path::avx512) ? "AVX-512" : "no AVX-512");
  std::printf("%-16s %12s %11s %10s %11s %8s %8s\n", "path", "refill GB/s", "vs OpenSSL",
              "draw GB/s", "vs OpenSSL", "ns/draw", "target");
  for (const std::string& path : paths) {
    const auto refills = reporter.rates.find("refill_words/" + path);
    const auto draws = reporter.rates.find("cursor_draws/" + path);
    if (refills == reporter.rates.end() || draws == reporter.rates.end()) continue;
    const double ratio = refills->second / openssl;
    std::printf("%-16s %12.3f %11.3f %10.3f %11.3f %8.3f %8s\n",
                (path + (path == selected_name ? " (chosen)" : "")).c_str(), refills->second / 1e9,
                ratio, draws->second / 1e9, draws->second / openssl,
                reporter.ns_per_draw["cursor_draws/" + path], ratio >= 1.5 ? "met" : "missed");
  }
  if (const auto draw = reporter.ns_per_draw.find("draw_word64");
      draw != reporter.ns_per_draw.end()) {
    std::printf("%-51s %10.3f\n", "draw_word64 through the handle, ns/draw", draw->second);
  }
  benchmark::Shutdown();
  return 0;
}
