// Integer trigonometry, transforms, correlation and the trellis against their
// plain definitions (the recursive transform and recursion kept as oracles).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kalvo/kalvo.h"
#include "kalvo_internal.h"

namespace {

using C = kalvo_complex;
using Spectrum = std::vector<C>;
using Signal = std::vector<int64_t>;
namespace w = kalvo_wrap;

C add(C a, C b) { return {w::add(a.re, b.re), w::add(a.im, b.im)}; }
C sub(C a, C b) { return {w::sub(a.re, b.re), w::sub(a.im, b.im)}; }
bool operator==(C a, C b) { return a.re == b.re && a.im == b.im; }

// The recursive decimation in time exactly as defined.
template <typename Get>
void fft_rec(Get in, C* out, int n, int in_offset, int stride) {
  const int h = n / 2;
  if (h == 1) {
    const C e = in(in_offset), o = in(in_offset + stride);
    out[0] = add(e, o);
    out[1] = sub(e, o);
    return;
  }
  fft_rec(in, out, h, in_offset, stride * 2);
  fft_rec(in, out + h, h, in_offset + stride, stride * 2);
  for (int k = 0; k < h; ++k) {
    const int theta = -(36000 * k * stride) / 256;
    const C tw{cosi(theta), sini(theta)}, e = out[k];
    C t;
    complex_mul(&out[h + k], &tw, &t);
    out[k] = add(e, t);
    out[h + k] = sub(e, t);
  }
}

Spectrum oracle_fft(const Signal& x) {
  Spectrum out(256);
  fft_rec([&](int i) { return C{x[i], 0}; }, out.data(), 256, 0, 1);
  return out;
}

Spectrum fft(const Signal& x) {
  Spectrum out(256);
  kalvo_fft(x.data(), out.data(), 256);
  return out;
}

TEST(KalvoTrig, ExactValuesAndSymmetry) {
  // The last: extreme angles must not overflow while reducing.
  const int got[] = {sini(9000), cosi(0),   cosi(9000),  cosi(18000), sini(-9000), sini(27000),
                     sini(50),   sini(150), cosi(36000), sini(-4500), sini(4500),  sini(INT32_MIN)};
  const int want[] = {10000,  10000,  0,    -10000,
                      -10000, -10000, 88,   262,
                      10000,  -7071,  7071, -sini(static_cast<int>(-(int64_t{INT32_MIN} % 36000)))};
  for (size_t i = 0; i < std::size(got); ++i) EXPECT_EQ(got[i], want[i]) << i;
}

// Audio noise, full-range words (the wrap), a constant, and signals signed
// to push one bin as high as it goes (or at random) at full audio scale and at
// the ends of the 32-bit path's range [-2^17, 2^17) and one step beyond.
TEST(KalvoFft, ForwardAndBandMatchDefinitionBitForBit) {
  kalvo_fft_init();
  constexpr int64_t edge = int64_t{1} << 17;
  struct Input {
    bool noise;
    int64_t low, high;
    int rounds;
  } const inputs[] = {{true, -32768, 32767, 270},    {true, INT64_MIN, INT64_MAX, 30},
                      {true, -1234, -1234, 1},       {false, -32768, 32767, 160},
                      {false, -edge, edge - 1, 160}, {false, -edge, edge, 160}};
  const std::pair<int, int> bands[] = {{68, 107}, {0, 127}, {60, 70}, {5, 5}, {127, 127}};
  std::mt19937_64 rng(20261206);
  for (const Input& in : inputs) {
    std::uniform_int_distribution<int64_t> dist(in.low, in.high);
    for (int r = 0; r < in.rounds; ++r) {
      Signal x(256);
      for (int n = 0; n < 256; ++n) {
        const int angle = static_cast<int>(int64_t{36000} * r * n / 256 % 36000);
        const bool up = r < 129 ? cosi(angle) >= 0 : (rng() & 1u) != 0;
        x[n] = in.noise ? dist(rng) : up ? in.high : in.low;
      }
      const Spectrum want = oracle_fft(x), got = fft(x);
      for (int k = 0; k < 256; ++k)
        ASSERT_TRUE(got[k] == want[k]) << in.low << " " << r << " " << k;
      for (int k = 0; in.low == in.high && k < 256; ++k)  // also were the oracle's arithmetic off
        ASSERT_TRUE((got[k] == C{k ? 0 : 256 * in.low, 0})) << k;
      if (in.low < -32768 || in.high > 32767 || r % 4 != 0) continue;
      const std::vector<pcm_t> a(x.begin(), x.end());
      for (const auto& [first, last] : bands) {
        Spectrum out(256);
        kalvo_fft_band(a.data(), out.data(), first, last);
        for (int bin = first; bin <= last + 128; bin += bin == last ? 128 - (last - first) : 1)
          ASSERT_TRUE(out[bin] == want[bin]) << first << ".." << last << " bin " << bin;
      }
    }
  }
}

TEST(KalvoFft, ComplexInverseMatchesDefinition) {
  kalvo_fft_init();
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int64_t> dist(-(int64_t{1} << 40), int64_t{1} << 40);
  for (int round = 0; round < 100; ++round) {
    Spectrum in(256), fwd(256), out(256);
    for (auto& v : in) v = {dist(rng), dist(rng)};
    fft_rec([&](int i) { return in[i]; }, fwd.data(), 256, 0, 1);
    kalvo_ifft(in.data(), out.data(), 256);
    for (int k = 0; k < 256; ++k) {
      const C f = fwd[(256 - k) % 256];
      ASSERT_TRUE((out[k] == C{f.re / 256, f.im / 256})) << round << " " << k;
    }
  }
}

TEST(KalvoXcorr, LagsOfRotatedSignals) {
  kalvo_fft_init();
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> pcm(-20000, 20000);
  Signal x(256), p(256);
  for (auto& v : x) v = pcm(rng);
  kalvo_get_preamble(p.data());  // as the decoder meets it, delayed
  Spectrum work(256), out(256), zero(256, C{0, 0});
  const auto lag = [&](const Signal& ref, int by) {
    Signal r(256);
    for (int i = 0; i < 256; ++i) r[i] = ref[(i + by) % 256];
    Spectrum a = fft(ref), b = fft(r);
    return kalvo_xcorr(256, a.data(), b.data(), work.data(), b.data());  // out may alias sig
  };
  for (int by : {0, 5, 251}) EXPECT_EQ(lag(x, by), by);
  for (int by : {1, 37, 100, 127}) EXPECT_EQ(lag(p, by), by);
  EXPECT_EQ(kalvo_xcorr(256, zero.data(), zero.data(), work.data(), out.data()), 0);
}

TEST(KalvoFixedPoint, DivisionByTenThousandWithoutDividing) {
  // Around zero, multiples of 10000, every power of two and the ends of the
  // range, where a multiply-high replacement would first go wrong.
  std::vector<int64_t> edges = {0,
                                1,
                                9999,
                                10000,
                                10001,
                                19999,
                                20000,
                                INT64_MAX,
                                INT64_MAX - 1,
                                INT64_MAX / 10000 * 10000,
                                INT64_MAX / 10000 * 10000 - 1};
  for (int b = 1; b < 63; ++b)
    for (int64_t d = -2; d <= 2; ++d) edges.push_back((int64_t{1} << b) + d);
  const size_t positive = edges.size();
  for (size_t i = 0; i < positive; ++i) edges.push_back(-edges[i]);
  edges.push_back(INT64_MIN);
  std::mt19937_64 rng(10000);
  for (int i = 0; i < 200000; ++i) edges.push_back(static_cast<int64_t>(rng()) >> (i % 64));
  for (const int64_t x : edges) {
    ASSERT_EQ(kalvo_div10000_mulhi(x), x / 10000) << x;
    ASSERT_EQ(kalvo_div10000(x), x / 10000) << x;
  }
}

struct Literal {
  const kalvo_metrics* m;
  int n;
  long calls = 0;

