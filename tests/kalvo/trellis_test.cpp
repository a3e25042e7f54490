// Trellis decoder: round trips, the documented columns, and equality of the
// bounded tie-breaking with the plain recursion (kept here as the oracle).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "kalvo/kalvo.h"
#include "kalvo_internal.h"

using namespace kalvo::detail;

namespace {

struct Literal {
  const kalvo_metrics* m;
  int n;
  long calls = 0;

  int select(int t, int a, int b) {
    ++calls;
    const auto& v = *m;
    if (v[t][a] > v[t][b]) return a;
    if (v[t][a] < v[t][b]) return b;
    if (t == n - 1) return a;
    if (t == n - 2) {
      const int x = state_table[a][0], y = state_table[b][0];
      return select(n - 1, x, y) == x ? a : b;
    }
    const int x = select(t + 1, state_table[a][0], state_table[a][1]);
    const int y = select(t + 1, state_table[b][0], state_table[b][1]);
    return select(t + 1, x, y) == x ? a : b;
  }
};

// The forward pass, written out from the definition.
void metrics_of(uint64_t column, int L, kalvo_metrics m) {
  static const uint8_t setbits[4] = {0, 1, 1, 2};
  static const int order[4] = {0, 2, 1, 3};
  uint8_t cur[4] = {0, 0, 0, 0};
  for (int t = 0; t <= L; ++t) {
    const unsigned r = (((column >> (L + t)) & 1) << 1) | ((column >> t) & 1);
    uint8_t next[4] = {cur[0], cur[1], cur[2], cur[3]};
    for (int i = 0; i < (t == 0 ? 1 : t == 1 ? 2 : 4); ++i) {
      const int s = order[i];
      for (int b = 0; b < (t < L ? 2 : 1); ++b) {
        const uint8_t v = static_cast<uint8_t>(cur[s] + setbits[(~emit_table[s][b] & 3u) ^ r]);
        if (next[state_table[s][b]] < v) next[state_table[s][b]] = v;
      }
    }
    for (int s = 0; s < 4; ++s) m[t][s] = cur[s] = next[s];
  }
}

unsigned literal_decode(uint64_t column, int L, long* calls = nullptr) {
  kalvo_metrics m = {};
  metrics_of(column, L, m);
  Literal lit{&m, L + 1};
  int s = 0;
  unsigned result = 0;
  for (int i = 0; i < L; ++i) {
    const int a = state_table[s][0], b = state_table[s][1];
    s = lit.select(i, a, b);
    if (s == b) result |= 1u << i;
  }
  if (calls) *calls = lit.calls;
  return result;
}

TEST(KalvoTrellis, DocumentedColumns) {
  EXPECT_EQ(decode(0, 13), 0u);
  for (int bit = 0; bit < 28; ++bit) EXPECT_EQ(decode(uint64_t{1} << bit, 13), 0u) << bit;
  EXPECT_EQ(decode(0x3FFA003, 13), 0x1FFFu);
  EXPECT_EQ(kalvo_tx_encode_column(0x1FFF, 13), 0x3FFA003u);
  EXPECT_EQ(kalvo_tx_encode_column(0x1555, 13), 0x5556001u);
  EXPECT_EQ(decode(0x5556001, 13), 0x1555u);
  EXPECT_NE(decode(0x5556001 ^ (1u << 12), 13), 0x1555u);
  EXPECT_NE(decode(0x5556001 ^ (1u << 25), 13), 0x1555u);
  EXPECT_EQ(decode(0x5556001, 0), 0u);
  EXPECT_EQ(decode(0x5556001, -3), 0u);
}

TEST(KalvoTrellis, RoundTripEveryLength) {
  std::mt19937 rng(42);
  for (int L = 1; L <= 16; ++L) {
    const uint32_t words = L <= 12 ? (1u << L) : 3000;
    for (uint32_t i = 0; i < words; ++i) {
      const unsigned w = L <= 12 ? i : rng() & ((1u << L) - 1);
      const uint64_t col = kalvo_tx_encode_column(w, L);
      ASSERT_EQ(col >> (2 * L + 1), 0u) << L;
      ASSERT_EQ(decode(col, L), w) << "L=" << L << " word=" << w;
      // Column bit 2L + 1 is never read.
      ASSERT_EQ(decode(col | uint64_t{1} << (2 * L + 1), L), w) << "L=" << L;
    }
  }
}

TEST(KalvoTrellis, EqualsLiteralRecursionExhaustivelyForShortWords) {
  // Every column of up to 2L + 1 = 17 bits: all tie patterns these lengths have.
  for (int L = 1; L <= 8; ++L) {
    for (uint64_t col = 0; col < (uint64_t{1} << (2 * L + 1)); ++col)
      ASSERT_EQ(decode(col, L), literal_decode(col, L)) << "L=" << L << " col=" << col;
  }
}

TEST(KalvoTrellis, EqualsLiteralRecursionOnRandomColumns) {
  std::mt19937_64 rng(0x6b616c766f);
  for (int round = 0; round < 100000; ++round) {
    const int L = 10 + round % 7;
    const uint64_t col = rng() & ((uint64_t{1} << (2 * L + 2)) - 1);
    ASSERT_EQ(decode(col, L), literal_decode(col, L)) << "L=" << L << " col=" << col;
  }
}

// Columns chosen to maximise the recursion: starting from random columns,
// keep every bit flip that makes the plain recursion call itself more often.
TEST(KalvoTrellis, EqualsLiteralRecursionOnTieHeavyColumns) {
  std::mt19937_64 rng(99);
  long most = 0;
  for (int start = 0; start < 6; ++start) {
    const int L = 16;
    uint64_t col = rng() & ((uint64_t{1} << 33) - 1);
    long calls = 0;
    literal_decode(col, L, &calls);
    for (int pass = 0; pass < 2; ++pass) {
      for (int bit = 0; bit <= 2 * L; ++bit) {
        const uint64_t c = col ^ (uint64_t{1} << bit);
        long k = 0;
        const unsigned expect = literal_decode(c, L, &k);
        ASSERT_EQ(decode(c, L), expect) << "col=" << c;
        if (k > calls) {
          calls = k;
          col = c;
        }
      }
    }
    most = std::max(most, calls);
  }
  // The search must have found genuinely tie-heavy columns, else it proved little.
  EXPECT_GT(most, 1000);
  // Fully tied metrics: every decision needs the whole look-ahead.
  kalvo_metrics flat = {};
  for (int n = 2; n <= 17; ++n) {
    Literal lit{&flat, n};
    for (int a = 0; a < 4; ++a)
      for (int b = 0; b < 4; ++b) ASSERT_EQ(select_path(flat, n, 0, a, b), lit.select(0, a, b));
  }
}

}  // namespace
