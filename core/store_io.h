// Owners and I/O helpers shared by the device store and the security module;
// for their own files only.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "ztpu/common.h"

namespace ztpu_store {

// Owner of a file descriptor; closes it once.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A malloc'd buffer handed out by the store (security_read_file and the
// cryptfile getters), wiped and freed on scope exit.
struct WipedBuf {
  u8* p = nullptr;
  u32 n = 0;
  WipedBuf() = default;
  WipedBuf(const WipedBuf&) = delete;
  WipedBuf& operator=(const WipedBuf&) = delete;
  ~WipedBuf() {
    if (p != nullptr) {
      explicit_bzero(p, n);
      free(p);
    }
  }
};

// Writes all `n` bytes, resuming after signals; false on any failure.
inline bool write_all(int fd, const u8* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace ztpu_store
