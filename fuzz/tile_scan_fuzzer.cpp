// libFuzzer target: the logic-tile scan against a naive model of its rules, over any
// file bytes, any coordinate bytes, any chance and a scripted draw stream.
//
// Input layout (missing bytes read as zero):
//   [0] row count (low 5 bits)      [1] column count (low 5 bits)
//   [2] draw control: low 4 bits scripted word count (0: a splitmix64 stream instead),
//       bit 4 words land next to the chance, bits 5-6 chance form (see decode_chance)
//   [3..6] chance bits, little-endian
//   [7] the draw buffer's size, 1 to 256 draws   [8] draws ready before its first refill
//   then the rows, the columns, the scripted words (8 bytes each, little-endian, cycled),
//   and every remaining byte is the file.
// Row bytes are taken modulo 16 and column bytes modulo 54: mutate refuses other values
// before the scan runs, and the scan relies on that.
#include "scan/tile_scan.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t fixed_header = 9;

struct Layout {
  std::size_t row_count;
  std::size_t column_count;
  std::size_t word_count;
  std::size_t file_offset;  // may lie past the input's end: the file is then empty
};

std::uint8_t byte_at(const std::uint8_t* data, std::size_t size, std::size_t at) {
  return at < size ? data[at] : 0;
}

Layout decode_layout(const std::uint8_t* data, std::size_t size) {
  Layout layout{};
  layout.row_count = byte_at(data, size, 0) & 0x1F;
  layout.column_count = byte_at(data, size, 1) & 0x1F;
  layout.word_count = byte_at(data, size, 2) & 0x0F;
  layout.file_offset =
      fixed_header + layout.row_count + layout.column_count + 8 * layout.word_count;
  return layout;
}

std::uint64_t word_at(const std::uint8_t* data, std::size_t size, std::size_t at) {
  std::uint64_t word = 0;
  for (int k = 7; k >= 0; --k)
    word = word << 8 | byte_at(data, size, at + static_cast<std::size_t>(k));
  return word;
}

// Raw bits reach every float; the other forms make the interesting chances common.
float decode_chance(std::uint8_t control, std::uint32_t bits) {
  switch ((control >> 5) & 3) {
    case 1:
      bits = 0x3F800000u;
      break;  // exactly 1.0
    case 2:
      bits = (bits & 0x007FFFFFu) | 0x3F800000u;
      break;  // [1, 2), less 1 below
    case 3:
      bits |= 0x7F800000u;
      break;  // an infinity or a NaN
    default:
      break;
  }
  float chance;
  std::memcpy(&chance, &bits, sizeof chance);
  return ((control >> 5) & 3) == 2 ? chance - 1.0f : chance;
}

// The draw stream both sides see, draw n a pure function of n: the scripted words
// in a cycle, or splitmix64.
class DrawScript {
 public:
  DrawScript(std::vector<std::uint64_t> words, std::uint64_t seed, bool near_chance, double chance)
      : words_(std::move(words)), seed_(seed), near_chance_(near_chance) {
    // The sample index k such that k * 2^-52 is the largest sample not above the chance.
    if (std::isnan(chance) || chance >= 1.0) {
      boundary_ = (std::uint64_t{1} << 52) - 1;
    } else if (chance > 0.0) {
      boundary_ = static_cast<std::uint64_t>(chance * 4503599627370496.0);
    }
  }

  std::uint64_t draw(std::size_t n) const {
    std::uint64_t word;
    if (words_.empty()) {
      word = seed_ + 0x9E3779B97F4A7C15u * (n + 1);
      word = (word ^ (word >> 30)) * 0xBF58476D1CE4E5B9u;
      word = (word ^ (word >> 27)) * 0x94D049BB133111EBu;
      word ^= word >> 31;
    } else {
      word = words_[n % words_.size()];
    }
    if (!near_chance_) return word;
    // Samples a few steps either side of the chance, where the flip test must be exact.
    const auto step = static_cast<std::int64_t>(static_cast<std::int8_t>(word & 0xFF)) % 4;
    std::int64_t k = static_cast<std::int64_t>(boundary_) + step;
    if (k < 0) k = 0;
    if (k > (std::int64_t{1} << 52) - 1) k = (std::int64_t{1} << 52) - 1;
    return static_cast<std::uint64_t>(k) << 12 | ((word >> 8) & 0xFFF);
  }

 private:
  std::vector<std::uint64_t> words_;
  std::uint64_t seed_;
  bool near_chance_;
  std::uint64_t boundary_ = 0;
};

