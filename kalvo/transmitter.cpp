// Transmitter: the complete, playable signal of one frame.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "kalvo/kalvo.h"
#include "kalvo_internal.h"

using kalvo::detail::emit_table;
using kalvo::detail::state_table;

namespace {

bool valid_length(int len) {
  return len >= KALVO_MIN_PAYLOAD && len <= KALVO_MAX_PAYLOAD && len % 2 == 0;
}

// x * peak / max, rounded to nearest (half away from zero); |x| <= max.
pcm_t scale(int64_t x, int64_t max, int peak) {
  const int64_t num = x * peak;
  const int64_t q = (num >= 0 ? num + max / 2 : num - max / 2) / max;
  return static_cast<pcm_t>(q);
}

}  // namespace

int kalvo_tx_frame_samples(int len) {
  if (!valid_length(len)) return -1;
  const int symbols = 2 * (len / 2 + 1);
  return KALVO_SYMBOL * (2 + symbols);
}

int kalvo_tx_header_word(const unsigned char* payload, int len) {
  if (payload == nullptr || !valid_length(len)) return -1;
  unsigned char x = 0;
  for (int i = 0; i < len; ++i) x ^= payload[i];
  const unsigned low = ~x & 0xFFu;
  const unsigned h2 = static_cast<unsigned>(len / 2 - 1);
  const unsigned h3 = ((low & 15) + (low >> 4) + h2) & 15;
  return static_cast<int>(h3 << 12 | h2 << 8 | low);
}

uint64_t kalvo_tx_encode_column(unsigned word, int L) {
  if (L < 1 || L > 31) return 0;
  uint64_t column = 0;
  int s = 0;
  // Pair bit 0 of steps 0..L into bits 0..L, then pair bit 1 of steps 0..L
  // into bits L..2L: bit L ends up holding the first step's pair bit 1.
  std::array<unsigned, 32> pairs{};
  for (int t = 0; t <= L; ++t) {
    const int b = t < L ? static_cast<int>((word >> t) & 1u) : 0;
    pairs[t] = emit_table[s][b];
    s = state_table[s][b];
  }
  for (int t = 0; t <= L; ++t) column |= uint64_t{pairs[t] & 1u} << t;
  for (int t = 0; t <= L; ++t) {
    column &= ~(uint64_t{1} << (L + t));
    column |= uint64_t{(pairs[t] >> 1) & 1u} << (L + t);
  }
  return column;
}

int kalvo_tx_symbols(const unsigned char* payload, int len, uint16_t* symbols) {
  if (payload == nullptr || symbols == nullptr || !valid_length(len)) return -1;
  const int L = len / 2;
  const int count = 2 * (L + 1);
  std::fill(symbols, symbols + count, 0);
  for (int b = 0; b < 16; ++b) {
    unsigned word = 0;
    for (int i = 0; i < L; ++i) {
      const int bit = b * L + i;
      word |= ((payload[bit / 8] >> (bit % 8)) & 1u) << i;
    }
    const uint64_t column = kalvo_tx_encode_column(word, L);
    for (int j = 0; j < count; ++j)
      symbols[j] = static_cast<uint16_t>(symbols[j] | ((column >> j) & 1u) << b);
  }
  return count;
}

int kalvo_tx_build(const unsigned char* payload, int len, int peak, pcm_t* out, int out_len) {
  const int total = kalvo_tx_frame_samples(len);
  if (payload == nullptr || out == nullptr || total < 0 || peak < 1 || peak > 32767 ||
      out_len < total)
    return -1;
  std::array<uint16_t, KALVO_MAX_SYMBOLS> data{};
  const int count = kalvo_tx_symbols(payload, len, data.data());
  const int header = kalvo_tx_header_word(payload, len);

  // Header and data symbol bodies, kept unscaled to find the common peak.
  std::array<std::array<int64_t, KALVO_FFT_SIZE>, KALVO_MAX_SYMBOLS + 1> bodies;
  kalvo_modulate(static_cast<unsigned>(header), bodies[0].data());
  for (int j = 0; j < count; ++j) kalvo_modulate(data[j], bodies[j + 1].data());
  int64_t symbol_max = 1;
  for (int j = 0; j <= count; ++j)
    for (int64_t v : bodies[j]) symbol_max = std::max(symbol_max, v < 0 ? -v : v);

  std::array<int64_t, KALVO_FFT_SIZE> preamble;
  kalvo_get_preamble(preamble.data());
  int64_t preamble_max = 1;
  for (int64_t v : preamble) preamble_max = std::max(preamble_max, v < 0 ? -v : v);

  std::fill(out, out + total, 0);
  for (int i = 0; i < KALVO_FFT_SIZE; ++i) out[i] = scale(preamble[i], preamble_max, peak);
  for (int j = 0; j <= count; ++j) {
    pcm_t* body = out + KALVO_SYMBOL * (j + 1);
    for (int i = 0; i < KALVO_FFT_SIZE; ++i) body[i] = scale(bodies[j][i], symbol_max, peak);
  }
  return total;
}
