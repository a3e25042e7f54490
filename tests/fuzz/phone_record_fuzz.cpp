// The phone link's receiver on blocks of any size: only an exact 26-byte
// block with a good CRC is taken, unchanged. Input: a flag byte (bit 0:
// 26-byte blocks get a good CRC), then blocks of a length byte (0..40) and
// that many bytes.

#include "fuzz_support.h"
#include "ztpu/crypto.h"
#include "ztpu/phone.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  [[maybe_unused]] static const bool ready =
      ztpu_fuzz::init(false, [] { phone_set_clock([] { return std::time_t{1'700'000'000}; }); });
  if (size > 4096) return 0;
  ztpu_fuzz::Cursor in{data, size};
  const bool fix_crc = (in.u8() & 1) != 0;
  phone_rx rx{};
  (void)phone_receive(&rx);  // nothing of the last input stays cached
  while (in.n > 0) {
    size_t n = 0;
    const uint8_t* p = in.take(in.u8() % 41, &n);
    std::vector<unsigned char> block(p, p + n);  // exactly n bytes, as the decoder's buffer
    if (fix_crc && n == sizeof(phone_rx)) {
      const unsigned crc = crypto_crc16(block.data(), 24);
      block[24] = static_cast<unsigned char>(crc & 0xFF);
      block[25] = static_cast<unsigned char>(crc >> 8);
    }
    phone_read_handler(n > 0 ? block.data() : nullptr, static_cast<int>(n), nullptr);
    if (phone_receive(&rx) == 0 &&
        (n != sizeof(phone_rx) || std::memcmp(&rx, block.data(), n) != 0 ||
         crypto_crc16(block.data(), 24) != static_cast<unsigned>(block[24] | block[25] << 8)))
      ztpu_fuzz::fail("taken record differs from a good block");
  }
  return 0;
}
