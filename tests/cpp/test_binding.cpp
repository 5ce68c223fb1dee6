// The binding layer from C++: the call frame, error values, the one-time cell's re-entry,
// populate_module's failures, the chance's narrowing, and the process-ending exits.
#include "binding/arguments.hpp"
#include "binding/call_frame.hpp"
#include "binding/module.hpp"
#include "binding/once_cell.hpp"
#include "binding/py_error.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <stdexcept>

namespace gridflip {
namespace {

// The pending exception's type name and str(), cleared.
std::pair<std::string, std::string> take_pending() {
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  if (!raised) return {"<none>", ""};
  PyRef text = PyRef::steal(PyObject_Str(raised.get()));
  return {Py_TYPE(raised.get())->tp_name, PyUnicode_AsUTF8(text.get())};
}

PyRef run_python(const char* code) {
  PyRef globals = PyRef::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  PyRef result = PyRef::steal(PyRun_String(code, Py_file_input, globals.get(), globals.get()));
  if (!result) PyErr_Print();
  return globals;
}

TEST(CallFrame, SuccessErrorAndAbortOutcomes) {
  PyObject* none = run_call_frame([] { return PyResult<PyRef>(PyRef::borrow(Py_None)); });
  EXPECT_EQ(none, Py_None);
  Py_XDECREF(none);

  PyObject* failed = run_call_frame(
      [] { return PyResult<PyRef>(PyErr::described(PyExc_ValueError, "described failure")); });
  EXPECT_EQ(failed, nullptr);
  EXPECT_EQ(take_pending(),
            std::make_pair(std::string("ValueError"), std::string("described failure")));

  PyObject* aborted = run_call_frame([]() -> PyResult<PyRef> { abort_call("body gave up"); });
  EXPECT_EQ(aborted, nullptr);
  EXPECT_EQ(aborts_in_flight(), 0);
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  ASSERT_TRUE(raised);
  EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), panic_exception_type().value());
  PyRef args = PyRef::steal(PyObject_GetAttrString(raised.get(), "args"));
  ASSERT_EQ(PyTuple_GET_SIZE(args.get()), 1);
  EXPECT_STREQ(PyUnicode_AsUTF8(PyTuple_GET_ITEM(args.get(), 0)), "body gave up");
}

TEST(CallFrame, AnEmptyAbortTextIsKeptAndOnlyAMissingOneGetsTheFallback) {
  for (const bool has_text : {true, false}) {
    PyObject* aborted = run_call_frame([has_text]() -> PyResult<PyRef> {
      throw has_text ? CallAbort(std::string()) : CallAbort::without_text();
    });
    EXPECT_EQ(aborted, nullptr);
    EXPECT_EQ(take_pending().second, has_text ? "" : "an abort happened in gridflip's native code");
  }
}

TEST(CallFrame, PanicExceptionTypeIsOneBaseExceptionSubclass) {
  PyObject* type = panic_exception_type().value();
  EXPECT_EQ(type, panic_exception_type().value());
  ASSERT_TRUE(PyType_Check(type));
  auto* as_type = reinterpret_cast<PyTypeObject*>(type);
  EXPECT_EQ(as_type->tp_base, reinterpret_cast<PyTypeObject*>(PyExc_BaseException));
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__qualname__"));
  EXPECT_STREQ(PyUnicode_AsUTF8(module.get()), "pyo3_runtime");
  EXPECT_STREQ(PyUnicode_AsUTF8(name.get()), "PanicException");
  const std::string doc = as_type->tp_doc;
  EXPECT_EQ(doc.front(), '\n');
  EXPECT_NE(doc.find("\n\nLike SystemExit, this exception is derived from BaseException so that\n"
                     "it will typically propagate all the way through the stack and cause the\n"
                     "Python interpreter to exit.\n"),
            std::string::npos);
}

PyResult<PyRef> make_none() { return PyRef::borrow(Py_None); }

