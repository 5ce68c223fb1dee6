// The region's switch decoder: table checks, the byte-level diff, and the state it keeps.
#include "region_decoder.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace netlist {
namespace {

// Entries [first[i], first[i + 1]) of `values` must exist for every i.
void check_ranges(const std::vector<std::int32_t>& first, std::size_t count, std::size_t values,
                  const char* what) {
  if (first.size() != count + 1 || first.front() != 0 ||
      static_cast<std::size_t>(first.back()) != values ||
      !std::is_sorted(first.begin(), first.end())) {
    throw std::invalid_argument(what);
  }
}

void check_indexes(const std::vector<std::int32_t>& values, std::size_t limit, bool allow_none,
                   const char* what) {
  for (std::int32_t value : values) {
    if (value < (allow_none ? -1 : 0) || (value >= 0 && static_cast<std::size_t>(value) >= limit)) {
      throw std::invalid_argument(what);
    }
  }
}

}  // namespace

RegionDecoder::RegionDecoder(RegionTables tables) : t_(std::move(tables)) {
  const std::size_t tiles = t_.bodies.size();
  const std::size_t groups = t_.seed_rows.size();
  const std::size_t rows = t_.row_pattern.size();
  const std::size_t wires = t_.wire_outside.size();
  const std::size_t nodes = t_.node_row_first.empty() ? 0 : t_.node_row_first.size() - 1;
  check_ranges(t_.position_first, tiles * kTileBytes, t_.position_groups.size(), "positions");
  check_ranges(t_.group_offset_first, groups, t_.group_offsets.size(), "group offsets");
  check_ranges(t_.group_row_first, groups, rows, "group rows");
  check_ranges(t_.node_row_first, nodes, t_.node_rows.size(), "node rows");
  if (t_.row_src.size() != rows || t_.row_dst.size() != rows || t_.row_wire.size() != rows ||
      t_.row_unfed.size() != rows) {
    throw std::invalid_argument("rows");
  }
  check_indexes(t_.position_groups, groups, false, "position groups");
  check_indexes(t_.row_src, nodes, false, "row sources");
  check_indexes(t_.row_dst, nodes, false, "row destinations");
  check_indexes(t_.row_wire, wires, false, "row wires");
  check_indexes(t_.node_rows, rows, false, "node rows");
  for (std::size_t group = 0; group < groups; ++group) {
    const std::int32_t seed = t_.seed_rows[group];
    if (seed != -1 && (seed < t_.group_row_first[group] || seed >= t_.group_row_first[group + 1])) {
      throw std::invalid_argument("seed rows");
    }
    if (t_.group_offset_first[group + 1] - t_.group_offset_first[group] > 31) {
      throw std::invalid_argument("a group of more than 31 bits");
    }
  }
  for (std::int64_t offset : t_.group_offsets) {
    if (offset < 0) throw std::invalid_argument("group offsets");
    needed_ = std::max(needed_, offset + 1);
  }
  for (std::int64_t body : t_.bodies) {
    if (body < 0) throw std::invalid_argument("bodies");
    needed_ = std::max(needed_, body + kTileBytes);
  }
  current_.assign(groups, -1);
  on_.assign(rows, 0);
  count_.assign(wires, 0);
  node_on_.assign(nodes, 0);
  seen_.assign(groups, 0);
  touched_.reserve(groups);
  for (std::size_t wire = 0; wire < wires; ++wire) {
    if (t_.wire_outside[wire] > 1) ++over_;
  }
  for (std::size_t group = 0; group < groups; ++group) {
    current_[group] = t_.seed_rows[group];
    if (current_[group] >= 0) set(current_[group], 1);
  }
}