  int select(int t, int a, int b) {
    ++calls;
    const auto& v = *m;
    if (v[t][a] != v[t][b]) return v[t][a] > v[t][b] ? a : b;
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

// The forward pass and the decision walk, written out from the definition.
unsigned literal_decode(uint64_t column, int L, long* calls = nullptr) {
  static const uint8_t setbits[4] = {0, 1, 1, 2};
  static const int order[4] = {0, 2, 1, 3};
  kalvo_metrics m = {};
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
  Literal lit{&m, L + 1};
  int s = 0;
  unsigned result = 0;
  for (int i = 0; i < L; ++i) {
    const int b = state_table[s][1];
    s = lit.select(i, state_table[s][0], b);
    if (s == b) result |= 1u << i;
  }
  if (calls) *calls = lit.calls;
  return result;
}

TEST(KalvoTrellis, DocumentedColumnsAndRoundTripEveryLength) {
  EXPECT_EQ(decode(0, 13), 0u);
  for (int bit = 0; bit < 28; ++bit) EXPECT_EQ(decode(uint64_t{1} << bit, 13), 0u) << bit;
  EXPECT_EQ(kalvo_tx_encode_column(0x1FFF, 13), 0x3FFA003u);
  EXPECT_EQ(kalvo_tx_encode_column(0x1555, 13), 0x5556001u);
  EXPECT_EQ(decode(0x3FFA003, 13), 0x1FFFu);
  EXPECT_EQ(decode(0x5556001, 13), 0x1555u);
  EXPECT_NE(decode(0x5556001 ^ (1u << 12), 13), 0x1555u);
  EXPECT_NE(decode(0x5556001 ^ (1u << 25), 13), 0x1555u);
  EXPECT_EQ(decode(0x5556001, 0), 0u);
  EXPECT_EQ(decode(0x5556001, -3), 0u);
  std::mt19937 rng(42);
  for (int L = 1; L <= 16; ++L) {
    for (uint32_t i = 0; i < (L <= 12 ? (1u << L) : 3000); ++i) {
      const unsigned w = L <= 12 ? i : rng() & ((1u << L) - 1);
      const uint64_t col = kalvo_tx_encode_column(w, L);
      ASSERT_EQ(col >> (2 * L + 1), 0u) << L;
      ASSERT_EQ(decode(col, L), w) << "L=" << L << " word=" << w;
      ASSERT_EQ(decode(col | uint64_t{1} << (2 * L + 1), L), w) << L;  // bit 2L + 1 unread
    }
  }
}

TEST(KalvoTrellis, EqualsLiteralRecursion) {
  // Every column of up to 17 bits (all tie patterns of those lengths), then random ones.
  for (int L = 1; L <= 8; ++L)
    for (uint64_t col = 0; col < (uint64_t{1} << (2 * L + 1)); ++col)
      ASSERT_EQ(decode(col, L), literal_decode(col, L)) << "L=" << L << " col=" << col;
  std::mt19937_64 rng(0x6b616c766f);
  for (int round = 0; round < 100000; ++round) {
    const int L = 10 + round % 7;
    const uint64_t col = rng() & ((uint64_t{1} << (2 * L + 2)) - 1);
    ASSERT_EQ(decode(col, L), literal_decode(col, L)) << "L=" << L << " col=" << col;
  }
}

// Fully tied metrics: every decision needs the whole look-ahead.
TEST(KalvoTrellis, EqualsLiteralRecursionOnTiedMetrics) {
  kalvo_metrics flat = {};
  for (int n = 2; n <= 17; ++n) {
    Literal lit{&flat, n};
    for (int a = 0; a < 4; ++a)
      for (int b = 0; b < 4; ++b) ASSERT_EQ(select_path(flat, n, 0, a, b), lit.select(0, a, b));
  }
}

}  // namespace
