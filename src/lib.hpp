// The body of mutate.
#pragma once

#include "binding/py_error.hpp"

namespace gridflip {

// mutate(fpath, rows, columns, mutation_chance) from the fast-call arguments.
// Returns None, an argument error, or aborts.
PyResult<PyRef> mutate(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace gridflip
