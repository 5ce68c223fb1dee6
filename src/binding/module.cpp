// Module definition, method record, the entry point and mutate's call frame.
#include "binding/module.hpp"

#include "binding/arguments.hpp"
#include "binding/call_frame.hpp"
#include "binding/interpreter_hooks.hpp"
#include "binding/once_cell.hpp"
#include "binding/recursion_guard.hpp"
#include "lib.hpp"

#include <atomic>

namespace gridflip {
namespace {

constexpr const char mutate_docstring[] =
    "mutate(fpath, rows, columns, mutation_chance)\n"
    "--\n"
    "\n"
    "Mutates a circuit.asc in place.\n"
    "# Arguments\n"
    "* 'fpath' - path to circuit\n"
    "* 'rows' - List of 0 indexed rows to mutate on [0-15]\n"
    "* 'columns' - List of 0 indexed columns to mutate on [0-53]\n"
    "* 'mutation_chance' - chance to flip bit [0-1]";
static_assert(sizeof(mutate_docstring) - 1 == 282);

// mutate(fpath, rows, columns, mutation_chance) from the fast-call arguments: binds them, then
// runs the operation. Returns None or an argument error; the operation's failures are aborts.
PyResult<PyRef> mutate(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyResult<MutateArguments> bound = bind_mutate_arguments(args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound.error());
  MutateArguments& arguments = bound.value();
  gridflip::mutate(std::move(arguments.path).into_circuit_path(), std::move(arguments.rows),
                   std::move(arguments.columns), arguments.chance);
  return PyRef::borrow(Py_None);
}

PyObject* mutate_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return run_call_frame([&]() -> PyResult<PyRef> {
    // Argument hooks (__fspath__, __index__, ...) may call mutate again.
    const RecursionGuard level(" in gridflip.mutate");
    if (!level.entered()) return fetch_or_system_error();
    return mutate(args, nargs, kwnames);
  });
}

PyMethodDef mutate_method = {
    "mutate",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&mutate_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    mutate_docstring,
};

// No per-module state, no slots, no method table: mutate is added by populate_module.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "gridflip", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> owner_interpreter_id{-1};
PyOnceCell module_cache("creating the module");

// Fills the module cell; the failure of a fill leaves it empty for the next import.
PyResult<PyRef> create_module() {
  PyResult<PyObject*> module = module_cache.get_or_fill([]() -> PyResult<PyRef> {
    PyRef fresh = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!fresh) return fetch_or_system_error();
    PyStatus populated = populate_module(fresh.get());
    if (!populated.ok()) return std::move(populated.error());
    return fresh;
  });
  if (!module.ok()) return std::move(module.error());
  return PyRef::borrow(module.value());
}

PyResult<PyRef> initialise_module() {
  install_blocking_hooks(&interpreter_blocking_hooks);
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return fetch_or_system_error();
  std::int64_t expected = -1;
  if (!owner_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    return PyErr::described(
        PyExc_ImportError,
        "gridflip does not support sub-interpreters: it was first imported in another "
        "interpreter of this process");
  }
  return create_module();
}

}  // namespace

PyStatus populate_module(PyObject* module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return fetch_or_system_error();
  PyRef function = PyRef::steal(PyCMethod_New(&mutate_method, module, module_name.get(), nullptr));
  module_name.reset();
  if (!function) return fetch_or_system_error();

  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return fetch_or_system_error();
  if (!PyUnicode_Check(name.get())) return cast_error(name.get(), &PyUnicode_Type);

  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr error = fetch_or_system_error();
    if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) return error;
    all = PyRef::steal(PyList_New(0));
    if (!all) return fetch_or_system_error();
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) return fetch_or_system_error();
  } else if (!PyList_Check(all.get())) {
    return cast_error(all.get(), &PyList_Type);
  }
  if (PyList_Append(all.get(), name.get()) != 0) {
    PyErr error = fetch_or_system_error();
    abort_call("could not append __name__ to __all__: " + describe_error(error));
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) != 0) return fetch_or_system_error();
  return success;
}

}  // namespace gridflip

PyMODINIT_FUNC PyInit_gridflip(void) {
  return gridflip::run_call_frame([] { return gridflip::initialise_module(); });
}
