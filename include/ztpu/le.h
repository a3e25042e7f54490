// Little-endian reading and writing of the packed records' multi-byte
// fields, whatever the host's byte order.
#pragma once

#include "ztpu/common.h"

namespace ztpu {

inline u16 get_le16(const u8* p) { return static_cast<u16>(p[0] | p[1] << 8); }

inline u32 get_le32(const u8* p) {
  return static_cast<u32>(p[0]) | static_cast<u32>(p[1]) << 8 | static_cast<u32>(p[2]) << 16 |
         static_cast<u32>(p[3]) << 24;
}

inline void put_le16(u8* p, u16 v) {
  p[0] = static_cast<u8>(v);
  p[1] = static_cast<u8>(v >> 8);
}

inline void put_le32(u8* p, u32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}

}  // namespace ztpu
