// CircuitMap's ownership and the platform-neutral checks of the mapping.
#include "circuit/circuit_map.hpp"

namespace gridflip {

std::uint8_t* CircuitMap::empty_marker() noexcept {
  // The smallest page size taken as an address: non-null, and inside the lowest
  // pages that the system never maps, so a stray access faults instead of reading.
  constexpr std::uintptr_t marker = 4096;
  return reinterpret_cast<std::uint8_t*>(marker);
}

CircuitMap::CircuitMap(CircuitMap&& other) noexcept
    : kept_handle_(std::move(other.kept_handle_)),
      base_(std::exchange(other.base_, empty_marker())),
      length_(std::exchange(other.length_, 0)) {}

CircuitMap& CircuitMap::operator=(CircuitMap&& other) noexcept {
  if (this != &other) {
    unmap_circuit(*this);
    kept_handle_ = std::move(other.kept_handle_);
    base_ = std::exchange(other.base_, empty_marker());
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

CircuitMap::~CircuitMap() { unmap_circuit(*this); }

}  // namespace gridflip
