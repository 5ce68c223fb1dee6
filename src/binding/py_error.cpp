// PyErr's passage to and from the interpreter, PanicException, and the cast error.
#include "binding/py_error.hpp"

#include "binding/once_cell.hpp"
#include "report/report.hpp"

namespace gridflip {
namespace {

PyOnceCell panic_type_cell("creating the PanicException type");

constexpr const char* panic_docstring =
    "\n"
    "The exception raised when gridflip's native code, called from Python, aborts.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// The type's qualified name, or the fixed fallback text.
std::string qualified_type_name(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetQualName(type));
  if (name) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(text, static_cast<std::size_t>(size));
    }
  }
  // The failure is what this text stands for; it is dropped here.
  discard_interpreter_error();
  return "<failed to extract type name>";
}

// Builds the argument object of a described error; aborts when it cannot.
PyRef build_argument(const std::string& message, PyErr::Argument form) {
  PyRef text = PyRef::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text && form == PyErr::Argument::panic_tuple) {
    PyRef tuple = PyRef::steal(PyTuple_New(1));
    if (tuple) {
      PyTuple_SET_ITEM(tuple.get(), 0, text.release());
      return tuple;
    }
    text.reset();
  }
  if (!text) {
    PyErr_Print();
    abort_call("Python API call failed");
  }
  return text;
}

// str() of a PanicException taken back from Python code, as UTF-8.
std::string panic_message(PyObject* exception) {
  PyRef text = PyRef::steal(PyObject_Str(exception));
  if (!text) {
    PyErr_Clear();  // not passed through fetch: it could resume yet another abort
    return "Unwrapped panic from Python code";
  }
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  // Unpaired surrogates: encode them as they are, then replace each invalid
  // sequence, which gives three U+FFFD per surrogate.
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  PyRef lossy;
  if (bytes) {
    lossy = PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                              PyBytes_GET_SIZE(bytes.get()), "replace"));
  }
  if (lossy) {
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(lossy.get(), &size)) {
      return std::string(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return "Unwrapped panic from Python code";
}

[[noreturn]] void resume_panic_from_python(PyRef exception) {
  write_report_text(
      "--- gridflip's binding layer is resuming an abort after fetching a PanicException from "
      "Python ---\n"
      "Python stack trace below:\n");
  PyErr_SetRaisedException(Py_NewRef(exception.get()));
  PyErr_PrintEx(0);
  resume_abort(panic_message(exception.get()));
}

}  // namespace

PyObject* PyErr::type() const noexcept {
  if (const auto* fetched = std::get_if<PyRef>(&state_)) {
    return reinterpret_cast<PyObject*>(Py_TYPE(fetched->get()));
  }
  return std::get<Described>(state_).type.get();
}

const std::string& PyErr::described_message() const noexcept {
  static const std::string none;
  const auto* described = std::get_if<Described>(&state_);
  return described != nullptr ? described->message : none;
}

void set_interpreter_error(PyErr error) {
  if (auto* fetched = std::get_if<PyRef>(&error.state_)) {
    PyErr_SetRaisedException(fetched->release());
    return;
  }
  auto& described = std::get<PyErr::Described>(error.state_);
  PyRef argument = build_argument(described.message, described.argument);
  if (PyExceptionClass_Check(described.type.get())) {
    PyErr_SetObject(described.type.get(), argument.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

std::optional<PyErr> fetch_interpreter_error() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return std::nullopt;
  PyRef exception = PyRef::steal(raised);
  // Taken while this thread creates the type, nothing can be of it yet.
  PyResult<PyObject*> panic_type = panic_exception_type();
  if (panic_type.ok() && reinterpret_cast<PyObject*>(Py_TYPE(raised)) == panic_type.value()) {
    resume_panic_from_python(std::move(exception));
  }
  return PyErr::fetched(std::move(exception));
}

void discard_interpreter_error() { (void)fetch_interpreter_error(); }

PyErr fetch_or_system_error() {
  if (auto error = fetch_interpreter_error()) return std::move(*error);
  return PyErr::described(PyExc_SystemError, "attempted to fetch exception but none was set");
}

PyObject* exception_object(PyErr& error) {
  if (!error.is_fetched()) {
    set_interpreter_error(std::move(error));
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) abort_call("exception missing after writing to the interpreter");
    error = PyErr::fetched(PyRef::steal(raised));
  }
  return std::get<PyRef>(error.state_).get();
}

std::string describe_error(PyErr& error) {
  std::string text = qualified_type_name(reinterpret_cast<PyTypeObject*>(error.type()));
  text += ": ";
  if (!error.is_fetched()) return text + error.described_message();
  PyRef value = PyRef::steal(PyObject_Str(exception_object(error)));
  Py_ssize_t size = 0;
  const char* utf8 = value ? PyUnicode_AsUTF8AndSize(value.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return text + "<unprintable>";
  }
  return text + std::string(utf8, static_cast<std::size_t>(size));
}

PyResult<PyObject*> panic_exception_type() {
  return panic_type_cell.get_or_fill([]() -> PyResult<PyRef> {
    PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_docstring,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) {
      // Taken raw: checking it for a PanicException would need this very type.
      PyRef raised = PyRef::steal(PyErr_GetRaisedException());
      PyErr error = raised ? PyErr::fetched(std::move(raised))
                           : PyErr::described(PyExc_SystemError,
                                              "attempted to fetch exception but none was set");
      abort_call("Failed to initialize new exception type.: " + describe_error(error));
    }
    return PyRef::steal(type);
  });
}

PyErr raise_abort(const CallAbort& abort) {
  std::string message = abort.has_text()
                            ? abort.message()
                            : std::string("an abort happened in gridflip's native code");
  PyResult<PyObject*> type = panic_exception_type();
  // No PanicException can be made while this thread is creating its type.
  if (!type.ok()) return std::move(type.error());
  return PyErr::described(type.value(), std::move(message), PyErr::Argument::panic_tuple);
}

PyErr cast_error(PyObject* object, PyTypeObject* target) {
  std::string message = "'" + qualified_type_name(Py_TYPE(object)) +
                        "' object cannot be cast as '" + qualified_type_name(target) + "'";
  return PyErr::described(PyExc_TypeError, std::move(message));
}

}  // namespace gridflip