TEST(OnceCell, AFillerThatAsksAgainFailsAtOnceAndLeavesTheCellEmpty) {
  PyOnceCell cell("testing the cell");
  int fills = 0;
  PyResult<PyObject*> first = cell.get_or_fill([&]() -> PyResult<PyRef> {
    ++fills;
    PyResult<PyObject*> again = cell.get_or_fill(make_none);
    if (again.ok()) return PyRef::borrow(again.value());
    return std::move(again.error());
  });
  ASSERT_FALSE(first.ok());
  set_interpreter_error(std::move(first.error()));
  EXPECT_EQ(take_pending(),
            std::make_pair(std::string("RuntimeError"),
                           std::string("deadlock detected: gridflip was called again while this "
                                       "thread was testing the cell")));
  EXPECT_EQ(fills, 1);
  EXPECT_EQ(cell.get(), nullptr);
  // A fill that aborts clears its filler too, so the same thread may fill afterwards.
  EXPECT_THROW(cell.get_or_fill([]() -> PyResult<PyRef> { abort_call("the fill gave up"); }),
               CallAbort);
  lower_aborts_in_flight();
  PyResult<PyObject*> filled = cell.get_or_fill(make_none);
  ASSERT_TRUE(filled.ok());
  EXPECT_EQ(filled.value(), Py_None);
  EXPECT_EQ(cell.get_or_fill(make_none).value(), Py_None);
}

TEST(PyErrValues, SystemErrorWhenNothingIsPending) {
  ASSERT_FALSE(PyErr_Occurred());
  EXPECT_FALSE(fetch_interpreter_error().has_value());
  PyErr error = fetch_or_system_error();
  set_interpreter_error(std::move(error));
  EXPECT_EQ(take_pending(),
            std::make_pair(std::string("SystemError"),
                           std::string("attempted to fetch exception but none was set")));
}

TEST(PyErrValues, DescribedErrorWithANonExceptionTypeRaisesTypeError) {
  PyErr error = PyErr::described(reinterpret_cast<PyObject*>(&PyLong_Type), "not an exception");
  set_interpreter_error(std::move(error));
  EXPECT_EQ(take_pending(),
            std::make_pair(std::string("TypeError"),
                           std::string("exceptions must derive from BaseException")));
}

TEST(PyErrValues, ExceptionObjectTurnsADescribedErrorIntoAFetchedOne) {
  PyErr error = PyErr::described(PyExc_KeyError, "k");
  PyObject* first = exception_object(error);
  EXPECT_TRUE(error.is_fetched());
  EXPECT_EQ(first, exception_object(error));
  EXPECT_TRUE(PyErr_GivenExceptionMatches(first, PyExc_KeyError));
  EXPECT_FALSE(PyErr_Occurred());
}

TEST(PyErrValues, FetchedErrorIsRaisedAsTheSameObject) {
  PyErr_SetString(PyExc_RuntimeError, "original");
  PyObject* raised = PyErr_Occurred() ? nullptr : nullptr;
  PyErr error = fetch_or_system_error();
  raised = exception_object(error);
  Py_INCREF(raised);
  set_interpreter_error(std::move(error));
  PyRef again = PyRef::steal(PyErr_GetRaisedException());
  EXPECT_EQ(again.get(), raised);
  Py_DECREF(raised);
}

TEST(PopulateModule, ExistingAllMustBeAList) {
  PyRef module = PyRef::steal(PyModule_New("scratch"));
  PyRef tuple = PyRef::steal(PyTuple_New(0));
  PyObject_SetAttrString(module.get(), "__all__", tuple.get());
  PyStatus status = populate_module(module.get());
  ASSERT_FALSE(status.ok());
  set_interpreter_error(std::move(status.error()));
  EXPECT_EQ(take_pending(), std::make_pair(std::string("TypeError"),
                                           std::string("'tuple' object cannot be cast as 'list'")));
}