bool RegionDecoder::load(std::span<const std::uint8_t> data,
                         std::span<const std::uint8_t> reference) {
  if (static_cast<std::int64_t>(data.size()) < needed_ ||
      static_cast<std::int64_t>(reference.size()) < needed_) {
    return false;
  }
  if (++epoch_ == 0) {  // the stamps wrapped: start them again
    std::fill(seen_.begin(), seen_.end(), 0);
    epoch_ = 1;
  }
  touched_.clear();
  // First every tile is checked and the touched groups listed; only then does the state change.
  for (std::size_t tile = 0; tile < t_.bodies.size(); ++tile) {
    const std::uint8_t* now = data.data() + t_.bodies[tile];
    const std::uint8_t* before = reference.data() + t_.bodies[tile];
    if (std::memcmp(now, before, kTileBytes) == 0) continue;
    const std::int32_t* first = t_.position_first.data() + tile * kTileBytes;
    for (int position = 0; position < kTileBytes; ++position) {
      const std::uint8_t byte = now[position];
      if (position % kStride == kColumns) {
        if (byte != '\n') return false;
        continue;
      }
      if (byte == before[position]) continue;
      if (byte != '0' && byte != '1') return false;
      for (std::int32_t k = first[position]; k < first[position + 1]; ++k) {
        const std::int32_t group = t_.position_groups[k];
        if (seen_[group] != epoch_) {
          seen_[group] = epoch_;
          touched_.push_back(group);
        }
      }
    }
  }
  for (std::int32_t group : touched_) {
    std::int32_t pattern = 0;
    for (std::int32_t k = t_.group_offset_first[group], bit = 0;
         k < t_.group_offset_first[group + 1]; ++k, ++bit) {
      if (data[t_.group_offsets[k]] == '1') pattern |= std::int32_t{1} << bit;
    }
    std::int32_t found = -1;
    for (std::int32_t row = t_.group_row_first[group]; row < t_.group_row_first[group + 1]; ++row) {
      if (t_.row_pattern[row] == pattern) {
        found = row;
        break;
      }
    }
    if (found != current_[group]) {
      if (current_[group] >= 0) set(current_[group], -1);
      if (found >= 0) set(found, 1);
      current_[group] = found;
    }
  }
  return true;
}

void RegionDecoder::set(std::int32_t row, int delta) noexcept {
  on_[row] = delta > 0 ? 1 : 0;
  const std::int32_t wire = t_.row_wire[row];
  const bool was_over = t_.wire_outside[wire] + count_[wire] > 1;
  count_[wire] += delta;
  const bool is_over = t_.wire_outside[wire] + count_[wire] > 1;
  over_ += static_cast<int>(is_over) - static_cast<int>(was_over);
  if (t_.row_unfed[row] != 0) unfed_on_ += delta;
  node_on_[t_.row_src[row]] += delta;
  node_on_[t_.row_dst[row]] += delta;
}

bool RegionDecoder::touched(std::int32_t node) const noexcept {
  return node >= 0 && static_cast<std::size_t>(node) < node_on_.size() && node_on_[node] > 0;
}

void RegionDecoder::neighbours(std::int32_t node, std::vector<std::int32_t>& out) const {
  if (!touched(node)) return;
  for (std::int32_t k = t_.node_row_first[node]; k < t_.node_row_first[node + 1]; ++k) {
    const std::int32_t row = t_.node_rows[k];
    if (on_[row] != 0) out.push_back(t_.row_src[row] == node ? t_.row_dst[row] : t_.row_src[row]);
  }
}

std::vector<std::int32_t> RegionDecoder::on_rows() const {
  std::vector<std::int32_t> rows;
  for (std::size_t row = 0; row < on_.size(); ++row) {
    if (on_[row] != 0) rows.push_back(static_cast<std::int32_t>(row));
  }
  return rows;
}

std::vector<std::int32_t> RegionDecoder::over_wires() const {
  std::vector<std::int32_t> wires;
  for (std::size_t wire = 0; wire < count_.size(); ++wire) {
    if (t_.wire_outside[wire] + count_[wire] > 1) wires.push_back(static_cast<std::int32_t>(wire));
  }
  return wires;
}

}  // namespace netlist
