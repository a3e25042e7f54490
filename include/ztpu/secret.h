// Wiping of secrets (keys, clear tickets, key material) and the owners that
// wipe them when they go. Every secret is wiped through ztpu_wipe, which the
// compiler cannot drop as a dead store.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <new>

#include "ztpu/common.h"

// Overwrites n bytes at p with zeros; null or 0 does nothing.
void ztpu_wipe(void* p, std::size_t n) noexcept;

namespace ztpu {

// N secret bytes, zeroed at the start and wiped at the end.
template <std::size_t N>
struct Secret {
  std::array<u8, N> b{};
  Secret() = default;
  ~Secret() { ztpu_wipe(b.data(), b.size()); }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
};

// A zeroed heap buffer for secret bytes, wiped when it goes. Allocated
// without throwing: check ok().
class SecretBuf {
 public:
  explicit SecretBuf(std::size_t n) : p_(new (std::nothrow) u8[n]()), n_(p_ ? n : 0) {}
  ~SecretBuf() { ztpu_wipe(p_.get(), n_); }
  SecretBuf(const SecretBuf&) = delete;
  SecretBuf& operator=(const SecretBuf&) = delete;
  bool ok() const { return p_ != nullptr; }
  u8* data() { return p_.get(); }
  std::size_t size() const { return n_; }

 private:
  std::unique_ptr<u8[]> p_;
  std::size_t n_;
};

}  // namespace ztpu
