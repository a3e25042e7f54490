// Allocation-failure seam (link failing_new.cpp): operator new fails one
// chosen allocation, as a board short of memory would.
#pragma once

#include <gtest/gtest.h>

namespace ztpu_test {

// The n-th allocation from now on (1 = the next) fails once (bad_alloc, or
// null from the nothrow forms); 0 disarms.
void fail_nth_allocation(int n);
// True once the armed failure has happened (until the next arming).
bool allocation_failed();

// Runs `op` with its 1st, 2nd, ... (at most `max`) allocation failing: each
// such run must return -1 and is handed to `check(n)`; the first run that
// makes fewer allocations must return 0. Returns how many runs failed.
template <class Op, class Check>
int each_allocation_failure(int max, Op op, Check check) {
  int failures = 0;
  for (int n = 1; n <= max; ++n) {
    fail_nth_allocation(n);
    const int rc = op();
    const bool failed = allocation_failed();
    fail_nth_allocation(0);
    if (!failed) {
      EXPECT_EQ(rc, 0);
      break;
    }
    ++failures;
    EXPECT_EQ(rc, -1) << "allocation " << n;
    check(n);
  }
  return failures;
}

}  // namespace ztpu_test
