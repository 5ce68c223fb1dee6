// Binding and conversion of mutate's arguments. Returns argument errors as PyErr;
// aborts only when Python code called during conversion raises PanicException,
// or when collections.abc.Sequence cannot be looked up.
#pragma once

#include "binding/py_error.hpp"
#include "lib.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gridflip {

// The parameters of a function, as its binding sorts the arguments into them.
struct Signature {
  std::string_view function_name;
  std::array<std::string_view, 4> parameter_names;
};

inline constexpr Signature mutate_signature = {"mutate",
                                               {"fpath", "rows", "columns", "mutation_chance"}};

// Borrowed argument objects, one per parameter.
using ArgumentSlots = std::array<PyObject*, 4>;

// The bytes os.fsencode gives for the path's str (NULs included), owned as the
// bytes object itself: no copy, and its buffer ends in a NUL.
class FsPath {
 public:
  explicit FsPath(PyRef encoded) noexcept : encoded_(std::move(encoded)) {}
  const char* data() const noexcept { return PyBytes_AS_STRING(encoded_.get()); }
  std::size_t size() const noexcept {
    return static_cast<std::size_t>(PyBytes_GET_SIZE(encoded_.get()));
  }
  // The same bytes for the operation, which releases the bytes object with the path.
  CircuitPath into_circuit_path() && noexcept {
    PyObject* owner = encoded_.release();
    return CircuitPath(
        TerminatedPath(PyBytes_AS_STRING(owner), static_cast<std::size_t>(PyBytes_GET_SIZE(owner))),
        owner, [](void* bytes) noexcept { Py_DECREF(static_cast<PyObject*>(bytes)); });
  }

 private:
  PyRef encoded_;
};

struct MutateArguments {
  FsPath path;
  ByteList rows;
  ByteList columns;
  float chance;
};

PyResult<ArgumentSlots> bind_arguments(const Signature& signature, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames);
PyResult<FsPath> convert_path(PyObject* object);
PyResult<ByteList> convert_byte_list(PyObject* object);
PyResult<float> convert_chance(PyObject* object);
// Puts the parameter name into an exact TypeError; any other error passes unchanged.
PyErr wrap_argument_error(std::string_view parameter_name, PyErr error);

// Binds, then converts fpath, rows, columns and mutation_chance in that order, then checks
// the coordinates' range; the first failure ends it.
PyResult<MutateArguments> bind_mutate_arguments(PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames);

}  // namespace gridflip
