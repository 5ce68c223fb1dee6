// In-module costs of the logic-tile pass: per visited position against a raw 64-bit draw, and
// the line scan against a plain memchr line walk, timed interleaved in one run.
#include "circuit/circuit_map.hpp"
#include "lib.hpp"
#include "random/thread_random.hpp"
#include "tile_scan.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <iterator>
#include <string>
#include <vector>

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
  IoResult<UniqueFd> file = open_circuit(path);
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
  std::size_t tiles = 0;
  scan_logic_tiles(work, one, one, 0, [&] { return static_cast<std::uint64_t>(++tiles); });
  const std::size_t visits = tiles * rows.size() * columns.size();
  if (visits == 0) {
    std::fprintf(stderr, "%s has no logic tiles\n", options.circuit.c_str());
    return 2;
  }

  ThreadRandom random = take_thread_random();
  const std::uint64_t dense_threshold = flip_threshold(0.01f);
  const std::uint64_t all_threshold = flip_threshold(1.0f);
  std::uint64_t counter = 0;

  // The draws as the module's pass makes them: the draw position held in a register.
  const auto scan_with_cursor = [&](std::uint64_t threshold) {
    DrawCursor cursor(random);
    scan_logic_tiles(work, rows, columns, threshold, [&cursor] { return cursor.next(); });
    cursor.store();
    keep(work.data());
  };
  const auto dense_pass = [&] { scan_with_cursor(dense_threshold); };
  const auto all_flip_pass = [&] { scan_with_cursor(all_threshold); };
  // The same with draw_word64 through the handle, which goes through memory on every draw.
  const auto handle_pass = [&] {
    scan_logic_tiles(work, rows, columns, dense_threshold, [&] { return draw_word64(random); });
    keep(work.data());
  };
  // The pass with a free draw source (a Weyl sequence, about 1% flips): the scan's own cost.
  const auto counter_pass = [&] {
    scan_logic_tiles(work, rows, columns, dense_threshold,
                     [&] { return counter += 0x9E3779B97F4A7C15u; });
    keep(work.data());
  };
  // The module's own MutationPass::run over a fresh mapping of a copy in the scratch
  // directory, fault guard included; mapping and release are not timed.
  const std::string copy_path = options.scratch + "/gridflip-pass-benchmark.asc";
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
  const auto tile_free_scan = [&] {
    for (int i = 0; i < scans_per_sample; ++i) {
      scan_logic_tiles(tile_free, rows, columns, dense_threshold,
                       [&] { return draw_word64(random); });
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

  std::vector<double> dense, all_flip, handle, counted, module, raw, scan, walk;
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
    const double t_handle = time_ns(handle_pass);
    restore();
    const double t_counted = time_ns(counter_pass);
    prepare_module_pass();
    const double t_module = time_ns(module_run);
    if (flipped_order) t_walk = time_ns(memchr_walk);
    const double t_scan = time_ns(tile_free_scan);
    if (!flipped_order) t_walk = time_ns(memchr_walk);
    if (repetition < 0) continue;  // warm-up
    dense.push_back(t_dense);
    raw.push_back(t_raw);
    all_flip.push_back(t_all);
    handle.push_back(t_handle);
    counted.push_back(t_counted);
    module.push_back(t_module);
    scan.push_back(t_scan / scans_per_sample);
    walk.push_back(t_walk / scans_per_sample);
  }

  const double visits_d = static_cast<double>(visits);
  const double bytes_d = static_cast<double>(original.size());
  const double dense_per_position = median(dense) / visits_d;
  const double all_per_position = median(all_flip) / visits_d;
  const double counter_per_position = median(counted) / visits_d;
  const double handle_per_position = median(handle) / visits_d;
  const double module_per_position = median(module) / visits_d;
  module_pass.reset();
  std::remove(copy_path.c_str());
  const double raw_per_draw = median(raw) / visits_d;
  const double scan_rate = bytes_d / median(scan);  // bytes per ns = GB/s
  const double walk_rate = bytes_d / median(walk);
  const double position_ratio = dense_per_position / raw_per_draw;
  const double scan_ratio = scan_rate / walk_rate;

  std::printf("pass benchmark: %s\n", options.circuit.c_str());
  std::printf("  %zu bytes, %zu lines, %zu logic tiles, %zu visits per dense pass; "
              "medians of %d interleaved repetitions\n\n",
              original.size(), lines, tiles, visits, options.repetitions);
  std::printf("%-52s %10s %14s\n", "", "ms", "ns / position");
  std::printf("%-52s %10.3f %14.3f\n", "dense pass (16 x 54, chance 0.01, DrawCursor)",
              median(dense) / 1e6, dense_per_position);
  std::printf("%-52s %10.3f %14.3f\n", "raw draw_word64 loop (same number of draws)",
              median(raw) / 1e6, raw_per_draw);
  std::printf("%-52s %10.3f %14.3f\n", "all-flip pass (16 x 54, chance 1.0)",
              median(all_flip) / 1e6, all_per_position);
  std::printf("%-52s %10.3f %14.3f\n", "dense pass, draw_word64 through the handle",
              median(handle) / 1e6, handle_per_position);
  std::printf("%-52s %10.3f %14.3f\n", "dense pass with a counter for draws (scan alone)",
              median(counted) / 1e6, counter_per_position);
  std::printf("%-52s %10.3f %14.3f\n", "MutationPass::run, dense, mapped copy (guard included)",
              median(module) / 1e6, module_per_position);
  std::printf("\n%-52s %10s %14s\n", "", "ms", "GB/s");
  std::printf("%-52s %10.3f %14.3f\n", "scan_logic_tiles, file without logic tiles",
              median(scan) / 1e6, scan_rate);
  std::printf("%-52s %10.3f %14.3f\n", "memchr line walk, same bytes", median(walk) / 1e6,
              walk_rate);
  std::printf("\n%-52s %10.3f   (target <= 1.25)\n", "dense: per position / per raw draw",
              position_ratio);
  std::printf("%-52s %10.3f   (target >= 2)\n", "line scan rate / memchr walk rate", scan_ratio);

  if (!options.json.empty()) {
    std::FILE* out = std::fopen(options.json.c_str(), "w");
    if (out == nullptr) {
      std::fprintf(stderr, "cannot write %s\n", options.json.c_str());
      return 2;
    }
    std::fprintf(out,
                 "{\"circuit_bytes\": %zu, \"lines\": %zu, \"tiles\": %zu, \"visits\": %zu,\n"
                 " \"repetitions\": %d,\n"
                 " \"dense_ns_per_position\": %.6f, \"raw_ns_per_draw\": %.6f,\n"
                 " \"all_flip_ns_per_position\": %.6f, \"counter_ns_per_position\": %.6f,\n"
                 " \"handle_ns_per_position\": %.6f, \"module_pass_ns_per_position\": %.6f,\n"
                 " \"position_to_draw_ratio\": %.6f,\n"
                 " \"scan_gb_per_s\": %.6f, \"memchr_walk_gb_per_s\": %.6f,\n"
                 " \"scan_to_memchr_ratio\": %.6f}\n",
                 original.size(), lines, tiles, visits, options.repetitions, dense_per_position,
                 raw_per_draw, all_per_position, counter_per_position, handle_per_position,
                 module_per_position, position_ratio, scan_rate,
                 walk_rate, scan_ratio);
    std::fclose(out);
  }
  return 0;
}

}  // namespace
}  // namespace gridflip

int main(int argc, char** argv) { return gridflip::run(gridflip::parse_options(argc, argv)); }
