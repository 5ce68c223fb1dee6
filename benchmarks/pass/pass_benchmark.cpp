// In-module costs of the logic-tile pass: per visited position against a raw 64-bit draw, and
// the line scan against a plain memchr line walk, on each kernel path, timed interleaved in one
// run.
#include "circuit/circuit_map.hpp"
#include "lib.hpp"
#include "random/thread_random.hpp"
#include "scan/tile_scan.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace gridflip {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Keeps a result alive without letting the compiler see what becomes of it.
template <class T>
void keep(const T& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

Bytes read_circuit(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(2);
  }
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The same bytes with every ".logic_tile" turned into ".logic_tilX": same length and lines,
// no logic tile, and every former header still fails the tag test only at its last byte.
Bytes without_logic_tiles(Bytes bytes) {
  const std::size_t length = bytes.size();
  for (std::size_t i = 0; i + tag_length <= length; ++i) {
    if (std::memcmp(bytes.data() + i, logic_tile_tag, tag_length) == 0) {
      bytes[i + tag_length - 1] = 'X';
    }
  }
  return bytes;
}

template <class F>
double time_ns(F&& run) {
  const auto start = Clock::now();
  run();
  const auto stop = Clock::now();
  return std::chrono::duration<double, std::nano>(stop - start).count();
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const std::size_t n = samples.size();
  return n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
}

// The baseline a line scan has to beat: one memchr call per line.
std::size_t walk_lines_with_memchr(const std::uint8_t* base, std::size_t length) {
  const std::uint8_t* cursor = base;
  const std::uint8_t* const end = base + length;
  std::size_t lines = 0;
  while (cursor < end) {
    const void* found = std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor));
    if (found == nullptr) break;
    cursor = static_cast<const std::uint8_t*>(found) + 1;
    ++lines;
  }
  return lines;
}

// A fresh mapping of `path`, as mutate makes it. Exits when the file cannot be opened or mapped.
CircuitMap map_copy(const std::string& path) {
  IoResult<UniqueFd> file = open_circuit(terminated(path));
  if (!file.ok()) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    std::exit(2);
  }
  IoResult<CircuitMap> mapped = map_circuit(file.value());
  if (!mapped.ok()) {
    std::fprintf(stderr, "cannot map %s\n", path.c_str());
    std::exit(2);
  }
  return std::move(mapped.value());
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(2);
  }
}

struct Options {
  std::string circuit = GRIDFLIP_EXAMPLE_CIRCUIT;
  int repetitions = 51;
  std::string json;
  std::string scratch = "/dev/shm";
};

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--circuit" && i + 1 < argc) {
      options.circuit = argv[++i];
    } else if (argument == "--repetitions" && i + 1 < argc) {
      options.repetitions = std::max(1, std::atoi(argv[++i]));
    } else if (argument == "--json" && i + 1 < argc) {
      options.json = argv[++i];
    } else if (argument == "--scratch" && i + 1 < argc) {
      options.scratch = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: %s [--circuit PATH] [--repetitions N] [--json PATH] [--scratch DIR]\n",
                   argv[0]);
      std::exit(2);
    }
  }
  return options;
}

// A draw source that costs nothing: one buffer of mixed words handed out again and again (about
// 1% flip at chance 0.01), for the scan's own cost. Counts the draws taken.
class RecycledDraws {
 public:
  RecycledDraws() {
    std::uint64_t state = 0x243F6A8885A308D3u;
    for (std::size_t i = 0; i < buffer_words; i += 2) {
      state += 0x9E3779B97F4A7C15u;
      std::uint64_t word = (state ^ (state >> 30)) * 0xBF58476D1CE4E5B9u;
      word = (word ^ (word >> 27)) * 0x94D049BB133111EBu;
      word ^= word >> 31;
      words_[i] = static_cast<std::uint32_t>(word);
      words_[i + 1] = static_cast<std::uint32_t>(word >> 32);
    }
  }
  std::size_t ready() const noexcept { return (buffer_words - position_) / 2; }
  const std::uint32_t* words() const noexcept { return words_ + position_; }
  void take(std::size_t draws) noexcept {
    position_ += 2 * draws;
    taken_ += draws;
  }
  void refill() noexcept { position_ = 0; }
  std::size_t taken() const noexcept { return taken_; }

