// The logic-tile scan on hand-built texts, with scripted draws.
#include "scan/tile_scan.hpp"

#include "scripted_draws.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace gridflip {
namespace {

constexpr std::uint64_t flip_word = 0;                  // sample 0.0
constexpr std::uint64_t keep_word = ~std::uint64_t{0};  // sample 1 - 2^-52

std::string tile(const std::string& header, char fill = '0') {
  std::string text = header + "\n";
  for (int row = 0; row < 16; ++row) text += std::string(54, fill) + "\n";
  return text;
}

// Draws 0, 1, 2, ... are the scripted words, then keep_word for ever.
std::function<std::uint64_t(std::size_t)> script(std::vector<std::uint64_t> words) {
  return
      [words = std::move(words)](std::size_t n) { return n < words.size() ? words[n] : keep_word; };
}

struct Outcome {
  std::string text;
  std::size_t draws;
  std::string abort;  // the finding's message; empty when the scan ran to its end
};

// One scan of `text` on one kernel path, drawing through a buffer of `capacity` draws.
Outcome scan_once(std::string text, const std::vector<std::uint8_t>& rows,
                  const std::vector<std::uint8_t>& columns, std::uint64_t threshold,
                  const std::function<std::uint64_t(std::size_t)>& word_of, ScanPath path,
                  std::size_t capacity, std::size_t preloaded = 0) {
  std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(text.data()), text.size());
  ScriptedDraws draws(word_of, capacity, preloaded);
  const ScanStatus scanned =
      scan_logic_tiles(bytes, rows, columns, threshold, draws, *scan_kernels(path));
  const std::string abort = scanned.ok() ? std::string() : describe_scan_fault(scanned.error());
  // The generator's state after a pass, its position and its refills, must be what drawing one
  // at a time leaves: every draw taken once, and a refill only when nothing was ready.
  EXPECT_TRUE(draws.refilled_only_when_empty());
  const std::size_t beyond = draws.taken() > preloaded ? draws.taken() - preloaded : 0;
  EXPECT_EQ(draws.refills(), (beyond + capacity - 1) / capacity);
  return {text, draws.taken(), abort};
}

// The scan on every kernel path this CPU runs, through buffers of several sizes, which must all
// agree; their common outcome.
Outcome scan(const std::string& text, std::vector<std::uint8_t> rows,
             std::vector<std::uint8_t> columns, float chance,
             std::vector<std::uint64_t> words = {}) {
  const auto word_of = script(std::move(words));
  const std::uint64_t threshold = flip_threshold(chance);
  const Outcome first = scan_once(text, rows, columns, threshold, word_of, ScanPath::portable, 1);
  for (ScanPath path : scan_paths) {
    if (!scan_path_supported(path)) continue;
    for (std::size_t capacity : {1, 3, 128, 200}) {
      for (std::size_t preloaded : {std::size_t{0}, capacity / 2}) {
        const Outcome other =
            scan_once(text, rows, columns, threshold, word_of, path, capacity, preloaded);
        EXPECT_EQ(other.text, first.text) << scan_path_name(path) << " " << capacity;
        EXPECT_EQ(other.draws, first.draws) << scan_path_name(path) << " " << capacity;
        EXPECT_EQ(other.abort, first.abort) << scan_path_name(path) << " " << capacity;
      }
    }
  }
  return first;
}

TEST(FlipThreshold, MatchesTheSampleComparison) {
  EXPECT_EQ(flip_threshold(1.0f), std::uint64_t{1} << 52);
  EXPECT_EQ(flip_threshold(7.5f), std::uint64_t{1} << 52);
  EXPECT_EQ(flip_threshold(NAN), std::uint64_t{1} << 52);
  EXPECT_EQ(flip_threshold(-0.5f), 0u);
  EXPECT_EQ(flip_threshold(-INFINITY), 0u);
  EXPECT_EQ(flip_threshold(0.0f), 1u);   // only an exact 0.0 sample flips
  EXPECT_EQ(flip_threshold(-0.0f), 1u);  // 0.0 > -0.0 is false too
  EXPECT_EQ(flip_threshold(0.5f), (std::uint64_t{1} << 51) + 1);
  // Exhaustive near the edges of one chance: the integer test agrees with s > chance.
  for (float chance : {0.1f, 0.25f, 0.999f, 1e-30f, 0x1.0p-52f, 0x1.8p-52f}) {
    const std::uint64_t threshold = flip_threshold(chance);
    for (std::uint64_t top : {threshold - 1, threshold, threshold + 1}) {
      const std::uint64_t draw = top << 12;
      const double sample = std::ldexp(static_cast<double>(top), -52);
      EXPECT_EQ(flips(draw, threshold), !(sample > static_cast<double>(chance))) << chance;
    }
  }
}

