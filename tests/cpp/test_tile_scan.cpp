// The logic-tile scan on hand-built texts, with scripted draws.
#include "tile_scan.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace gridflip {
namespace {

constexpr std::uint64_t flip_word = 0;                    // sample 0.0
constexpr std::uint64_t keep_word = ~std::uint64_t{0};     // sample 1 - 2^-52

std::string tile(const std::string& header, char fill = '0') {
  std::string text = header + "\n";
  for (int row = 0; row < 16; ++row) text += std::string(54, fill) + "\n";
  return text;
}

struct Scripted {
  std::vector<std::uint64_t> words;
  std::size_t used = 0;
  std::uint64_t operator()() {
    const std::size_t turn = used++;
    return turn < words.size() ? words[turn] : keep_word;
  }
};

struct Outcome {
  std::string text;
  std::size_t draws;
};

Outcome scan(std::string text, std::vector<std::uint8_t> rows, std::vector<std::uint8_t> columns,
             float chance, Scripted draws = {}) {
  std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(text.data()), text.size());
  Scripted* source = &draws;
  scan_logic_tiles(bytes, rows, columns, flip_threshold(chance), [source] { return (*source)(); });
  return {text, draws.used};
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
                     Scripted{{keep_word, keep_word, flip_word, keep_word}});
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
  EXPECT_EQ(scan(".logic_til", {0}, {0}, 1.0f).draws, 0u);   // a tag prefix in the last bytes
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
  try {
    scan(text, {1}, {2}, 1.0f);
    FAIL() << "no abort";
  } catch (const CallAbort& abort) {
    EXPECT_EQ(abort.message(), "index out of bounds: the len is 17 but the index is " +
                                   std::to_string(17 + 55 + 2));
  }
  lower_aborts_in_flight();
  EXPECT_EQ(scan(text, {1}, {2}, -1.0f).text, text);  // no flip drawn, no abort
}

TEST(TileScan, ATileCutShortKeepsTheFlipsBeforeTheAbort) {
  std::string text = tile(".logic_tile 1 1").substr(0, 16 + 55 * 3);
  std::vector<std::uint8_t> rows = {0, 2, 3};
  std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(text.data()), text.size());
  std::size_t draws = 0;
  EXPECT_THROW(scan_logic_tiles(bytes, rows, std::vector<std::uint8_t>{1}, flip_threshold(1.0f),
                                [&] { return ++draws, flip_word; }),
               CallAbort);
  lower_aborts_in_flight();
  EXPECT_EQ(draws, 3u);
  EXPECT_EQ(text[16 + 1], '1');
  EXPECT_EQ(text[16 + 110 + 1], '1');
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

Refusal refuse(std::string text, std::vector<std::uint8_t> rows, std::vector<std::uint8_t> columns) {
  std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(text.data()), text.size());
  std::size_t draws = 0;
  std::string message = "no abort";
  try {
    scan_logic_tiles(bytes, rows, columns, flip_threshold(1.0f), [&] { return ++draws, flip_word; });
  } catch (const CallAbort& abort) {
    lower_aborts_in_flight();
    message = abort.message();
  }
  return {message, text, draws};
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
      {9, "01\r\n", "row 9 ends in a carriage return; convert the file to LF line ends"},
  };
  for (const Case& c : cases) {
    std::string second = ".logic_tile 2 2\n";
    for (int row = 0; row < 16; ++row) second += row == c.row ? c.line : std::string(54, '0') + "\n";
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

}  // namespace
}  // namespace gridflip
