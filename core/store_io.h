// A buffer shared by the device store and the security module; for their
// own files only.
#pragma once

#include <cstdlib>
#include <cstring>

#include "ztpu/common.h"

namespace ztpu_store {

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

}  // namespace ztpu_store