 private:
  alignas(64) std::uint32_t words_[buffer_words];
  std::size_t position_ = buffer_words;
  std::size_t taken_ = 0;
};

// Every circuit the benchmark reads is well formed: a scan stopped short would time the wrong
// thing.
void require_whole(const ScanStatus& scanned) {
  if (scanned.ok()) return;
  std::fprintf(stderr, "the scan stopped short: %s\n",
               describe_scan_fault(scanned.error()).c_str());
  std::exit(2);
}

int run(const Options& options) {
  const Bytes original = read_circuit(options.circuit);
  Bytes tile_free = without_logic_tiles(original);
  Bytes work = original;
  std::vector<std::uint8_t> rows(16);
  std::vector<std::uint8_t> columns(54);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<std::uint8_t>(i);
  for (std::size_t i = 0; i < columns.size(); ++i) columns[i] = static_cast<std::uint8_t>(i);
  const std::vector<std::uint8_t> one{0};

  // One visit per tile with nothing flipped counts the tiles.
  RecycledDraws counting;
  require_whole(scan_logic_tiles(work, one, one, 0, counting));
  const std::size_t tiles = counting.taken();
  const std::size_t visits = tiles * rows.size() * columns.size();
  if (visits == 0) {
    std::fprintf(stderr, "%s has no logic tiles\n", options.circuit.c_str());
    return 2;
  }

  ThreadRandom random = take_thread_random();
  const std::uint64_t dense_threshold = flip_threshold(0.01f);
  const std::uint64_t all_threshold = flip_threshold(1.0f);
  std::vector<ScanPath> paths;
  for (ScanPath path : scan_paths) {
    if (scan_path_supported(path)) paths.push_back(path);
  }

  // The draws as the module's pass makes them: a DrawCursor, run-wise.
  const auto scan_with_cursor = [&](std::uint64_t threshold, const ScanKernels& kernels) {
    DrawCursor cursor(random);
    require_whole(scan_logic_tiles(work, rows, columns, threshold, cursor, kernels));
    cursor.store();
    keep(work.data());
  };
  const ScanKernels& chosen = selected_scan_kernels();
  const auto dense_pass = [&] { scan_with_cursor(dense_threshold, chosen); };
  const auto all_flip_pass = [&] { scan_with_cursor(all_threshold, chosen); };
  // The scan's own cost: the same pass with draws that cost nothing.
  RecycledDraws recycled;
  const auto free_draws_pass = [&] {
    require_whole(scan_logic_tiles(work, rows, columns, dense_threshold, recycled, chosen));
    keep(work.data());
  };
  // The module's own MutationPass::run over a fresh mapping of a copy in the scratch
  // directory, fault guard included; mapping and release are not timed.
  const std::string copy_path =
      options.scratch + "/gridflip-pass-benchmark-" + std::to_string(::getpid()) + ".asc";
  write_file(copy_path, original);
  std::optional<MutationPass> module_pass;
  const auto prepare_module_pass = [&] {
    module_pass.reset();
    module_pass.emplace(map_copy(copy_path), ByteList(rows), ByteList(columns),
                        take_thread_random(), 0.01f);
  };
  const auto module_run = [&] { module_pass->run(); };
  const auto raw_draws = [&] {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < visits; ++i) sum += draw_word64(random);
    keep(sum);
  };
  // Short runs: several per sample keep the clock's overhead out of the figure.
  constexpr int scans_per_sample = 8;
  const auto tile_free_scan = [&](const ScanKernels& kernels) {
    for (int i = 0; i < scans_per_sample; ++i) {
      DrawCursor cursor(random);
      require_whole(scan_logic_tiles(tile_free, rows, columns, dense_threshold, cursor, kernels));
      cursor.store();
      keep(tile_free.data());
    }
  };
  std::size_t lines = 0;
  const auto memchr_walk = [&] {
    for (int i = 0; i < scans_per_sample; ++i) {
      lines = walk_lines_with_memchr(tile_free.data(), tile_free.size());
      keep(lines);
    }
  };

  std::vector<double> dense, all_flip, free_draws, module, raw, scan, walk;
  std::vector<std::vector<double>> dense_on(paths.size()), scan_on(paths.size());
  const auto restore = [&] { std::memcpy(work.data(), original.data(), original.size()); };
  for (int repetition = -2; repetition < options.repetitions; ++repetition) {
    // Alternate the order so that neither side always runs on a warmer cache.
    const bool flipped_order = repetition % 2 != 0;
    double t_raw = 0, t_walk = 0;
    restore();
    if (flipped_order) t_raw = time_ns(raw_draws);
    const double t_dense = time_ns(dense_pass);
    if (!flipped_order) t_raw = time_ns(raw_draws);
    restore();
    const double t_all = time_ns(all_flip_pass);
    restore();
    const double t_free = time_ns(free_draws_pass);
    prepare_module_pass();
    const double t_module = time_ns(module_run);
    if (flipped_order) t_walk = time_ns(memchr_walk);
    const double t_scan = time_ns([&] { tile_free_scan(chosen); });
    if (!flipped_order) t_walk = time_ns(memchr_walk);
    std::vector<double> t_dense_on, t_scan_on;
    for (ScanPath path : paths) {
      restore();
      t_dense_on.push_back(
          time_ns([&] { scan_with_cursor(dense_threshold, *scan_kernels(path)); }));
      t_scan_on.push_back(time_ns([&] { tile_free_scan(*scan_kernels(path)); }));
    }
    if (repetition < 0) continue;  // warm-up
    dense.push_back(t_dense);
    raw.push_back(t_raw);
    all_flip.push_back(t_all);
    free_draws.push_back(t_free);
    module.push_back(t_module);
    scan.push_back(t_scan / scans_per_sample);
    walk.push_back(t_walk / scans_per_sample);
    for (std::size_t p = 0; p < paths.size(); ++p) {
      dense_on[p].push_back(t_dense_on[p]);
      scan_on[p].push_back(t_scan_on[p] / scans_per_sample);
    }
  }

  const double visits_d = static_cast<double>(visits);
  const double bytes_d = static_cast<double>(original.size());
  const double dense_per_position = median(dense) / visits_d;
  const double all_per_position = median(all_flip) / visits_d;
  const double free_per_position = median(free_draws) / visits_d;
  const double module_per_position = median(module) / visits_d;
  module_pass.reset();
  std::remove(copy_path.c_str());
  const double raw_per_draw = median(raw) / visits_d;
  const double scan_rate = bytes_d / median(scan);  // bytes per ns = GB/s
  const double walk_rate = bytes_d / median(walk);
  const double position_ratio = dense_per_position / raw_per_draw;
  const double scan_ratio = scan_rate / walk_rate;
  const char* const chosen_name = scan_path_name(selected_scan_path());

  std::printf("pass benchmark: %s\n", options.circuit.c_str());
  std::printf(
      "  %zu bytes, %zu lines, %zu logic tiles, %zu visits per dense pass; "
      "medians of %d interleaved repetitions; scan kernels: %s\n\n",
      original.size(), lines, tiles, visits, options.repetitions, chosen_name);
  std::printf("%-56s %10s %14s\n", "", "ms", "ns / position");
  std::printf("%-56s %10.3f %14.3f\n", "dense pass (16 x 54, chance 0.01, DrawCursor)",
              median(dense) / 1e6, dense_per_position);
  std::printf("%-56s %10.3f %14.3f\n", "raw draw_word64 loop (same number of draws)",
              median(raw) / 1e6, raw_per_draw);
  std::printf("%-56s %10.3f %14.3f\n", "all-flip pass (16 x 54, chance 1.0)",
              median(all_flip) / 1e6, all_per_position);
  std::printf("%-56s %10.3f %14.3f\n", "dense pass with draws that cost nothing (scan alone)",
              median(free_draws) / 1e6, free_per_position);
  std::printf("%-56s %10.3f %14.3f\n", "MutationPass::run, dense, mapped copy (guard included)",
              median(module) / 1e6, module_per_position);
  for (std::size_t p = 0; p < paths.size(); ++p) {
    const std::string label = std::string("dense pass, ") + scan_path_name(paths[p]) + " kernels";
    std::printf("%-56s %10.3f %14.3f\n", label.c_str(), median(dense_on[p]) / 1e6,
                median(dense_on[p]) / visits_d);
  }
  std::printf("\n%-56s %10s %14s\n", "", "ms", "GB/s");
  std::printf("%-56s %10.3f %14.3f\n", "scan_logic_tiles, file without logic tiles",
              median(scan) / 1e6, scan_rate);
  for (std::size_t p = 0; p < paths.size(); ++p) {
    const std::string label = std::string("  the same, ") + scan_path_name(paths[p]) + " kernels";
    std::printf("%-56s %10.3f %14.3f\n", label.c_str(), median(scan_on[p]) / 1e6,
                bytes_d / median(scan_on[p]));
  }
  std::printf("%-56s %10.3f %14.3f\n", "memchr line walk, same bytes", median(walk) / 1e6,
              walk_rate);
  std::printf("\n%-56s %10.3f   (target <= 1.10)\n", "dense: per position / per raw draw",
              position_ratio);
  std::printf("%-56s %10.3f   (target >= 2)\n", "line scan rate / memchr walk rate", scan_ratio);

  if (!options.json.empty()) {
    std::FILE* out = std::fopen(options.json.c_str(), "w");
    if (out == nullptr) {
      std::fprintf(stderr, "cannot write %s\n", options.json.c_str());
      return 2;
    }
    std::fprintf(out,
                 "{\"circuit_bytes\": %zu, \"lines\": %zu, \"tiles\": %zu, \"visits\": %zu,\n"
                 " \"repetitions\": %d, \"scan_path\": \"%s\",\n"
                 " \"dense_ns_per_position\": %.6f, \"raw_ns_per_draw\": %.6f,\n"
                 " \"all_flip_ns_per_position\": %.6f, \"free_draws_ns_per_position\": %.6f,\n"
                 " \"module_pass_ns_per_position\": %.6f,\n"
                 " \"position_to_draw_ratio\": %.6f,\n"
                 " \"scan_gb_per_s\": %.6f, \"memchr_walk_gb_per_s\": %.6f,\n"
                 " \"scan_to_memchr_ratio\": %.6f,\n \"paths\": {",
                 original.size(), lines, tiles, visits, options.repetitions, chosen_name,
                 dense_per_position, raw_per_draw, all_per_position, free_per_position,
                 module_per_position, position_ratio, scan_rate, walk_rate, scan_ratio);
    for (std::size_t p = 0; p < paths.size(); ++p) {
      std::fprintf(out, "%s\"%s\": {\"dense_ns_per_position\": %.6f, \"scan_gb_per_s\": %.6f}",
                   p == 0 ? "" : ", ", scan_path_name(paths[p]), median(dense_on[p]) / visits_d,
                   bytes_d / median(scan_on[p]));
    }
    std::fprintf(out, "}}\n");
    std::fclose(out);
  }
  return 0;
}

}  // namespace
}  // namespace gridflip

int main(int argc, char** argv) { return gridflip::run(gridflip::parse_options(argc, argv)); }
