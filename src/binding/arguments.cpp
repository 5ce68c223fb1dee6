// Argument binding and conversion for mutate.
#include "binding/arguments.hpp"

#include "binding/once_cell.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace gridflip {
namespace {

// A size hint is only a hint: tile coordinates never need more than this up front.
constexpr Py_ssize_t reserve_cap = 4096;

PyOnceCell sequence_type_cell("looking up collections.abc.Sequence");

// collections.abc.Sequence; a failed lookup aborts. The error is the cell's
// RuntimeError for a lookup that called mutate again.
PyResult<PyObject*> sequence_type() {
  return sequence_type_cell.get_or_fill([]() -> PyResult<PyRef> {
    auto fail = [](std::string detail) {
      abort_call("called `Result::unwrap()` on an `Err` value: " + std::move(detail));
    };
    PyRef module_name = PyRef::steal(PyUnicode_FromString("collections.abc"));
    PyRef module = module_name ? PyRef::steal(PyImport_Import(module_name.get())) : PyRef();
    PyRef type = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "Sequence")) : PyRef();
    if (!type) {
      PyErr error = fetch_or_system_error();
      fail(describe_error(error));
    }
    if (!PyType_Check(type.get())) {
      PyErr error = cast_error(type.get(), &PyType_Type);
      fail(describe_error(error));
    }
    return type;
  });
}

std::string quoted_names(const std::vector<std::string_view>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

// UTF-8 of a str, each code point without a UTF-8 form (a lone surrogate) as U+FFFD.
std::string utf8_replacing(PyObject* text) {
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  std::string out;
  out.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

PyErr out_of_range() {
  return PyErr::described(PyExc_OverflowError, "out of range integral type conversion attempted");
}

// Appends one item's value; the item is borrowed.
PyStatus append_item(ByteList& list, PyObject* item) {
  const long value = PyLong_AsLong(item);
  if (value == -1) {
    if (auto error = fetch_interpreter_error()) return std::move(*error);
  }
  if (value < 0 || value > 255) return out_of_range();
  list.push_back(static_cast<std::uint8_t>(value));
  return success;
}

template <class Buffer>
ByteList copy_bytes(const Buffer* data, Py_ssize_t size) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  return ByteList(bytes, bytes + size);
}

}  // namespace

PyResult<ArgumentSlots> bind_arguments(const Signature& signature, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames) {
  const std::string full_name = std::string(signature.function_name) + "()";
  constexpr Py_ssize_t count = 4;
  ArgumentSlots slots{};
  if (nargs > count) {
    return PyErr::described(PyExc_TypeError, full_name + " takes 4 positional arguments but " +
                                                 std::to_string(nargs) + " were given");
  }
  std::copy(args, args + nargs, slots.begin());

  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    std::size_t match = signature.parameter_names.size();
    if (utf8 == nullptr) {
      // No UTF-8 form: it names no parameter.
      discard_interpreter_error();
    } else {
      const std::string_view text(utf8, static_cast<std::size_t>(size));
      match = static_cast<std::size_t>(
          std::find(signature.parameter_names.begin(), signature.parameter_names.end(), text) -
          signature.parameter_names.begin());
    }
    if (match == signature.parameter_names.size()) {
      // Built from the name object itself, which may hold text UTF-8 cannot carry.
      PyRef message = PyRef::steal(PyUnicode_FromFormat(
          "%s got an unexpected keyword argument '%S'", full_name.c_str(), name));
      PyRef exception =
          message ? PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get())) : PyRef();
      if (!exception) return fetch_or_system_error();
      return PyErr::fetched(std::move(exception));
    }
    if (slots[match] != nullptr) {
      return PyErr::described(PyExc_TypeError, full_name + " got multiple values for argument '" +
                                                   std::string(signature.parameter_names[match]) +
                                                   "'");
    }
    slots[match] = args[nargs + k];
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = static_cast<std::size_t>(nargs); i < slots.size(); ++i) {
    if (slots[i] == nullptr) missing.push_back(signature.parameter_names[i]);
  }
  if (!missing.empty()) {
    return PyErr::described(
        PyExc_TypeError,
        full_name + " missing " + std::to_string(missing.size()) + " required positional " +
            (missing.size() == 1 ? "argument: " : "arguments: ") + quoted_names(missing));
  }
  return slots;
}

PyResult<FsPath> convert_path(PyObject* object) {
  PyRef path = PyRef::steal(PyOS_FSPath(object));
  if (!path) return fetch_or_system_error();
  if (!PyUnicode_Check(path.get())) return cast_error(path.get(), &PyUnicode_Type);
  // The bytes os.fsencode gives, so any name os.listdir returns opens its file.
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return fetch_or_system_error();
  return FsPath(std::move(encoded));
}