// The scan's draw source: the script's words handed out run-wise through a buffer of
// `capacity` draws, the first `preloaded` of them ready before the first refill. It records
// what the generator's state would show: the draws taken, and each refill with what was still
// ready when it came.
class FuzzDrawSource {
 public:
  FuzzDrawSource(const DrawScript& script, std::size_t capacity, std::size_t preloaded)
      : script_(script),
        words_(new std::uint32_t[2 * capacity]),
        capacity_(capacity),
        position_(capacity - preloaded) {
    fill(capacity - preloaded);
  }

  std::size_t ready() const { return capacity_ - position_; }
  const std::uint32_t* words() const { return words_.get() + 2 * position_; }
  void take(std::size_t draws) {
    if (draws > ready()) __builtin_trap();  // more than the buffer holds
    position_ += draws;
    taken_ += draws;
  }
  void refill() {
    if (ready() != 0) early_refills_ += 1;
    refills_ += 1;
    position_ = 0;
    fill(0);
  }

  std::size_t taken() const { return taken_; }
  std::size_t refills() const { return refills_; }
  std::size_t early_refills() const { return early_refills_; }

 private:
  // Draws from `at` to the buffer's end become the script's next ones. Exactly sized, so a
  // read past the buffer is an ASan finding.
  void fill(std::size_t at) {
    for (; at < capacity_; ++at, ++produced_) {
      const std::uint64_t word = script_.draw(produced_);
      words_[2 * at] = static_cast<std::uint32_t>(word);
      words_[2 * at + 1] = static_cast<std::uint32_t>(word >> 32);
    }
  }

  const DrawScript& script_;
  std::unique_ptr<std::uint32_t[]> words_;
  std::size_t capacity_;
  std::size_t position_;
  std::size_t produced_ = 0;
  std::size_t taken_ = 0;
  std::size_t refills_ = 0;
  std::size_t early_refills_ = 0;
};

struct Outcome {
  std::vector<std::uint8_t> bytes;
  std::size_t draws = 0;
  bool aborted = false;
  std::string abort_message;
};

std::string index_message(std::size_t length, std::size_t index) {
  return "index out of bounds: the len is " + std::to_string(length) + " but the index is " +
         std::to_string(index);
}

// Offset of the first line feed at or after `from`, or `length`.
std::size_t next_feed(const std::vector<std::uint8_t>& bytes, std::size_t from) {
  std::size_t at = from;
  while (at < bytes.size() && bytes[at] != '\n') ++at;
  return at;
}

// The pass's rules written out literally, one step per rule, nothing shared with src/.
Outcome model_pass(std::vector<std::uint8_t> bytes, const std::vector<std::uint8_t>& rows,
                   const std::vector<std::uint8_t>& columns, float chance,
                   const DrawScript& script) {
  static const char tag[] = ".logic_tile";
  Outcome outcome;
  const std::size_t length = bytes.size();
  std::size_t cursor = 0;
  while (cursor + 10 <= length) {
    bool match = true;
    for (std::size_t k = 0; k < 11; ++k) {
      if (cursor + k >= length || bytes[cursor + k] != static_cast<std::uint8_t>(tag[k])) {
        match = false;
        break;
      }
    }
    if (!match) {
      const std::size_t feed = next_feed(bytes, cursor);
      if (feed == length) break;
      cursor = feed + 1;
      continue;
    }
    const std::size_t header = cursor;
    const std::size_t header_feed = next_feed(bytes, cursor + 1);
    const std::size_t body = header_feed == length ? length : header_feed + 1;
    cursor = body;
    if (!rows.empty() && !columns.empty()) {
      // Up to 16 row lines from the body; each that has a line feed is 54 bytes long.
      std::size_t row_start = body;
      for (int row = 0; row < 16; ++row) {
        if (row_start >= length) break;
        const std::size_t feed = next_feed(bytes, row_start);
        if (feed == length) break;
        if (feed - row_start != 54) {
          std::size_t line = 1;
          for (std::size_t k = 0; k < header; ++k) {
            if (bytes[k] == '\n') ++line;
          }
          outcome.aborted = true;
          outcome.abort_message = "malformed logic tile at line " + std::to_string(line) +
                                  ": row " + std::to_string(row);
          if (feed - row_start == 55 && bytes[feed - 1] == '\r') {
            outcome.abort_message += " ends in a carriage return; convert the file to LF line ends";
          } else {
            outcome.abort_message +=
                " is " + std::to_string(feed - row_start) + " bytes long, not 54";
          }
          outcome.bytes = std::move(bytes);
          return outcome;
        }
        row_start = feed + 1;
      }
      for (std::uint8_t column : columns) {
        for (std::uint8_t row : rows) {
          const std::uint64_t word = script.draw(outcome.draws);
          ++outcome.draws;
          const std::uint64_t pattern = (word >> 12) | 0x3FF0000000000000u;
          double unit;
          std::memcpy(&unit, &pattern, sizeof unit);
          const double sample = (unit - 1.0) * 1.0 + 0.0;
          if (sample > static_cast<double>(chance)) continue;
          const std::size_t index = body + std::size_t{55} * row + column;
          if (index >= length) {
            outcome.aborted = true;
            outcome.abort_message = index_message(length, index);
            outcome.bytes = std::move(bytes);
            return outcome;
          }
          bytes[index] = bytes[index] == '0' ? '1' : '0';
        }
      }
    }
    bool ended = false;
    for (int skip = 0; skip < 16; ++skip) {
      if (cursor >= length) continue;
      const std::size_t feed = next_feed(bytes, cursor);
      if (feed == length) {
        cursor = length;
        ended = true;
        break;
      }
      cursor = feed + 1;
    }
    if (ended) break;
  }
  outcome.bytes = std::move(bytes);
  return outcome;
}

