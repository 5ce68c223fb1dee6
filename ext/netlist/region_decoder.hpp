// The switches of a region's logic tiles, decoded from a candidate's bytes against the last
// candidate decoded, and what NetlistFitness asks of them: the wires with two drivers, the
// nodes a switch that is on reaches, and their neighbours.
// No Python here. The constructor throws std::invalid_argument for tables that do not fit
// together; nothing else throws, and load() allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace netlist {

// A logic tile as gridflip finds it: 16 rows of 54 bits, each row ending in a line feed.
inline constexpr int kRows = 16;
inline constexpr int kColumns = 54;
inline constexpr int kStride = kColumns + 1;
inline constexpr int kTileBytes = kRows * kStride;

// The derived table, flattened. "first" arrays hold one more entry than they index: entries
// [first[i], first[i + 1]) belong to i.
struct RegionTables {
  std::vector<std::int64_t> bodies;          // per tile: the file offset of its row 0
  std::vector<std::int32_t> position_first;  // per tile and in-body byte (kTileBytes each)
  std::vector<std::int32_t> position_groups;
  std::vector<std::int32_t> group_offset_first;  // per group: its bits' file offsets
  std::vector<std::int64_t> group_offsets;
  std::vector<std::int32_t> group_row_first;  // per group: its rows (sources)
  std::vector<std::int32_t> seed_rows;        // per group: the row the seed switches on, or -1
  std::vector<std::int32_t> row_pattern;      // per row: bit i is the value of the group's bit i
  std::vector<std::int32_t> row_src;          // per row: the nodes it joins
  std::vector<std::int32_t> row_dst;
  std::vector<std::int32_t> row_wire;        // per row: the wire it drives
  std::vector<std::uint8_t> row_unfed;       // per row: a carry input no carry chain feeds
  std::vector<std::int32_t> wire_outside;    // per wire: its drivers outside the region
  std::vector<std::int32_t> node_row_first;  // per node: the rows that join it
  std::vector<std::int32_t> node_rows;
};

class RegionDecoder {
 public:
  // The decoder in the seed's state.
  explicit RegionDecoder(RegionTables tables);

  // Decodes `data` against `reference` (the bytes the decoder's state was last loaded from,
  // or the seed): the groups whose bits differ. False, with nothing changed, where `data` is
  // too short or a region tile is no longer 16 rows of 54 bits ('0' or '1', then a line feed).
  bool load(std::span<const std::uint8_t> data, std::span<const std::uint8_t> reference);

  // A wire with more than one driver, or a carry input no carry chain feeds, switched on.
  bool findings() const noexcept { return over_ > 0 || unfed_on_ > 0; }
  // Whether a switch that is on joins the node to another (icebox_vlog then gives it a net).
  bool touched(std::int32_t node) const noexcept;
  // The nodes that the switches that are on join to `node`, appended to `out`.
  void neighbours(std::int32_t node, std::vector<std::int32_t>& out) const;
  std::vector<std::int32_t> on_rows() const;
  std::vector<std::int32_t> over_wires() const;
  std::size_t node_count() const noexcept { return node_on_.size(); }

 private:
  void set(std::int32_t row, int delta) noexcept;

  RegionTables t_;
  std::vector<std::int32_t> current_;  // per group: its row that is on, or -1
  std::vector<std::uint8_t> on_;       // per row
  std::vector<std::int32_t> count_;    // per wire: the region's rows that are on and drive it
  std::vector<std::int32_t> node_on_;  // per node: rows that are on and join it
  std::vector<std::uint32_t> seen_;    // per group: the load that last touched it
  std::vector<std::int32_t> touched_;  // the groups this load touches (capacity: every group)
  std::uint32_t epoch_ = 0;
  std::int64_t needed_ = 0;    // the bytes a candidate must have
  std::int64_t over_ = 0;      // wires with more than one driver
  std::int64_t unfed_on_ = 0;  // unfed carry inputs switched on
};

}  // namespace netlist
