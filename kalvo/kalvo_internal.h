// Internals of the modem shared between its sources and its tests.
#pragma once

#include <cstdint>

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

// Trellis decoder of one column (rate 1/2, constraint length 3, generators
// 7 and 5): the L data bits, first decoded bit in bit 0; 0 when L is outside
// 1..31.
unsigned decode(uint64_t column, int L);

// Path metrics of one column: metrics[t][state] after step t.
using kalvo_metrics = uint8_t[32][4];

// Chooses between states a and b at step t of n, looking ahead on ties.
// Same result as the plain recursion, with each (t, a, b) decided once.
int select_path(const kalvo_metrics metrics, int n, int t, int a, int b);

// The constant tables of the code, shared with the transmitter.
extern const int state_table[4][2];
extern const uint8_t emit_table[4][2];
