// Test main: an embedded interpreter with the module registered as a built-in.
#include "binding/module.hpp"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Death tests fork; the re-executing style keeps the interpreter out of trouble.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  PyImport_AppendInittab("gridflip", PyInit_gridflip);
  Py_InitializeEx(0);
  const int status = RUN_ALL_TESTS();
  // Finalising would run module and thread clean-up the tests do not care about.
  return status;
}
