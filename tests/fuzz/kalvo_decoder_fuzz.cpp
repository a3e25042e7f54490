// The acoustic decoder on any samples in chunks of any size, as a capture
// device of any period delivers them. Input: a count byte k (1..8), k chunk
// sizes (1..256 samples, used in turn), then 16-bit samples.

#include "fuzz_support.h"
#include "kalvo/kalvo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  [[maybe_unused]] static const bool ready = ztpu_fuzz::init(false, kalvo_fft_init);
  if (size > 65536) return 0;
  ztpu_fuzz::Cursor in{data, size};
  size_t k = 0;
  const uint8_t* chunks = in.take(in.u8() % 8 + 1u, &k);
  static std::vector<unsigned char> block;
  kalvo_decoder* d = kalvo_decoder_new();
  if (d == nullptr) return 0;
  for (size_t i = 0; k > 0 && in.n >= sizeof(pcm_t); i = (i + 1) % k) {
    size_t got = 0;
    const uint8_t* p = in.take((chunks[i] + 1u) * sizeof(pcm_t), &got);
    // Each chunk in a buffer of its own size, so a read past it is caught.
    std::vector<pcm_t> chunk(got / sizeof(pcm_t));
    std::memcpy(chunk.data(), p, chunk.size() * sizeof(pcm_t));
    unsigned char* out = nullptr;
    const int len = kalvo_decoder_decode(d, chunk.data(), static_cast<int>(chunk.size()), &out);
    if (len == 0 ? out != nullptr : len < KALVO_MIN_PAYLOAD || len > KALVO_MAX_PAYLOAD || !out)
      ztpu_fuzz::fail("decoded block");
    if (len > 0) block.assign(out, out + len);  // all of it must be readable
  }
  kalvo_decoder_free(d);
  return 0;
}
