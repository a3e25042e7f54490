#include "frames.h"

#include <algorithm>

namespace kalvo_test {

Bytes ticket(uint8_t seed, int len) {
  Bytes b(static_cast<size_t>(len));
  for (int i = 0; i < len; ++i) b[i] = static_cast<unsigned char>(seed * 37 + i * 11 + (i * i));
  return b;
}

Samples frame(const Bytes& payload, int lead) {
  const int len = static_cast<int>(payload.size()), size = kalvo_tx_frame_samples(len);
  Samples s(static_cast<size_t>(lead + size), 0);
  kalvo_tx_build(payload.data(), len, KALVO_TX_DEFAULT_PEAK, s.data() + lead, size);
  return s;
}

Samples played(const Bytes& payload) {
  const Samples one = frame(payload);
  Samples s = one;
  for (const size_t gap : {200, 1234}) {
    s.insert(s.end(), gap, 0);
    s.insert(s.end(), one.begin(), one.end());
  }
  return s;
}

std::vector<Bytes> decode_stream(kalvo_decoder* d, const Samples& s, int block) {
  std::vector<Bytes> got;
  for (size_t i = 0; i < s.size(); i += static_cast<size_t>(block)) {
    unsigned char* out = nullptr;
    const int n = static_cast<int>(std::min<size_t>(static_cast<size_t>(block), s.size() - i));
    const int len = kalvo_decoder_decode(d, s.data() + i, n, &out);
    if (len > 0) got.emplace_back(out, out + len);
  }
  return got;
}

}  // namespace kalvo_test
