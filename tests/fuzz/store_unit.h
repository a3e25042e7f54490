// The scratch board's store identity, shared by the store target and the
// seed writer so that sealed seeds open in the target.
#pragma once

#include <cstring>

#include "../../core/security_store.h"
#include "fuzz_support.h"
#include "ztpu/keyfilehandle.h"
#include "ztpu/paths.h"

namespace ztpu_fuzz {

inline constexpr char kStoreItem[] = "pcode_0001";

// Writes the fuse file and fills the record the cryptfiles belong to.
inline void make_store_unit(security_db* unit) {
  static constexpr char fuse[] = "0x0123456789ABCDEF\n";
  write_file(ztpu::path::fuse, fuse, sizeof fuse - 1);
  *unit = security_db{};
  unit->version = 1;
  unit->state = 2;
  u8 secret[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  security_flag_encode(secret, unit->flag);
  for (size_t i = 0; i < sizeof unit->tpuSSN; ++i) unit->tpuSSN[i] = static_cast<u8>(0xA0 + i);
}

}  // namespace ztpu_fuzz
