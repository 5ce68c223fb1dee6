// The module object and the entry points the interpreter calls.
#pragma once

#include "binding/py_error.hpp"

namespace gridflip {

// Adds `mutate` and `__all__` to a fresh module. Aborts when appending to __all__ fails.
PyStatus populate_module(PyObject* module);

}  // namespace gridflip

extern "C" PyMODINIT_FUNC PyInit_gridflip(void);
