// The body of mutate and the logic-tile mutation pass over one mapped circuit.
#pragma once

#include "binding/arguments.hpp"
#include "binding/py_error.hpp"
#include "circuit/circuit_map.hpp"
#include "random/thread_random.hpp"

namespace gridflip {

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
  // The abort message of a fault on the view: a truncation when the file is now shorter.
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

// mutate(fpath, rows, columns, mutation_chance) from the fast-call arguments.
// Returns None or an argument error; aborts when the file cannot be opened,
// mapped or flushed, or on the pass's aborts.
PyResult<PyRef> mutate(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace gridflip
