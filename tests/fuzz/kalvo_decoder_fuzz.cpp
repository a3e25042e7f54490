// The acoustic decoder on arbitrary samples fed in arbitrary chunk sizes, as
// a capture device of any period would deliver them. A returned block must
// have a valid payload length.
//
// Input: a count byte k (1..8), k chunk sizes (1..256 samples, used in
// turn), then 16-bit little-endian samples.
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "kalvo/kalvo.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ztpu_fuzz::quiet_log();
  kalvo_fft_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  ztpu_fuzz::Cursor in(data, size);
  std::array<int, 8> chunks{};
  const int k = in.u8() % 8 + 1;
  for (int i = 0; i < k; ++i) chunks[static_cast<size_t>(i)] = in.u8() + 1;

  std::vector<pcm_t> samples(in.left() / 2);
  if (!samples.empty()) std::memcpy(samples.data(), in.here(), samples.size() * sizeof(pcm_t));

  kalvo_decoder* d = kalvo_decoder_new();
  if (d == nullptr) return 0;
  size_t at = 0;
  for (int i = 0; at < samples.size(); i = (i + 1) % k) {
    const size_t want = static_cast<size_t>(chunks[static_cast<size_t>(i)]);
    const size_t n = want < samples.size() - at ? want : samples.size() - at;
    // Each chunk in a buffer of its own size, so a read past it is caught.
    std::vector<pcm_t> chunk(samples.begin() + static_cast<long>(at),
                             samples.begin() + static_cast<long>(at + n));
    unsigned char* out = nullptr;
    const int len = kalvo_decoder_decode(d, chunk.data(), static_cast<int>(n), &out);
    if (len != 0) {
      if (len < KALVO_MIN_PAYLOAD || len > KALVO_MAX_PAYLOAD || out == nullptr)
        ztpu_fuzz::fail("decoded block length");
      unsigned char sum = 0;
      for (int j = 0; j < len; ++j) sum ^= out[j];  // the block must be readable
      (void)sum;
    } else if (out != nullptr) {
      ztpu_fuzz::fail("no block but an output pointer");
    }
    at += n;
  }
  kalvo_decoder_free(d);
  return 0;
}
