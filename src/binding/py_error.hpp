// PyErr, the module's error value, and its passage to and from the interpreter.
#pragma once

#include "base/result.hpp"
#include "binding/py_ref.hpp"
#include "report/call_abort.hpp"

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace gridflip {

// Either described (a type and a message, the exception made only when raised)
// or fetched (an exception object taken from the interpreter). Dropping it
// releases its references without raising anything.
class PyErr {
 public:
  enum class Argument { text, panic_tuple };

  static PyErr described(PyObject* type, std::string message, Argument argument = Argument::text) {
    return PyErr(Described{PyRef::borrow(type), std::move(message), argument});
  }
  static PyErr fetched(PyRef exception) { return PyErr(std::move(exception)); }

  bool is_fetched() const noexcept { return std::holds_alternative<PyRef>(state_); }
  // The exception's type, borrowed.
  PyObject* type() const noexcept;
  // The message of a described error; empty for a fetched one.
  const std::string& described_message() const noexcept;

 private:
  struct Described {
    PyRef type;
    std::string message;
    Argument argument;
  };
  explicit PyErr(Described described) : state_(std::move(described)) {}
  explicit PyErr(PyRef exception) : state_(std::move(exception)) {}

  friend void set_interpreter_error(PyErr error);
  friend PyObject* exception_object(PyErr& error);
  std::variant<Described, PyRef> state_;
};

// A value or the error that prevented it; success or an error.
template <class T>
using PyResult = Result<T, PyErr>;
using PyStatus = Status<PyErr>;

// Hands the error to the interpreter as the pending exception. Needs the lock.
void set_interpreter_error(PyErr error);

// Takes the pending exception, or nothing when none is pending. A PanicException
// resumes the abort it stands for (this throws CallAbort).
std::optional<PyErr> fetch_interpreter_error();

// Takes the pending exception, if any, and drops it: for a failure that the caller answers with
// a fallback of its own. A PanicException still resumes its abort.
void discard_interpreter_error();

// As fetch_interpreter_error, but a missing exception becomes the SystemError
// "attempted to fetch exception but none was set".
PyErr fetch_or_system_error();

// The exception instance of the error, borrowed from it; a described error is
// raised and taken straight back, and holds the fetched form from then on.
// Aborts when nothing comes back.
PyObject* exception_object(PyErr& error);

// "TypeName: message", for abort messages that carry an error.
std::string describe_error(PyErr& error);

// A caught abort as a described PanicException error (a RuntimeError instead
// when the type is being created by this very thread).
PyErr raise_abort(const CallAbort& abort);

// The PanicException type, created on first need. Aborts when it cannot be
// created; a RuntimeError when this thread, creating it, asks again.
PyResult<PyObject*> panic_exception_type();

// The TypeError "'{from}' object cannot be cast as '{to}'".
PyErr cast_error(PyObject* object, PyTypeObject* target);

}  // namespace gridflip