TEST(TileScan, FlipsAtBodyPlus55RowsPlusColumnAndResumesAfter16Rows) {
  std::string text = tile(".logic_tile 1 2") + tile(".logic_tile 3 4");
  ASSERT_EQ(text.size(), 2 * 896u);
  Outcome out = scan(text, {2}, {5}, 1.0f);
  EXPECT_EQ(out.draws, 2u);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool flipped = i == 131 || i == 896 + 131;
    EXPECT_EQ(out.text[i], flipped ? '1' : text[i]) << i;
  }
}

TEST(TileScan, VisitsColumnsOuterRowsInner) {
  // Only the third visit flips: column 4, row 1.
  Outcome out = scan(tile(".logic_tile 0 0"), {1, 0}, {3, 4}, 0.5f,
                     {keep_word, keep_word, flip_word, keep_word});
  EXPECT_EQ(out.draws, 4u);
  std::string expected = tile(".logic_tile 0 0");
  expected[16 + 55 + 4] = '1';
  EXPECT_EQ(out.text, expected);
}

TEST(TileScan, RepeatsFlipTwiceAndNonBinaryCharactersBecomeZero) {
  EXPECT_EQ(scan(tile(".logic_tile 1 1"), {2, 2}, {5}, 1.0f).text, tile(".logic_tile 1 1"));
  Outcome out = scan(tile(".logic_tile 1 1", 'x'), {0}, {0}, 1.0f);
  EXPECT_EQ(out.text[16], '0');
  EXPECT_EQ(out.text[17], 'x');
}

TEST(TileScan, NothingIsDrawnWithoutTilesOrPositions) {
  EXPECT_EQ(scan("short", {0}, {0}, 1.0f).draws, 0u);
  EXPECT_EQ(scan(".logic_til", {0}, {0}, 1.0f).draws, 0u);  // a tag prefix in the last bytes
  EXPECT_EQ(scan(".io_tile 1 0\n" + std::string(54, '0') + "\n", {0}, {0}, 1.0f).draws, 0u);
  EXPECT_EQ(scan(tile(".logic_tile 1 1"), {}, {0}, 1.0f).text, tile(".logic_tile 1 1"));
  EXPECT_EQ(scan(tile(".logic_tile 1 1"), {0}, {}, 1.0f).draws, 0u);
  EXPECT_EQ(scan(tile(".logic_tile 1 1"), {0}, {0}, -1.0f).draws, 1u);
}

TEST(TileScan, TagsCountOnlyAtLineStarts) {
  std::string indented = tile(" .logic_tile 1 1");
  EXPECT_EQ(scan(indented, {0}, {0}, 1.0f).text, indented);
  std::string inline_tag = "x.logic_tile\n" + tile(".logic_tile 2 2");
  Outcome out = scan(inline_tag, {0}, {0}, 1.0f);
  EXPECT_EQ(out.draws, 1u);
  EXPECT_EQ(out.text[13 + 16], '1');
}

TEST(TileScan, ATileRightAfterAnIndentedHeaderIsFound) {
  // The indented header's first row line is itself a tile header here.
  std::string text = " .logic_tile 9 9\n" + tile(".logic_tile 1 1");
  EXPECT_EQ(scan(text, {0}, {0}, 1.0f).draws, 1u);
}

TEST(TileScan, HeaderAsLastLineAbortsOnTheFirstDrawnFlip) {
  std::string text = "x\n.logic_tile 7 7";
  EXPECT_EQ(scan(text, {1}, {2}, 1.0f).abort,
            "index out of bounds: the len is 17 but the index is " + std::to_string(17 + 55 + 2));
  Outcome quiet = scan(text, {1}, {2}, -1.0f);  // no flip drawn, no abort
  EXPECT_EQ(quiet.text, text);
  EXPECT_EQ(quiet.abort, "");
}

