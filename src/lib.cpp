// The mutate operation.
#include "lib.hpp"

namespace gridflip {

PyResult<PyRef> mutate(PyObject* const* /*args*/, Py_ssize_t /*nargs*/, PyObject* /*kwnames*/) {
  return PyRef::borrow(Py_None);
}

}  // namespace gridflip
