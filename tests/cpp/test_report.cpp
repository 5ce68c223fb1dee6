// A call abort: the message it carries and the count of aborts in flight.
#include "report/call_abort.hpp"
#include "report/report.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

namespace gridflip {
namespace {

TEST(AbortReport, CallAbortCarriesMessage) {
  try {
    abort_call("sample failure");
    FAIL() << "abort_call returned";
  } catch (const CallAbort& abort) {
    EXPECT_EQ(abort.message(), "sample failure");
  }
  EXPECT_EQ(aborts_in_flight(), 1);
  lower_aborts_in_flight();
  EXPECT_EQ(aborts_in_flight(), 0);
}

}  // namespace
}  // namespace gridflip