TEST(TileScan, ATileCutShortKeepsTheFlipsBeforeTheAbort) {
  const std::string text = tile(".logic_tile 1 1").substr(0, 16 + 55 * 3);
  Outcome out = scan(text, {0, 2, 3}, {1}, 1.0f);
  EXPECT_EQ(out.abort,
            "index out of bounds: the len is 181 but the index is " + std::to_string(16 + 165 + 1));
  EXPECT_EQ(out.draws, 3u);
  EXPECT_EQ(out.text[16 + 1], '1');
  EXPECT_EQ(out.text[16 + 110 + 1], '1');
}

TEST(TileScan, ACarriageReturnInsideA54ByteRowIsAnOrdinaryByte) {
  std::string text = ".logic_tile 1 1\r\n";  // the header line is not checked
  text += std::string(53, '0') + "\r\n";
  for (int row = 1; row < 16; ++row) text += std::string(54, '0') + "\n";
  Outcome out = scan(text, {0}, {53}, 1.0f);
  EXPECT_EQ(out.text[17 + 53], '0');
}

// The message of the refusal, and the text and draw count it left.
struct Refusal {
  std::string message;
  std::string text;
  std::size_t draws;
};

Refusal refuse(const std::string& text, std::vector<std::uint8_t> rows,
               std::vector<std::uint8_t> columns) {
  Outcome out = scan(text, std::move(rows), std::move(columns), 1.0f);
  return {out.abort.empty() ? "no abort" : out.abort, out.text, out.draws};
}

TEST(TileScan, AMalformedRowRefusesItsTileBeforeAnyDrawAndEarlierTilesKeepTheirFlips) {
  // Line 1 is "x", lines 2 to 18 the first tile, so the second header is line 19; the
  // padding puts that header past several 64-byte blocks.
  const std::string first = "x\n" + tile(".logic_tile 1 1");
  struct Case {
    int row;
    std::string line;
    std::string message;
  };
  const Case cases[] = {
      {0, std::string(53, '0') + "\n", "row 0 is 53 bytes long, not 54"},
      {7, std::string(55, '0') + "\n", "row 7 is 55 bytes long, not 54"},
      {15, "\n", "row 15 is 0 bytes long, not 54"},
      {3, std::string(54, '0') + "\r\n",
       "row 3 ends in a carriage return; convert the file to LF line ends"},
      // LF line ends would not mend a short row: no advice about them.
      {9, std::string(8, '0') + "\r\n", "row 9 is 9 bytes long, not 54"},
      {11, std::string(55, '0') + "\r\n", "row 11 is 56 bytes long, not 54"},
  };
  for (const Case& c : cases) {
    std::string second = ".logic_tile 2 2\n";
    for (int row = 0; row < 16; ++row)
      second += row == c.row ? c.line : std::string(54, '0') + "\n";
    const std::string text = first + second + tile(".logic_tile 3 3");
    Refusal refused = refuse(text, {0, 1}, {2});
    EXPECT_EQ(refused.message, "malformed logic tile at line 19: " + c.message);
    EXPECT_EQ(refused.draws, 2u) << c.row;  // the first tile's two visits only
    std::string expected = text;
    expected[2 + 16 + 2] = '1';
    expected[2 + 16 + 55 + 2] = '1';
    EXPECT_EQ(refused.text, expected) << c.row;
  }
}

TEST(TileScan, OnlyTilesWithVisitsAreCheckedAndACutShortTileIsNot) {
  std::string crlf = ".logic_tile 1 1\n";
  for (int row = 0; row < 16; ++row) crlf += std::string(54, '0') + "\r\n";
  EXPECT_EQ(refuse(crlf, {}, {0}).message, "no abort");
  EXPECT_EQ(refuse(crlf, {0}, {}).message, "no abort");
  // The file ends inside row 2, 70 bytes without a line feed: its flips land as before.
  const std::string cut = tile(".logic_tile 1 1").substr(0, 16 + 2 * 55) + std::string(70, '0');
  Refusal inside = refuse(cut, {2}, {53});
  EXPECT_EQ(inside.message, "no abort");
  EXPECT_EQ(inside.text[16 + 2 * 55 + 53], '1');
}

TEST(TileScan, LineFeedsAcrossBlockBoundariesAndAShortLastBlock) {
  // Tiles placed at every offset of a 64-byte block, and a file ending mid-block.
  for (std::size_t pad = 0; pad < 70; ++pad) {
    const std::string text = std::string(pad, 'p') + "\n" + tile(".logic_tile 1 1") + "xy";
    Outcome out = scan(text, {15}, {53}, 1.0f);
    ASSERT_EQ(out.draws, 1u) << pad;
    EXPECT_EQ(out.text[pad + 1 + 16 + 55 * 15 + 53], '1') << pad;
  }
}

