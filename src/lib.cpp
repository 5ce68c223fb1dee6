// The mutate operation.
#include "lib.hpp"

#include "binding/arguments.hpp"

namespace gridflip {

PyResult<PyRef> mutate(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyResult<MutateArguments> arguments = bind_mutate_arguments(args, nargs, kwnames);
  if (!arguments.ok()) return std::move(arguments.error());
  return PyRef::borrow(Py_None);
}

}  // namespace gridflip
