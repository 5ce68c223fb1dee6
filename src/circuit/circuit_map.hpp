// The circuit file's access: open an existing file, map it whole as one shared
// writable view, flush the view to storage, and release it.
// None of these functions aborts: failures come back as IoError values, and the
// release never fails.
#pragma once

#include "circuit/io_error.hpp"
#include "circuit/unique_fd.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace gridflip {

// What the caller will do with a view: read all of it, which the system then reads in at once
// rather than page by page, or leave it untouched (a file of any size then costs nothing).
enum class ViewUse { read_whole, untouched };

// The shared, readable and writable, never executable mapping of one whole file,
// from offset 0 to its length when mapped. It keeps a descriptor of its own, so it
// outlives the descriptor it was made from and can flush by itself. Move-only; a
// moved-from map is the empty map.
class CircuitMap {
 public:
  // The empty map: no view, no descriptor, length 0.
  CircuitMap() noexcept = default;
  CircuitMap(CircuitMap&& other) noexcept;
  CircuitMap& operator=(CircuitMap&& other) noexcept;
  CircuitMap(const CircuitMap&) = delete;
  CircuitMap& operator=(const CircuitMap&) = delete;
  ~CircuitMap();

  // The first byte of the file. For the empty map a non-null marker that must not
  // be dereferenced.
  std::uint8_t* base() const noexcept { return base_; }
  std::size_t length() const noexcept { return length_; }
  bool is_empty() const noexcept { return length_ == 0; }
  // The map's own descriptor; closed for the empty map.
  const UniqueFd& kept_handle() const noexcept { return kept_handle_; }

 private:
  friend IoResult<CircuitMap> map_circuit(const UniqueFd& file, ViewUse use);
  friend void unmap_circuit(CircuitMap& map) noexcept;

  CircuitMap(UniqueFd kept_handle, std::uint8_t* base, std::size_t length) noexcept
      : kept_handle_(std::move(kept_handle)), base_(base), length_(length) {}

  static std::uint8_t* empty_marker() noexcept;

  UniqueFd kept_handle_;
  std::uint8_t* base_ = empty_marker();
  std::size_t length_ = 0;
};

// A file system path's bytes, borrowed, with a NUL just past their end (as a
// C++ string and a Python bytes object keep them), so the open needs no copy.
class TerminatedPath {
 public:
  // `data[size]` must be the NUL.
  TerminatedPath(const char* data, std::size_t size) noexcept : bytes_(data, size) {}
  std::string_view bytes() const noexcept { return bytes_; }
  const char* c_str() const noexcept { return bytes_.data(); }

 private:
  std::string_view bytes_;
};

// Opens an existing file for reading and writing, never creating, truncating or
// extending it; the descriptor is not inherited by child processes and is never
// 0, 1 or 2. A NUL anywhere in the path is refused without any system call.
IoResult<UniqueFd> open_circuit(TerminatedPath path);

// Maps the whole file behind `file`, which stays the caller's and is never closed
// or changed here. An empty file gives the empty map without asking the system for
// a mapping; a file that is not a regular file (device, pipe, socket) is refused
// with ENODEV, and a length beyond the signed machine word with InvalidData, both
// before anything is made. A failure releases whatever the call had made.
IoResult<CircuitMap> map_circuit(const UniqueFd& file, ViewUse use = ViewUse::read_whole);

// The length of the mapped file now, which differs from the map's when the file was truncated
// or extended since it was mapped. The empty map gives 0.
IoResult<std::uintmax_t> current_file_length(const CircuitMap& map);

// Whether the file system holding the mapped file has no block left that this process may use
// (statvfs's f_bavail is 0). The empty map gives false.
IoResult<bool> file_system_full(const CircuitMap& map);

// Writes every changed page of the view to the file, then the file to storage,
// stopping at the first failure; success when both are done. The map stays usable either
// way. The empty map succeeds without a system call.
IoStatus flush_circuit(const CircuitMap& map);

// Unmaps the view and closes the map's descriptor, leaving the empty map. Does not
// flush. Ignores the system's results; the empty map needs nothing.
void unmap_circuit(CircuitMap& map) noexcept;

}  // namespace gridflip
