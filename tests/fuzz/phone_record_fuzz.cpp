// The phone link's receiver callback on blocks of any size, as the acoustic
// decoder hands them over, and the gate thread's take of the cached record.
// A record is taken only when it was exactly 26 bytes with a good CRC, and
// then unchanged.
//
// Input: a flag byte (bit 0: the CRC of 26-byte blocks is made good), then
// blocks: a length byte (0..40) and that many bytes each.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "ztpu/crypto.h"
#include "ztpu/phone.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ztpu_fuzz::quiet_log();
  phone_set_clock([]() -> std::time_t { return 1'700'000'000; });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  ztpu_fuzz::Cursor in(data, size);
  const bool fix_crc = (in.u8() & 1) != 0;
  phone_rx stale{};
  (void)phone_receive(&stale);  // nothing of the last input stays cached
  while (in.left() > 0) {
    size_t n = 0;
    const uint8_t* p = in.take(in.u8() % 41, &n);
    std::vector<unsigned char> block(p, p + n);  // exactly n bytes, as the decoder's buffer
    if (fix_crc && n == sizeof(phone_rx)) {
      const unsigned crc = crypto_crc16(block.data(), 24);
      block[24] = static_cast<unsigned char>(crc & 0xFF);
      block[25] = static_cast<unsigned char>(crc >> 8);
    }
    phone_read_handler(n > 0 ? block.data() : nullptr, static_cast<int>(n), nullptr);
    phone_rx rx{};
    if (phone_receive(&rx) == 0) {
      if (n != sizeof(phone_rx) || std::memcmp(&rx, block.data(), n) != 0)
        ztpu_fuzz::fail("taken record differs from the block");
      const unsigned stored = block[24] | (block[25] << 8);
      if (crypto_crc16(block.data(), 24) != stored) ztpu_fuzz::fail("bad CRC taken");
    }
  }
  return 0;
}