PyResult<ByteList> convert_byte_list(PyObject* object) {
  if (PyBytes_Check(object)) return copy_bytes(PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object));
  if (PyByteArray_Check(object)) {
    return copy_bytes(PyByteArray_AS_STRING(object), PyByteArray_GET_SIZE(object));
  }
  if (PyUnicode_Check(object))
    return PyErr::described(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) {
    PyResult<PyObject*> sequence = sequence_type();
    if (!sequence.ok()) return std::move(sequence.error());
    return cast_error(object, reinterpret_cast<PyTypeObject*>(sequence.value()));
  }

  ByteList list;
  // Exact lists and tuples have no __len__ or __iter__ of their own to observe.
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    const bool is_list = PyList_CheckExact(object);
    list.reserve(static_cast<std::size_t>(std::min(Py_SIZE(object), reserve_cap)));
    // Py_SIZE is re-read each turn: __index__ may change the list, as with its iterator.
    for (Py_ssize_t i = 0; i < Py_SIZE(object); ++i) {
      PyRef item =
          PyRef::borrow(is_list ? PyList_GET_ITEM(object, i) : PyTuple_GET_ITEM(object, i));
      if (PyStatus appended = append_item(list, item.get()); !appended.ok()) {
        return std::move(appended.error());
      }
    }
    return list;
  }

  const Py_ssize_t hint = PyObject_Size(object);
  if (hint < 0) {
    discard_interpreter_error();
  } else {
    list.reserve(static_cast<std::size_t>(std::min(hint, reserve_cap)));
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return fetch_or_system_error();
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (PyStatus appended = append_item(list, item.get()); !appended.ok()) {
      return std::move(appended.error());
    }
  }
  if (auto error = fetch_interpreter_error()) return std::move(*error);
  return list;
}

PyResult<float> convert_chance(PyObject* object) {
  double value = 0.0;
  if (PyFloat_CheckExact(object)) {
    value = PyFloat_AS_DOUBLE(object);
  } else {
    value = PyFloat_AsDouble(object);
    if (value == -1.0) {
      if (auto error = fetch_interpreter_error()) return std::move(*error);
    }
  }
  // Round to nearest, ties to even. Past the float range the C++ conversion is
  // undefined, so the overflow is spelled out: from halfway above FLT_MAX on,
  // the tie goes to infinity.
  const double magnitude = std::fabs(value);
  if (std::isfinite(value) && magnitude > static_cast<double>(FLT_MAX)) {
    const double halfway = 0x1.ffffffp127;
    const float narrowed = magnitude >= halfway ? INFINITY : FLT_MAX;
    return std::signbit(value) ? -narrowed : narrowed;
  }
  return static_cast<float>(value);
}

namespace {

// Rows past 15 or columns past 53 would address line feeds and the next tile's
// header, silently breaking the file's structure: refuse them before the open.
PyStatus check_coordinates(const ByteList& rows, const ByteList& columns) {
  constexpr unsigned last_row = 15;
  constexpr unsigned last_column = 53;
  const auto row = std::find_if(rows.begin(), rows.end(), [](unsigned v) { return v > last_row; });
  if (row != rows.end()) {
    return PyErr::described(PyExc_ValueError,
                            "argument 'rows': row " + std::to_string(*row) + " is outside 0 to 15");
  }
  const auto column =
      std::find_if(columns.begin(), columns.end(), [](unsigned v) { return v > last_column; });
  if (column != columns.end()) {
    return PyErr::described(PyExc_ValueError, "argument 'columns': column " +
                                                  std::to_string(*column) + " is outside 0 to 53");
  }
  return success;
}

}  // namespace

PyErr wrap_argument_error(std::string_view parameter_name, PyErr error) {
  if (error.type() != PyExc_TypeError) return error;
  PyObject* original = exception_object(error);
  std::string text;
  PyRef printed = PyRef::steal(PyObject_Str(original));
  if (printed) {
    text = utf8_replacing(printed.get());
  } else {
    if (auto failure = fetch_interpreter_error()) set_interpreter_error(std::move(*failure));
    PyErr_WriteUnraisable(original);
    const char* fallback = "<unprintable object>";
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(original)));
    if (type_name) {
      text = "<unprintable " + utf8_replacing(type_name.get()) + " object>";
      fallback = nullptr;
    } else {
      discard_interpreter_error();
    }
    if (fallback != nullptr) text = fallback;
  }
  PyErr wrapped =
      PyErr::described(PyExc_TypeError, "argument '" + std::string(parameter_name) + "': " + text);
  PyObject* replacement = exception_object(wrapped);
  // Steals the cause; a null cause still marks the context as suppressed.
  PyException_SetCause(replacement, PyException_GetCause(original));
  return wrapped;
}

PyResult<MutateArguments> bind_mutate_arguments(PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames) {
  PyResult<ArgumentSlots> bound = bind_arguments(mutate_signature, args, nargs, kwnames);
  if (!bound.ok()) return std::move(bound.error());
  const ArgumentSlots& slots = bound.value();
  const auto& names = mutate_signature.parameter_names;

  PyResult<FsPath> path = convert_path(slots[0]);
  if (!path.ok()) return wrap_argument_error(names[0], std::move(path.error()));
  PyResult<ByteList> rows = convert_byte_list(slots[1]);
  if (!rows.ok()) return wrap_argument_error(names[1], std::move(rows.error()));
  PyResult<ByteList> columns = convert_byte_list(slots[2]);
  if (!columns.ok()) return wrap_argument_error(names[2], std::move(columns.error()));
  PyResult<float> chance = convert_chance(slots[3]);
  if (!chance.ok()) return wrap_argument_error(names[3], std::move(chance.error()));
  if (PyStatus inside = check_coordinates(rows.value(), columns.value()); !inside.ok()) {
    return std::move(inside.error());
  }
  return MutateArguments{std::move(path.value()), std::move(rows.value()),
                         std::move(columns.value()), chance.value()};
}

}  // namespace gridflip
