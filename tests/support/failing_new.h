// Allocation-failure seam for the test binaries that link failing_new.cpp:
// it replaces the global operator new, which then fails exactly one chosen
// allocation, as a board short of memory would.
#pragma once

#include <gtest/gtest.h>

namespace ztpu_test {

// Makes the n-th allocation through operator new from now on (1 = the next)
// fail once: the throwing forms throw std::bad_alloc, the non-throwing forms
// return null. 0 disarms.
void fail_nth_allocation(int n);

// True once the armed failure has happened (until the next arming).
bool allocation_failed();

// Runs `op` (returning 0 or -1) with its 1st, 2nd, ... allocation failing,
// at most `max` times, until a run makes fewer allocations than the one set
// to fail: that run must succeed. Each failed run must return -1 and is then
// handed to `check(n)`. Returns how many runs failed.
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
