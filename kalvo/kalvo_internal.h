// Internals of the modem shared between its sources and its tests.
#pragma once

#include <cstdint>

#include "kalvo/kalvo.h"

namespace kalvo::detail {

// Two's complement wrap-around on 64-bit values: the transforms are defined
// to wrap, never to saturate, and signed overflow must not be undefined.
namespace kalvo_wrap {
inline int64_t add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t sub(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
inline int64_t mul(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}
// |a|, with INT64_MIN staying INT64_MIN (it then compares as the smallest).
inline int64_t abs(int64_t a) { return a < 0 ? sub(0, a) : a; }
}  // namespace kalvo_wrap

// High 64 bits of the 128-bit product a * b, from four 32 x 32 -> 64-bit
// products (what a 32-bit CPU multiplies natively). The middle sum cannot
// overflow: it is at most (2^32 - 1)^2 + 2 * (2^32 - 1) = 2^64 - 1.
constexpr uint64_t kalvo_mulhi_u64(uint64_t a, uint64_t b) {
  const uint64_t a_lo = static_cast<uint32_t>(a);
  const uint64_t a_hi = a >> 32;
  const uint64_t b_lo = static_cast<uint32_t>(b);
  const uint64_t b_hi = b >> 32;
  const uint64_t hi_lo = a_hi * b_lo;
  const uint64_t mid = ((a_lo * b_lo) >> 32) + static_cast<uint32_t>(hi_lo) + a_lo * b_hi;
  return a_hi * b_hi + (hi_lo >> 32) + (mid >> 32);
}

// x / 10000 truncated toward zero, for every 64-bit x, without a division.
// With M = ceil(2^75 / 10000) = 0x346DC5D63886594B, M * 10000 = 2^75 + 432,
// floor(u / 10000) = floor(u * M / 2^75) for every u < 2^64: writing
// u = 10000 q + r (r <= 9999), u * M / 2^75 = q + (r + u * 432 / 2^75) / 10000
// and u * 432 / 2^75 < 432 / 2^11 < 1, so the fraction stays below 1. The
// sign is taken off first (|INT64_MIN| = 2^63 as unsigned) and put back,
// which truncates toward zero like the division it replaces.
constexpr int64_t kalvo_div10000_mulhi(int64_t x) {
  const uint64_t u = x < 0 ? 0 - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
  const uint64_t q = kalvo_mulhi_u64(u, 0x346DC5D63886594Bu) >> 11;
  return x < 0 ? -static_cast<int64_t>(q) : static_cast<int64_t>(q);
}

// A 64-bit CPU divides by a constant with its own multiply-high; a 32-bit
// one would call the runtime's 64-bit division, whose cost grows with the
// operands.
constexpr int64_t kalvo_div10000(int64_t x) {
#if UINTPTR_MAX > 0xFFFFFFFFu
  return x / 10000;
#else
  return kalvo_div10000_mulhi(x);
#endif
}

// The forward transform of kalvo_fft of 256 audio samples, formed only as
// far as bins first..last and bin + 128 need (0 <= first <= last < 128, else
// nothing is written); the other bins of out are left unspecified. Same
// values as kalvo_fft on those bins.
void kalvo_fft_band(const pcm_t* in, kalvo_complex* out, int first, int last);

// Trellis decoder of one column (rate 1/2, constraint length 3, generators
// 7 and 5): the L data bits, first decoded bit in bit 0; 0 when L is outside
// 1..31.
unsigned decode(uint64_t column, int L);

// Path metrics of one column: metrics[t][state] after step t.
using kalvo_metrics = uint8_t[32][4];

// The constant tables of the code, shared with the transmitter.
extern const int state_table[4][2];
extern const uint8_t emit_table[4][2];

// Capture pacing. A source without a clock of its own (the file plugin that
// reads the simulated board's FIFO, a file at its end) may run ahead of real
// time by the device buffer and no further. A sound card is never held back:
// its clock drifts against the system's (at +50 ppm it gains the buffer's
// 4096 frames in about 31 minutes), and holding it back would overrun it.
inline constexpr int64_t kMaxAheadFrames = 4096;

// Whether a PCM of this snd_pcm_type_t is held to real time.
bool kalvo_pcm_type_paced(int type);

class kalvo_pacer {
 public:
  using clock_fn = int64_t (*)();  // monotonic nanoseconds

  kalvo_pacer(bool paced, clock_fn clock);

  // Counts the frames of one read; returns how long to wait before the next
  // read, in nanoseconds (0: none).
  int64_t delivered(int64_t frames);

 private:
  bool paced_;
  clock_fn clock_;
  int64_t start_;
  int64_t frames_ = 0;
};

// The decoder's states, kept in kalvo_decoder::state with these values.
enum class decoder_state : int {
  searching = 0,     // looking for the preamble
  skipping_gap = 1,  // the preamble's guard silence is still ahead
  receiving = 2,     // header, then data symbols (symbol_index)
};

inline decoder_state state_of(const kalvo_decoder* d) {
  return static_cast<decoder_state>(d->state);
}
inline void set_state(kalvo_decoder* d, decoder_state s) { d->state = static_cast<int>(s); }

// kalvo_decoder::symbol_index while the header symbol is awaited.
inline constexpr int kHeaderAwaited = -1;

}  // namespace kalvo::detail
