// The acoustic decoder on arbitrary samples in arbitrary chunk sizes, as a
// capture device of any period delivers them. Input: a count byte k (1..8),
// k chunk sizes (1..256 samples, used in turn), then 16-bit samples.
#include <algorithm>
#include <array>
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
  std::array<size_t, 8> chunks{};
  const size_t k = in.u8() % 8 + 1;
  for (size_t i = 0; i < k; ++i) chunks[i] = in.u8() + 1u;
  const size_t total = in.left() / 2;
  static std::vector<unsigned char> block;
  kalvo_decoder* d = kalvo_decoder_new();
  if (d == nullptr) return 0;
  for (size_t at = 0, i = 0; at < total; at += chunks[i], i = (i + 1) % k) {
    // Each chunk in a buffer of its own size, so a read past it is caught.
    std::vector<pcm_t> chunk(std::min(chunks[i], total - at));
    std::memcpy(chunk.data(), in.here() + at * 2, chunk.size() * sizeof(pcm_t));
    unsigned char* out = nullptr;
    const int len = kalvo_decoder_decode(d, chunk.data(), static_cast<int>(chunk.size()), &out);
    if (len == 0 ? out != nullptr : len < KALVO_MIN_PAYLOAD || len > KALVO_MAX_PAYLOAD || !out)
      ztpu_fuzz::fail("decoded block");
    if (len > 0) block.assign(out, out + len);  // the whole block must be readable
  }
  kalvo_decoder_free(d);
  return 0;
}
