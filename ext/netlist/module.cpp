// gridflip_evolution._netlist: the region decoder as a Python type, Decoder. The one place
// where the decoder meets the C API: every entry runs its body inside one try/catch, and
// arguments are borrowed, results new references.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "region_decoder.hpp"

#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// A buffer held for the length of a call.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  // False with an exception set where `object` has no contiguous buffer.
  bool hold(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return false;
    held_ = true;
    return true;
  }
  const Py_buffer& view() const { return view_; }
  std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The values of an array.array of the typecode that matches T ('q', 'i' or 'B').
template <typename T>
std::optional<std::vector<T>> values_of(PyObject* object, const char* name) {
  HeldBuffer buffer;
  if (!buffer.hold(object)) return std::nullopt;
  const Py_buffer& view = buffer.view();
  const char* format = view.format != nullptr ? view.format : "B";
  const bool matches = view.itemsize == static_cast<Py_ssize_t>(sizeof(T)) &&
                       std::strlen(format) == 1 &&
                       std::string("qlibB").find(format[0]) != std::string::npos;
  if (!matches) {
    PyErr_Format(PyExc_TypeError, "%s: an array of %zd-byte integers expected", name,
                 static_cast<Py_ssize_t>(sizeof(T)));
    return std::nullopt;
  }
  std::vector<T> values(static_cast<std::size_t>(view.len) / sizeof(T));
  std::memcpy(values.data(), view.buf, values.size() * sizeof(T));
  return values;
}

struct DecoderObject {
  PyObject_HEAD netlist::RegionDecoder* decoder;
};

PyObject* list_of(const std::vector<std::int32_t>& values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t k = 0; k < values.size(); ++k) {
    PyObject* item = PyLong_FromLong(values[k]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), item);
  }
  return list;
}

// Runs `body` and turns what a C++ failure throws into the pending exception.
template <typename Body>
PyObject* guarded(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ failure in the region decoder");
    return nullptr;
  }
}

constexpr const char* kArguments[] = {
    "bodies",        "position_first",  "position_groups", "group_offset_first",
    "group_offsets", "group_row_first", "seed_rows",       "row_pattern",
    "row_src",       "row_dst",         "row_wire",        "row_unfed",
    "wire_outside",  "node_row_first",  "node_rows"};
constexpr Py_ssize_t kArgumentCount = sizeof(kArguments) / sizeof(kArguments[0]);

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
      PyErr_SetString(PyExc_TypeError, "Decoder() takes positional arguments only");
      return nullptr;
    }
    if (PyTuple_GET_SIZE(args) != kArgumentCount) {
      PyErr_Format(PyExc_TypeError, "Decoder() takes %zd arrays", kArgumentCount);
      return nullptr;
    }
    auto item = [&](Py_ssize_t k) { return PyTuple_GET_ITEM(args, k); };
    netlist::RegionTables tables;
    auto wide = [&](Py_ssize_t k, std::vector<std::int64_t>& out) {
      auto values = values_of<std::int64_t>(item(k), kArguments[k]);
      if (values) out = std::move(*values);
      return values.has_value();
    };
    auto narrow = [&](Py_ssize_t k, std::vector<std::int32_t>& out) {
      auto values = values_of<std::int32_t>(item(k), kArguments[k]);
      if (values) out = std::move(*values);
      return values.has_value();
    };
    auto bytes = [&](Py_ssize_t k, std::vector<std::uint8_t>& out) {
      auto values = values_of<std::uint8_t>(item(k), kArguments[k]);
      if (values) out = std::move(*values);
      return values.has_value();
    };
    if (!wide(0, tables.bodies) || !narrow(1, tables.position_first) ||
        !narrow(2, tables.position_groups) || !narrow(3, tables.group_offset_first) ||
        !wide(4, tables.group_offsets) || !narrow(5, tables.group_row_first) ||
        !narrow(6, tables.seed_rows) || !narrow(7, tables.row_pattern) ||
        !narrow(8, tables.row_src) || !narrow(9, tables.row_dst) || !narrow(10, tables.row_wire) ||
        !bytes(11, tables.row_unfed) || !narrow(12, tables.wire_outside) ||
        !narrow(13, tables.node_row_first) || !narrow(14, tables.node_rows)) {
      return nullptr;
    }
    auto* decoder = new netlist::RegionDecoder(std::move(tables));
    auto* self = reinterpret_cast<DecoderObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) {
      delete decoder;
      return nullptr;
    }
    self->decoder = decoder;
    return reinterpret_cast<PyObject*>(self);
  });
}