TEST(PopulateModule, ExistingListIsAppendedToAndOtherLookupErrorsFail) {
  PyRef module = PyRef::steal(PyModule_New("scratch"));
  PyRef list = PyRef::steal(PyList_New(0));
  PyObject_SetAttrString(module.get(), "__all__", list.get());
  ASSERT_TRUE(populate_module(module.get()).ok());
  EXPECT_EQ(PyList_GET_SIZE(list.get()), 1);
  EXPECT_TRUE(PyObject_HasAttrString(module.get(), "mutate"));

  PyRef globals = run_python(
      "import types\n"
      "class Odd(types.ModuleType):\n"
      "    @property\n"
      "    def __all__(self):\n"
      "        raise LookupError('no all here')\n"
      "odd = Odd('odd')\n");
  PyObject* odd = PyDict_GetItemString(globals.get(), "odd");
  ASSERT_NE(odd, nullptr);
  PyStatus status = populate_module(odd);
  ASSERT_FALSE(status.ok());
  set_interpreter_error(std::move(status.error()));
  EXPECT_EQ(take_pending(), std::make_pair(std::string("LookupError"), std::string("no all here")));
}

TEST(Conversion, ChanceNarrowsToNearestFloatTiesToEven) {
  auto narrow = [](double value) {
    PyRef number = PyRef::steal(PyFloat_FromDouble(value));
    PyResult<float> chance = convert_chance(number.get());
    EXPECT_TRUE(chance.ok());
    return chance.ok() ? chance.value() : 0.0f;
  };
  EXPECT_EQ(static_cast<double>(narrow(0.1)), 0.100000001490116119384765625);
  EXPECT_EQ(narrow(1e39), INFINITY);
  EXPECT_EQ(narrow(-1e39), -INFINITY);
  EXPECT_EQ(narrow(0x1.fffffefp127), FLT_MAX);  // below the halfway point
  EXPECT_EQ(narrow(0x1.ffffffp127), INFINITY);  // the tie goes to even: infinity
  EXPECT_EQ(narrow(-0x1.ffffff8p127), -INFINITY);
  EXPECT_EQ(narrow(1e-50), 0.0f);
  EXPECT_EQ(narrow(0x1.0p-149), 0x1.0p-149f);             // smallest subnormal survives
  EXPECT_EQ(narrow(1.0 + 0x1.0p-24), 1.0f);               // tie to even, down
  EXPECT_EQ(narrow(1.0 + 0x1.8p-23), 1.0f + 0x1.0p-22f);  // tie to even, up
  EXPECT_TRUE(std::isnan(narrow(NAN)));
}

using BindingDeathTest = ::testing::Test;

TEST_F(BindingDeathTest, AFailureToRaiseEndsAtTheBoundaryWithASecondReport) {
  // A message the interpreter cannot make into a str: raising it aborts in turn,
  // outside the body's catch.
  EXPECT_DEATH(
      run_call_frame([] { return PyResult<PyRef>(PyErr::described(PyExc_ValueError, "\xff")); }),
      "\nPython API call failed\n(.|\n)*panicked at [^\n]*\nuncaught panic at ffi "
      "boundary\nstack backtrace:\n");
}

TEST_F(BindingDeathTest, ForeignExceptionsEndTheProcess) {
  EXPECT_DEATH(run_call_frame([]() -> PyResult<PyRef> { throw std::runtime_error("foreign"); }),
               "^fatal runtime error: .*foreign exceptions.*, aborting\n");
}

TEST_F(BindingDeathTest, FailedAllocationEndsTheProcessWithItsSize) {
  EXPECT_DEATH(
      {
        void* block = ::operator new (std::size_t{1} << 62);
        ::operator delete(block);
      },
      "^memory allocation of 4611686018427387904 bytes failed\n");
}

}  // namespace
}  // namespace gridflip