// Exactly-sized heap copy, so one byte past either end is an ASan finding.
std::unique_ptr<std::uint8_t[]> exact_copy(const std::vector<std::uint8_t>& from) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[from.size()]);
  if (!from.empty()) std::memcpy(copy.get(), from.data(), from.size());
  return copy;
}

Outcome scan_under_test(const std::vector<std::uint8_t>& file,
                        const std::vector<std::uint8_t>& rows,
                        const std::vector<std::uint8_t>& columns, float chance,
                        FuzzDrawSource& draws, const gridflip::ScanKernels& kernels) {
  auto bytes = exact_copy(file);
  auto row_bytes = exact_copy(rows);
  auto column_bytes = exact_copy(columns);
  Outcome outcome;
  const gridflip::ScanStatus scanned =
      gridflip::scan_logic_tiles(std::span<std::uint8_t>(bytes.get(), file.size()),
                                 std::span<const std::uint8_t>(row_bytes.get(), rows.size()),
                                 std::span<const std::uint8_t>(column_bytes.get(), columns.size()),
                                 gridflip::flip_threshold(chance), draws, kernels);
  if (!scanned.ok()) {
    outcome.aborted = true;
    outcome.abort_message = gridflip::describe_scan_fault(scanned.error());
  }
  outcome.draws = draws.taken();
  outcome.bytes.assign(bytes.get(), bytes.get() + file.size());
  return outcome;
}

[[noreturn]] void report_mismatch(const char* what, const Outcome& model, const Outcome& scan,
                                  gridflip::ScanPath path) {
  std::fprintf(stderr,
               "tile_scan_fuzzer: %s differs on the %s path\n  model: draws %zu, abort '%s'\n"
               "  scan:  draws %zu, abort '%s'\n",
               what, gridflip::scan_path_name(path), model.draws,
               model.aborted ? model.abort_message.c_str() : "-", scan.draws,
               scan.aborted ? scan.abort_message.c_str() : "-");
  for (std::size_t at = 0; at < model.bytes.size() && at < scan.bytes.size(); ++at) {
    if (model.bytes[at] != scan.bytes[at]) {
      std::fprintf(stderr, "  first differing byte at %zu: model %02x, scan %02x\n", at,
                   model.bytes[at], scan.bytes[at]);
      break;
    }
  }
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Layout layout = decode_layout(data, size);
  const std::uint8_t control = byte_at(data, size, 2);
  std::uint32_t chance_bits = 0;
  for (int k = 3; k >= 0; --k)
    chance_bits = chance_bits << 8 | byte_at(data, size, 3 + static_cast<std::size_t>(k));
  const float chance = decode_chance(control, chance_bits);

  std::size_t at = fixed_header;
  std::vector<std::uint8_t> rows, columns;
  for (std::size_t k = 0; k < layout.row_count; ++k) rows.push_back(byte_at(data, size, at++) % 16);
  for (std::size_t k = 0; k < layout.column_count; ++k)
    columns.push_back(byte_at(data, size, at++) % 54);
  std::vector<std::uint64_t> words;
  for (std::size_t k = 0; k < layout.word_count; ++k, at += 8)
    words.push_back(word_at(data, size, at));
  std::vector<std::uint8_t> file;
  if (layout.file_offset < size) file.assign(data + layout.file_offset, data + size);

  const std::uint64_t seed = std::uint64_t{chance_bits} << 32 | size;
  const DrawScript script(std::move(words), seed, (control & 0x10) != 0,
                          static_cast<double>(chance));
  const Outcome model = model_pass(file, rows, columns, chance, script);
  const std::size_t capacity = std::size_t{byte_at(data, size, 7)} + 1;
  const std::size_t preloaded = byte_at(data, size, 8) % (capacity + 1);
  // A draw-by-draw walk refills only when its buffer is used up, as often as that takes.
  const std::size_t beyond = model.draws > preloaded ? model.draws - preloaded : 0;
  const std::size_t expected_refills = (beyond + capacity - 1) / capacity;
  for (gridflip::ScanPath path : gridflip::scan_paths) {
    if (!gridflip::scan_path_supported(path)) continue;
    FuzzDrawSource draws(script, capacity, preloaded);
    const Outcome scan =
        scan_under_test(file, rows, columns, chance, draws, *gridflip::scan_kernels(path));
    if (model.aborted != scan.aborted || model.abort_message != scan.abort_message) {
      report_mismatch("abort", model, scan, path);
    }
    if (model.draws != scan.draws) report_mismatch("draw count", model, scan, path);
    if (model.bytes != scan.bytes) report_mismatch("file bytes", model, scan, path);
    if (draws.early_refills() != 0 || draws.refills() != expected_refills) {
      report_mismatch("refills", model, scan, path);
    }
  }
  return 0;
}