void decoder_dealloc(PyObject* object) noexcept {
  auto* self = reinterpret_cast<DecoderObject*>(object);
  netlist::RegionDecoder* decoder = self->decoder;
  self->decoder = nullptr;
  delete decoder;
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

netlist::RegionDecoder& decoder_of(PyObject* self) {
  return *reinterpret_cast<DecoderObject*>(self)->decoder;
}

PyObject* decoder_load(PyObject* self, PyObject* const* args, Py_ssize_t count) noexcept {
  return guarded([&]() -> PyObject* {
    if (count != 2) {
      PyErr_SetString(PyExc_TypeError, "load(data, reference) takes two arguments");
      return nullptr;
    }
    HeldBuffer data, reference;
    if (!data.hold(args[0]) || !reference.hold(args[1])) return nullptr;
    return PyBool_FromLong(decoder_of(self).load(data.bytes(), reference.bytes()));
  });
}

PyObject* decoder_findings(PyObject* self, PyObject*) noexcept {
  return PyBool_FromLong(decoder_of(self).findings());
}

// The node argument, or -1 with an exception set.
std::int32_t node_argument(PyObject* argument) {
  const long node = PyLong_AsLong(argument);
  if (node == -1 && PyErr_Occurred() != nullptr) return -1;
  return node < 0 || node > INT32_MAX ? -2 : static_cast<std::int32_t>(node);
}

PyObject* decoder_touched(PyObject* self, PyObject* argument) noexcept {
  const std::int32_t node = node_argument(argument);
  if (node == -1 && PyErr_Occurred() != nullptr) return nullptr;
  return PyBool_FromLong(decoder_of(self).touched(node));
}

PyObject* decoder_neighbours(PyObject* self, PyObject* argument) noexcept {
  return guarded([&]() -> PyObject* {
    const std::int32_t node = node_argument(argument);
    if (node == -1 && PyErr_Occurred() != nullptr) return nullptr;
    std::vector<std::int32_t> found;
    decoder_of(self).neighbours(node, found);
    return list_of(found);
  });
}

PyObject* decoder_on_rows(PyObject* self, PyObject*) noexcept {
  return guarded([&]() { return list_of(decoder_of(self).on_rows()); });
}

PyObject* decoder_over_wires(PyObject* self, PyObject*) noexcept {
  return guarded([&]() { return list_of(decoder_of(self).over_wires()); });
}

PyMethodDef decoder_methods[] = {
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decoder_load)),
     METH_FASTCALL,
     "load(data, reference): decode the region against the last bytes loaded; False, with "
     "nothing changed, where a region tile is no longer 16 rows of 54 bits."},
    {"findings", decoder_findings, METH_NOARGS,
     "findings(): a wire with two drivers, or an unfed carry input, switched on."},
    {"touched", decoder_touched, METH_O, "touched(node): a switch that is on reaches the node."},
    {"neighbours", decoder_neighbours, METH_O,
     "neighbours(node): the nodes that switches that are on join to it."},
    {"on_rows", decoder_on_rows, METH_NOARGS, "on_rows(): the rows (switches) that are on."},
    {"over_wires", decoder_over_wires, METH_NOARGS,
     "over_wires(): the wires with more than one driver."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_doc, const_cast<char*>("The switches of a region's logic tiles, decoded against the "
                                  "last candidate loaded (see gridflip_evolution.netlist).")},
    {0, nullptr}};

PyType_Spec decoder_spec = {"gridflip_evolution._netlist.Decoder", sizeof(DecoderObject), 0,
                            Py_TPFLAGS_DEFAULT, decoder_slots};

int module_exec(PyObject* module) noexcept {
  PyObject* type = PyType_FromModuleAndSpec(module, &decoder_spec, nullptr);
  if (type == nullptr) return -1;
  const int status = PyModule_AddObjectRef(module, "Decoder", type);
  Py_DECREF(type);
  return status;
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(module_exec)},
                                   {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "gridflip_evolution._netlist",
                          "The region decoder behind gridflip_evolution.netlist.NetlistFitness.",
                          0,
                          nullptr,
                          module_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__netlist() { return PyModuleDef_Init(&module_def); }
