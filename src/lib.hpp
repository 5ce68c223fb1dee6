// The mutate operation and the logic-tile mutation pass over one mapped circuit: plain C++, with
// no Python in it. Every failure here is an abort (report/call_abort.hpp), decided here from the
// values the layers below return.
#pragma once

#include "circuit/circuit_map.hpp"
#include "random/thread_random.hpp"

#include <cstdint>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gridflip {

// Row or column values, in the caller's order, repeats kept.
using ByteList = std::vector<std::uint8_t>;

// The circuit's path for the length of the open: bytes with a NUL just past their end, borrowed
// from an owner that the function given with it releases. Move-only; releasing it twice, or a
// moved-from path, releases nothing.
class CircuitPath {
 public:
  using ReleaseOwner = void (*)(void* owner) noexcept;

  CircuitPath(TerminatedPath bytes, void* owner, ReleaseOwner release_owner) noexcept
      : bytes_(bytes), owner_(owner), release_owner_(release_owner) {}
  CircuitPath(CircuitPath&& other) noexcept
      : bytes_(other.bytes_),
        owner_(std::exchange(other.owner_, nullptr)),
        release_owner_(std::exchange(other.release_owner_, nullptr)) {}
  CircuitPath& operator=(CircuitPath&&) = delete;
  CircuitPath(const CircuitPath&) = delete;
  CircuitPath& operator=(const CircuitPath&) = delete;
  ~CircuitPath() { release(); }

  // Valid until release().
  TerminatedPath bytes() const noexcept { return bytes_; }
  void release() noexcept {
    if (ReleaseOwner release_owner = std::exchange(release_owner_, nullptr)) release_owner(owner_);
  }

 private:
  TerminatedPath bytes_;
  void* owner_;
  ReleaseOwner release_owner_;
};

// One run over one file. Owns everything in it; releasing it unmaps the file
// (without a flush), then frees the rows, the columns and the generator handle.
class MutationPass {
 public:
  MutationPass(CircuitMap mapping, ByteList rows, ByteList columns, ThreadRandom generator,
               float chance) noexcept;

  // Flips the drawn positions of every logic tile in place. Aborts with the
  // index message when a drawn position lies at or past the end of the file,
  // and with the malformed-tile message, before the tile's first draw, when a
  // row line of a tile is not 54 bytes long; the flips made before either stay.
  // Aborts too when a page of the view faults (the file shrank, or its file system could not
  // back the page). Reads nothing when the rows or the columns are empty.
  void run();

  const CircuitMap& mapping() const noexcept { return mapping_; }

 private:
  // The abort message of a fault on the view: a truncation when the file is now shorter, a full
  // file system when it has no block left, or neither.
  std::string describe_access_fault() const;

  // Members are destroyed in reverse order: the mapping goes first.
  ThreadRandom generator_;
  ByteList columns_;
  ByteList rows_;
  CircuitMap mapping_;
  // The sampler's [0, 1) sample compared with the chance, as one integer test
  // on the draw (see flip_threshold).
  std::uint64_t threshold_;
};

// abort_call with "{text}: {render_io_error(error)}", at the caller's location: how the
// operation aborts on an error of the file access.
[[noreturn]] void abort_with_io_error(std::string_view text, const IoError& error,
                                      std::source_location where = std::source_location::current());

// The mutate operation on values the binding has checked: opens the file at `path` (released
// right after the attempt), maps it, runs the pass and flushes. Returns once every flip is in
// the file and flushed. Aborts when the file cannot be opened, mapped or flushed, and with the
// pass's aborts; the flips made before an abort in the pass stay in the file.
void mutate(CircuitPath path, ByteList rows, ByteList columns, float chance);

}  // namespace gridflip