// A Weyl sequence through a mixer: words with every bit pattern, a pure function of n.
std::uint64_t mixed_word(std::size_t n) {
  std::uint64_t word = 0x9E3779B97F4A7C15u * (n + 1);
  word = (word ^ (word >> 30)) * 0xBF58476D1CE4E5B9u;
  word = (word ^ (word >> 27)) * 0x94D049BB133111EBu;
  return word ^ (word >> 31);
}

TEST(TileScan, ManyRunsFlipWhatDrawingOneByOneFlips) {
  // Tiles of complete rows, so the rule is only: per tile, columns outer, rows inner, one draw
  // per visit. Lists of odd lengths and repeats put visits and flips across runs and refills.
  std::string text = ".comment\n";
  std::vector<std::size_t> bodies;
  for (int t = 0; t < 5; ++t) {
    text += "x\n";
    bodies.push_back(text.size() + 16);
    text += tile(".logic_tile 1 " + std::to_string(t), t % 2 == 0 ? '0' : '1');
  }
  std::vector<std::uint8_t> all_rows, all_columns;
  for (std::uint8_t r = 0; r < 16; ++r) all_rows.push_back(r);
  for (std::uint8_t c = 0; c < 54; ++c) all_columns.push_back(c);
  const struct {
    std::vector<std::uint8_t> rows, columns;
  } shapes[] = {{all_rows, all_columns},
                {{0}, all_columns},
                {{7, 3, 3}, {53, 0, 9, 0, 41}},
                {{15, 0, 15, 1, 14, 2, 13, 3, 12, 4, 11, 5, 10, 6, 9, 7, 8, 8, 0, 0}, {5, 6}}};
  for (const auto& shape : shapes) {
    for (float chance : {0.01f, 0.3f, 0.97f, 1.0f}) {
      std::string expected = text;
      std::size_t n = 0;
      for (std::size_t body : bodies) {
        for (std::uint8_t column : shape.columns) {
          for (std::uint8_t row : shape.rows) {
            if (!flips(mixed_word(n++), flip_threshold(chance))) continue;
            char& bit = expected[body + 55 * row + column];
            bit = bit == '0' ? '1' : '0';
          }
        }
      }
      std::vector<std::uint64_t> words(n);
      for (std::size_t i = 0; i < n; ++i) words[i] = mixed_word(i);
      Outcome out = scan(text, shape.rows, shape.columns, chance, words);
      EXPECT_EQ(out.draws, n);
      EXPECT_EQ(out.text, expected) << shape.rows.size() << " x " << shape.columns.size();
    }
  }
}

TEST(TileScan, AnAbortPastTheFirstRunTakesExactlyTheDrawsUpToItsOwn) {
  // The file ends 20 bytes into row 15: (column 20, row 15), draw 335 from 0 with all rows and
  // columns, is the first visit past the end. Draws 3, 127, 128 and 335 flip, 400 would.
  const std::string text = tile(".logic_tile 1 1").substr(0, 16 + 55 * 15 + 20);
  std::vector<std::uint64_t> words(500, keep_word);
  for (std::size_t n : {3, 127, 128, 335, 400}) words[n] = flip_word;
  std::vector<std::uint8_t> rows, columns;
  for (std::uint8_t r = 0; r < 16; ++r) rows.push_back(r);
  for (std::uint8_t c = 0; c < 54; ++c) columns.push_back(c);
  Outcome out = scan(text, rows, columns, 0.5f, words);
  EXPECT_EQ(out.abort, "index out of bounds: the len is " + std::to_string(text.size()) +
                           " but the index is " + std::to_string(16 + 55 * 15 + 20));
  EXPECT_EQ(out.draws, 336u);
  std::string expected = text;
  for (std::size_t n : {3, 127, 128}) expected[16 + 55 * (n % 16) + n / 16] ^= '0' ^ '1';
  EXPECT_EQ(out.text, expected);
}

