#include "failing_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<int> countdown{0};
std::atomic<bool> failed{false};

bool chosen() {
  if (countdown.load(std::memory_order_relaxed) <= 0 || countdown.fetch_sub(1) != 1) return false;
  failed.store(true);
  return true;
}

void* allocate(std::size_t n) { return std::malloc(n == 0 ? 1 : n); }

}  // namespace

namespace ztpu_test {

void fail_nth_allocation(int n) {
  failed.store(false);
  countdown.store(n);
}

bool allocation_failed() { return failed.load(); }

}  // namespace ztpu_test

void* operator new(std::size_t n) {
  void* p = chosen() ? nullptr : allocate(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return chosen() ? nullptr : allocate(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return chosen() ? nullptr : allocate(n);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
