#include "ztpu/secret.h"

#include <cstring>

void ztpu_wipe(void* p, std::size_t n) noexcept {
  if (p != nullptr && n > 0) explicit_bzero(p, n);
}
