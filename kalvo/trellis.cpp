// Trellis decoder of the rate-1/2 convolutional code (constraint length 3,
// generators 7 and 5) that protects each bit column of a frame.
//
// The decision pass breaks ties by comparing each candidate's best
// continuation one step later, recursively. Written as a plain recursion a
// tie costs three calls on the next step, so a noisy column can take tens of
// thousands of calls on the real-time thread. The choice depends only on
// (t, a, b), so each is decided once per column and remembered: at most
// 32 * 16 decisions of three lookups each.
#include <array>
#include <cstdint>

#include "kalvo_internal.h"

namespace kalvo::detail {

const int state_table[4][2] = {{0, 2}, {0, 2}, {1, 3}, {1, 3}};
const uint8_t emit_table[4][2] = {{0, 3}, {3, 0}, {2, 1}, {1, 2}};

namespace {

constexpr std::array<uint8_t, 4> setbits = {0, 1, 1, 2};
constexpr std::array<int, 4> possible_states = {0, 2, 1, 3};
constexpr int kMaxSteps = 32;

// memo[t][a][b]: 0 not yet decided, otherwise the chosen state + 1.
using Memo = std::array<std::array<std::array<uint8_t, 4>, 4>, kMaxSteps>;

// Chooses between states a and b at step t of n, looking ahead on ties;
// the same result as the plain recursion, with each (t, a, b) decided once.
int choose(const kalvo_metrics m, int n, int t, int a, int b, Memo& memo) {
  if (m[t][a] > m[t][b]) return a;
  if (m[t][a] < m[t][b]) return b;
  if (t == n - 1) return a;
  uint8_t& known = memo[t][a][b];
  if (known != 0) return known - 1;
  int result;
  if (t == n - 2) {
    const int x = state_table[a][0];
    const int y = state_table[b][0];
    result = choose(m, n, n - 1, x, y, memo) == x ? a : b;
  } else {
    const int x = choose(m, n, t + 1, state_table[a][0], state_table[a][1], memo);
    const int y = choose(m, n, t + 1, state_table[b][0], state_table[b][1], memo);
    result = choose(m, n, t + 1, x, y, memo) == x ? a : b;
  }
  known = static_cast<uint8_t>(result + 1);
  return result;
}

}  // namespace

unsigned decode(uint64_t column, int L) {
  if (L < 1 || L > kMaxSteps - 1) return 0;
  const int n = L + 1;
  uint8_t metrics[kMaxSteps][4] = {};
  std::array<uint8_t, 4> cur{};
  for (int t = 0; t < n; ++t) {
    const unsigned r =
        static_cast<unsigned>(((column >> (L + t)) & 1u) << 1 | ((column >> t) & 1u));
    std::array<uint8_t, 4> next = cur;
    const int expanded = t == 0 ? 1 : t == 1 ? 2 : 4;
    const int inputs = t < L ? 2 : 1;
    for (int i = 0; i < expanded; ++i) {
      const int s = possible_states[i];
      for (int b = 0; b < inputs; ++b) {
        const unsigned e = emit_table[s][b];
        const int ns = state_table[s][b];
        const auto v = static_cast<uint8_t>(cur[s] + setbits[(~e & 3u) ^ r]);
        if (next[ns] < v) next[ns] = v;
      }
    }
    cur = next;
    for (int s = 0; s < 4; ++s) metrics[t][s] = cur[s];
  }
  Memo memo{};
  int s = 0;
  unsigned result = 0;
  for (int i = 0; i < L; ++i) {
    const int a = state_table[s][0];
    const int b = state_table[s][1];
    s = choose(metrics, n, i, a, b, memo);
    if (s == b) result |= 1u << i;
  }
  return result;
}

}  // namespace kalvo::detail
