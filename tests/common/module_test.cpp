#include "ztpu/module.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>

#include "test_support.h"

namespace {

std::string calls;  // order of start/stop calls in one test
int fail_at = -1;   // index of the module whose start fails

template <int I>
int init_op() {
  calls += "i" + std::to_string(I);
  return I == fail_at ? -1 : 0;
}
template <int I>
void exit_op() {
  calls += "e" + std::to_string(I);
}

const module table[] = {
    {"mconf", init_op<0>, exit_op<0>},
    {"security", init_op<1>, exit_op<1>},
    {"phone", init_op<2>, exit_op<2>},
    {"server", init_op<3>, exit_op<3>},
};

class Runner : public ::testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    fail_at = -1;
  }
  ztpu_test::LogCapture log;
};

TEST_F(Runner, StartsInOrderAndStopsInReverseOrder) {
  EXPECT_EQ(__init_modules(table, 4), 0);
  EXPECT_EQ(calls, "i0i1i2i3");
  EXPECT_TRUE(log.messages().empty());
  calls.clear();
  __exit_modules(table, 4);
  EXPECT_EQ(calls, "e3e2e1e0");
  EXPECT_EQ(log.messages().size(), 4u);
  EXPECT_TRUE(log.contains("module 'server' stopped\n", LOG_INFO));
  EXPECT_TRUE(log.contains("module 'mconf' stopped\n", LOG_INFO));
}

TEST_F(Runner, FailureRollsBackEarlierModulesNearestFirst) {
  fail_at = 1;
  EXPECT_EQ(__init_modules(table, 4), -1);
  EXPECT_EQ(calls, "i0i1e0");
  EXPECT_TRUE(log.contains("module 'security' initialization failed\n", LOG_ERR));

  calls.clear();
  fail_at = 3;
  EXPECT_EQ(__init_modules(table, 4), -1);
  EXPECT_EQ(calls, "i0i1i2i3e2e1e0");

  calls.clear();  // the first failing stops nothing
  fail_at = 0;
  EXPECT_EQ(__init_modules(table, 4), -1);
  EXPECT_EQ(calls, "i0");
  EXPECT_TRUE(log.contains("module 'mconf' initialization failed"));
}

TEST_F(Runner, PositiveResultIsSuccessNullOperationsAndEmptyCountsAreSkipped) {
  const module sparse[] = {
      {"a", nullptr, exit_op<0>}, {"b", [] { return 5; }, nullptr}, {"c", init_op<2>, nullptr}};
  fail_at = 2;
  EXPECT_EQ(__init_modules(sparse, 3), -1);
  EXPECT_EQ(calls, "i2e0");

  const module empty[] = {{"x", nullptr, nullptr}, {"y", nullptr, nullptr}};
  EXPECT_EQ(__init_modules(empty, 2), 0);
  __exit_modules(empty, 2);

  calls.clear();  // a count of zero or less does nothing
  EXPECT_EQ(__init_modules(table, 0), 0);
  EXPECT_EQ(__init_modules(table, -3), 0);
  __exit_modules(table, 0);
  __exit_modules(table, -1);
  EXPECT_EQ(calls, "");
}

}  // namespace