namespace {

// Small deterministic generator for the mutator's own choices.
struct MutatorRandom {
  std::uint64_t state;
  std::uint64_t next() {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return state >> 33;
  }
  std::size_t below(std::size_t bound) { return bound == 0 ? 0 : next() % bound; }
};

// A line start in the file part at or before `near`: the only place a tag counts.
std::size_t line_start(const std::uint8_t* data, std::size_t begin, std::size_t near) {
  while (near > begin && data[near - 1] != '\n') --near;
  return near;
}

std::size_t insert_bytes(std::uint8_t* data, std::size_t size, std::size_t max_size, std::size_t at,
                         const std::string& text) {
  const std::size_t room = max_size - size;
  const std::size_t count = text.size() < room ? text.size() : room;
  std::memmove(data + at + count, data + at, size - at);
  std::memcpy(data + at, text.data(), count);
  return size + count;
}

std::string random_tile(MutatorRandom& random) {
  std::string tile = ".logic_tile " + std::to_string(random.below(34)) + " " +
                     std::to_string(random.below(34)) + "\n";
  const std::size_t rows = random.below(4) == 0 ? random.below(17) : 16;
  // Now and then rows of the wrong width, which the scan must refuse.
  const std::size_t width = random.below(4) == 0 ? random.below(60) : 54;
  for (std::size_t row = 0; row < rows; ++row) {
    for (std::size_t column = 0; column < width; ++column) tile += random.below(5) == 0 ? '1' : '0';
    tile += '\n';
  }
  return tile;
}

}  // namespace

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

// Mostly libFuzzer's own byte mutations; a quarter of the time an edit that keeps
// the text looking like a circuit, which random bytes almost never do.
extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned int seed) {
  MutatorRandom random{seed};
  const std::size_t file_offset = decode_layout(data, size).file_offset;
  if (random.below(4) != 0 || size < file_offset || size >= max_size) {
    return LLVMFuzzerMutate(data, size, max_size);
  }
  const std::size_t at =
      line_start(data, file_offset, file_offset + random.below(size - file_offset + 1));
  static const char* const other_lines[] = {
      ".io_tile 0 1\n",  ".ramb_tile 8 1\n",   ".comment x\n", ".logic_tile",
      ".logic_tile 1 1", " .logic_tile 1 1\n", ".logic_til\n", ".sym 1 x\n"};
  switch (random.below(4)) {
    case 0:
      return insert_bytes(data, size, max_size, at, random_tile(random));
    case 1:
      return insert_bytes(data, size, max_size, at, other_lines[random.below(8)]);
    case 2: {  // cut the file short, most often inside a tile
      const std::size_t cut = file_offset + random.below(size - file_offset + 1);
      return cut;
    }
    default: {  // turn one line end into a carriage return and line feed
      for (std::size_t probe = at; probe < size; ++probe) {
        if (data[probe] == '\n') return insert_bytes(data, size, max_size, probe, "\r");
      }
      return LLVMFuzzerMutate(data, size, max_size);
    }
  }
}
