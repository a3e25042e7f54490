// Allocation-failure seam for the test binaries that link failing_new.cpp:
// it replaces the global operator new, which then fails exactly one chosen
// allocation, as a board short of memory would.
#pragma once

namespace ztpu_test {

// Makes the n-th allocation through operator new from now on (1 = the next)
// fail once: the throwing forms throw std::bad_alloc, the non-throwing forms
// return null. 0 disarms.
void fail_nth_allocation(int n);

// True once the armed failure has happened (until the next arming).
bool allocation_failed();

}  // namespace ztpu_test
