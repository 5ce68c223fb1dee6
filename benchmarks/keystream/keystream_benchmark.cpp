// Keystream rate of the generator's ChaCha12 core, per SIMD path, beside Crypto++'s ChaCha12.
#include "random/chacha12.hpp"
#include "random/thread_random.hpp"

#include <benchmark/benchmark.h>
#include <crypto++/algparam.h>
#include <crypto++/argnames.h>
#include <crypto++/chacha.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace gridflip {
namespace {

KeystreamCore sample_core() {
  KeystreamCore core{};
  for (int i = 0; i < 8; ++i) core.key[i] = 0x9E3779B9u * static_cast<std::uint32_t>(i + 1);
  core.rekey_interval = 65536;
  core.rekey_budget = 65536;
  return core;
}

// One call is one 256-byte refill.
void run_four_blocks(benchmark::State& state, Chacha12FourBlocks implementation) {
  KeystreamCore core = sample_core();
  alignas(64) std::uint32_t words[64];
  for (auto _ : state) {
    implementation(core, words);
    benchmark::DoNotOptimize(words);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}

void run_dispatched(benchmark::State& state) {
  run_four_blocks(state, [](KeystreamCore& core, std::uint32_t (&words)[64]) noexcept {
    chacha12_four_blocks(core, words);
  });
}

// The generator's own refill: budget bookkeeping, a rekey from the entropy source every 256
// refills, then the dispatched block function.
void run_refill_words(benchmark::State& state) {
  ThreadRandom random = take_thread_random();
  for (auto _ : state) {
    refill_words(random.generator());
    benchmark::DoNotOptimize(random.generator().words);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}

void run_draw_unit_double(benchmark::State& state) {
  ThreadRandom random = take_thread_random();
  for (auto _ : state) benchmark::DoNotOptimize(draw_unit_double(random));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8);
}

void run_cryptopp(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  CryptoPP::ChaCha::Encryption cipher;
  std::uint8_t key[32];
  for (std::size_t i = 0; i < sizeof key; ++i) key[i] = static_cast<std::uint8_t>(i * 29 + 7);
  const std::uint8_t iv[8] = {};
  cipher.SetKey(key, sizeof key,
                CryptoPP::MakeParameters(CryptoPP::Name::Rounds(), 12)(
                    CryptoPP::Name::IV(), CryptoPP::ConstByteArrayParameter(iv, sizeof iv)));
  std::vector<std::uint8_t> zeros(length, 0);
  std::vector<std::uint8_t> stream(length, 0);
  for (auto _ : state) {
    cipher.ProcessData(stream.data(), zeros.data(), length);
    benchmark::DoNotOptimize(stream.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(length));
  state.SetLabel(static_cast<CryptoPP::StreamTransformation&>(cipher).AlgorithmProvider());
}

// Prints as usual and keeps each benchmark's rate (the median when repeated) for the ratios.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rates;

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto found = run.counters.find("bytes_per_second");
      if (run.error_occurred || found == run.counters.end()) continue;
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") rates[run.run_name.str()] = found->second.value;
      } else if (rates.find(run.run_name.str()) == rates.end() || !repeated_) {
        rates[run.run_name.str()] = found->second.value;
      }
    }
  }
  void set_repeated(bool repeated) { repeated_ = repeated; }

 private:
  bool repeated_ = false;
};

}  // namespace
}  // namespace gridflip

int main(int argc, char** argv) {
  using namespace gridflip;
  std::vector<std::string> cores;
  for (Chacha12Path path :
       {Chacha12Path::portable, Chacha12Path::sse2, Chacha12Path::avx2, Chacha12Path::avx512}) {
    if (!chacha12_path_supported(path)) continue;
    const std::string name = std::string("chacha12_four_blocks/") + chacha12_path_name(path);
    benchmark::RegisterBenchmark(name.c_str(), run_four_blocks, chacha12_implementation(path));
    cores.push_back(name);
  }
  const std::string dispatched =
      std::string("chacha12_four_blocks/dispatch:") + chacha12_path_name(chacha12_selected_path());
  benchmark::RegisterBenchmark(dispatched.c_str(), run_dispatched);
  cores.push_back(dispatched);
  benchmark::RegisterBenchmark("refill_words", run_refill_words);
  cores.push_back("refill_words");
  benchmark::RegisterBenchmark("draw_unit_double", run_draw_unit_double);
  benchmark::RegisterBenchmark("cryptopp_chacha12", run_cryptopp)->Arg(256)->Arg(4096);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RateReporter reporter;
  reporter.set_repeated(true);
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const auto cryptopp_256 = reporter.rates.find("cryptopp_chacha12/256");
  const auto cryptopp_4096 = reporter.rates.find("cryptopp_chacha12/4096");
  if (cryptopp_256 == reporter.rates.end() || cryptopp_4096 == reporter.rates.end()) return 0;
  std::printf("\n%-36s %10s %14s %15s\n", "core (256-byte refills)", "GiB/s", "vs Crypto++ 256",
              "vs Crypto++ 4096");
  for (const std::string& core : cores) {
    const auto rate = reporter.rates.find(core);
    if (rate == reporter.rates.end()) continue;
    std::printf("%-36s %10.3f %14.3f %15.3f\n", core.c_str(), rate->second / (1 << 30),
                rate->second / cryptopp_256->second, rate->second / cryptopp_4096->second);
  }
  std::printf("%-36s %10.3f\n%-36s %10.3f\n", "cryptopp_chacha12/256",
              cryptopp_256->second / (1 << 30), "cryptopp_chacha12/4096",
              cryptopp_4096->second / (1 << 30));
  benchmark::Shutdown();
  return 0;
}