// The kernels on their own: every path against the portable one.
TEST(ScanKernels, EveryPathFindsTheSameTilesAsThePortableOne) {
  const ScanKernels& portable = *scan_kernels(ScanPath::portable);
  const std::string pieces[] = {".logic_tile 1 2\n",
                                ".logic_tile",
                                ".logic_til\n",
                                ".io_tile 3 4\n",
                                " .logic_tile 0 0\n",
                                "\n",
                                ".",
                                "..logic_tile\n",
                                "0101\n",
                                std::string(54, '0') + "\n",
                                std::string(54, '1') + "\r\n",
                                std::string(53, '0') + "\n",
                                std::string(70, 'x')};
  std::uint64_t state = 1;
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const std::size_t count = mixed_word(state++) % 40;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t pick = mixed_word(state++);
      // Whole tiles now and then, so that the regular-rows check is met as well as missed.
      text += pick % 5 == 0 ? tile(".logic_tile 9 9") : pieces[pick % std::size(pieces)];
    }
    const auto* base = reinterpret_cast<const std::uint8_t*>(text.data());
    for (ScanPath path : scan_paths) {
      if (!scan_path_supported(path)) continue;
      const ScanKernels& kernels = *scan_kernels(path);
      // From every line start, as the scan calls it.
      for (std::size_t from = 0; from <= text.size(); from = text.find('\n', from) + 1) {
        const TileLines expected = portable.find_logic_tile(base, text.size(), from);
        const TileLines found = kernels.find_logic_tile(base, text.size(), from);
        ASSERT_EQ(found.header, expected.header) << scan_path_name(path) << " " << round;
        ASSERT_EQ(found.body, expected.body) << scan_path_name(path) << " " << round;
        ASSERT_EQ(found.regular, expected.regular) << scan_path_name(path) << " " << round;
        if (text.find('\n', from) == std::string::npos) break;
      }
    }
  }
}

TEST(ScanKernels, ThePortableSearchFollowsTheTileRules) {
  const ScanKernels& portable = *scan_kernels(ScanPath::portable);
  auto find = [&](const std::string& text, std::size_t from = 0) {
    return portable.find_logic_tile(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                                    from);
  };
  const std::string whole = tile(".logic_tile 1 1");
  TileLines found = find("x\n" + whole);
  EXPECT_EQ(found.header, 2u);
  EXPECT_EQ(found.body, 18u);
  EXPECT_TRUE(found.regular);
  EXPECT_EQ(find("x" + whole).header, whole.size() + 1);          // mid-line: no tile
  EXPECT_EQ(find(whole, 1).header, whole.size());                 // starts past it
  EXPECT_FALSE(find(whole.substr(0, whole.size() - 1)).regular);  // the last feed missing
  found = find("\n.logic_tile");                                  // a header without a line feed
  EXPECT_EQ(found.header, 1u);
  EXPECT_EQ(found.body, 12u);
  EXPECT_FALSE(found.regular);
  std::string long_row = whole;
  long_row.insert(16 + 55 * 4, "0");
  EXPECT_FALSE(find(long_row).regular);
}

TEST(ScanKernels, EveryPathDecidesTheFlipsOfEveryRunLength) {
  std::vector<std::uint32_t> words(2 * flip_run_draws);
  for (std::uint64_t threshold : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1} << 51,
                                  (std::uint64_t{1} << 52) - 1, std::uint64_t{1} << 52}) {
    for (std::size_t draw = 0; draw < flip_run_draws; ++draw) {
      // Draws at the threshold and either side of it, and anything.
      std::uint64_t word = mixed_word(draw + threshold);
      if (draw % 3 != 0) word = ((threshold + draw % 3 - 2) << 12) | (word & 0xFFF);
      words[2 * draw] = static_cast<std::uint32_t>(word);
      words[2 * draw + 1] = static_cast<std::uint32_t>(word >> 32);
    }
    for (std::size_t draws = 0; draws <= flip_run_draws; ++draws) {
      std::uint64_t expected[2] = {0, 0};
      for (std::size_t i = 0; i < draws; ++i) {
        const std::uint64_t word = std::uint64_t{words[2 * i + 1]} << 32 | words[2 * i];
        expected[i / 64] |= std::uint64_t{flips(word, threshold)} << (i % 64);
      }
      for (ScanPath path : scan_paths) {
        if (!scan_path_supported(path)) continue;
        std::uint64_t masks[2] = {~std::uint64_t{0}, ~std::uint64_t{0}};
        scan_kernels(path)->decide_flips(words.data(), draws, threshold, masks);
        for (std::size_t half = 0; half * 64 < draws; ++half) {
          ASSERT_EQ(masks[half], expected[half]) << scan_path_name(path) << " " << draws;
        }
      }
    }
  }
}

}  // namespace
}  // namespace gridflip
