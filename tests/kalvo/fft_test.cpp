#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "kalvo/kalvo.h"
#include "kalvo_internal.h"

using namespace kalvo::detail;

namespace {

using C = kalvo_complex;
using Spectrum = std::vector<C>;
using Signal = std::vector<int64_t>;
namespace w = kalvo_wrap;

C add(C a, C b) { return {w::add(a.re, b.re), w::add(a.im, b.im)}; }
C sub(C a, C b) { return {w::sub(a.re, b.re), w::sub(a.im, b.im)}; }
bool operator==(C a, C b) { return a.re == b.re && a.im == b.im; }

// The recursive decimation in time as the oracle.
template <typename Get>
Spectrum fft_rec(Get in, int n = 256, int at = 0, int stride = 1) {
  if (n == 2) return {add(in(at), in(at + stride)), sub(in(at), in(at + stride))};
  Spectrum out = fft_rec(in, n / 2, at, stride * 2),
           odd = fft_rec(in, n / 2, at + stride, stride * 2);
  out.resize(static_cast<size_t>(n));
  for (int k = 0; k < n / 2; ++k) {
    const int theta = -(36000 * k * stride) / 256;
    C t, tw{cosi(theta), sini(theta)};
    complex_mul(&odd[k], &tw, &t);
    out[n / 2 + k] = sub(out[k], t);
    out[k] = add(out[k], t);
  }
  return out;
}

TEST(KalvoTrig, ExactValuesAndSymmetry) {
  // The last: extreme angles must not overflow while reducing.
  EXPECT_EQ(
      (std::vector<int>{sini(9000), cosi(0), cosi(9000), cosi(18000), sini(-9000), sini(27000),
                        sini(50), sini(150), cosi(36000), sini(-4500), sini(INT32_MIN)}),
      (std::vector<int>{10000, 10000, 0, -10000, -10000, -10000, 88, 262, 10000, -7071,
                        -sini(static_cast<int>(-(int64_t{INT32_MIN} % 36000)))}));
}

// Noise, full-range words (the wrap), a constant, and signals signed to push
// one bin to its peak at audio scale and at the 32-bit path's edges [-2^17, 2^17].
TEST(KalvoFft, ForwardBandAndInverseMatchDefinitionBitForBit) {
  kalvo_fft_init();
  constexpr int64_t edge = int64_t{1} << 17;
  const std::tuple<int64_t, int64_t, int, bool> inputs[] = {
      // low, high, rounds, noise
      {-32768, 32767, 270, true},  {INT64_MIN, INT64_MAX, 30, true}, {-1234, -1234, 1, true},
      {-32768, 32767, 160, false}, {-edge, edge - 1, 160, false},    {-edge, edge, 160, false}};
  const std::pair<int, int> bands[] = {{68, 107}, {0, 127}, {60, 70}, {5, 5}, {127, 127}};
  std::mt19937_64 rng(20261206);
  for (const auto& [low, high, rounds, noise] : inputs) {
    std::uniform_int_distribution<int64_t> dist(low, high);
    for (int r = 0; r < rounds; ++r) {
      Signal x(256);
      for (int n = 0; n < 256; ++n) {
        const bool up = r < 129 ? cosi(static_cast<int>(int64_t{36000} * r * n / 256 % 36000)) >= 0
                                : (rng() & 1u) != 0;
        x[n] = noise ? dist(rng) : up ? high : low;
      }
      const Spectrum want = fft_rec([&](int i) { return C{x[i], 0}; });
      Spectrum got(256);
      kalvo_fft(x.data(), got.data(), 256);
      for (int k = 0; k < 256; ++k) {
        ASSERT_TRUE(got[k] == want[k]) << low << " " << r << " " << k;
        // A constant has only its zero bin, also were the oracle's arithmetic off.
        ASSERT_TRUE(low != high || (got[k] == C{k ? 0 : 256 * low, 0})) << k;
      }
      if (low < -32768 || high > 32767 || r % 4 != 0) continue;
      const std::vector<pcm_t> a(x.begin(), x.end());
      for (const auto& [first, last] : bands) {
        Spectrum out(256);
        kalvo_fft_band(a.data(), out.data(), first, last);
        for (int bin = first; bin <= last + 128; bin += bin == last ? 128 - (last - first) : 1)
          ASSERT_TRUE(out[bin] == want[bin]) << first << ".." << last << " bin " << bin;
      }
    }
  }
  std::uniform_int_distribution<int64_t> dist(-(int64_t{1} << 40), int64_t{1} << 40);
  for (int round = 0; round < 100; ++round) {
    Spectrum in(256), out(256);
    for (auto& v : in) v = {dist(rng), dist(rng)};
    const Spectrum fwd = fft_rec([&](int i) { return in[i]; });
    kalvo_ifft(in.data(), out.data(), 256);
    for (int k = 0; k < 256; ++k) {
      const C f = fwd[(256 - k) % 256];
      ASSERT_TRUE((out[k] == C{f.re / 256, f.im / 256})) << round << " " << k;
    }
  }
}

TEST(KalvoFixedPoint, DivisionByTenThousandWithoutDividing) {
  constexpr int64_t top = INT64_MAX / 10000 * 10000;
  std::vector<int64_t> edges = {0,     1,     9999,          10000,   10001,
                                19999, 20000, INT64_MAX - 1, top - 1, top};
  for (int b = 1; b < 64; ++b)
    for (int64_t d = -2; d <= 2 && (b < 63 || d < 0); ++d)
      edges.push_back(w::add(int64_t{1} << b, d));
  for (size_t i = 0, n = edges.size(); i < n; ++i)
    edges.insert(edges.end(), {-edges[i], -edges[i] - 1});
  std::mt19937_64 rng(10000);
  for (int i = 0; i < 200000; ++i) edges.push_back(static_cast<int64_t>(rng()) >> (i % 64));
  for (const int64_t x : edges) {
    ASSERT_EQ(kalvo_div10000_mulhi(x), x / 10000) << x;
    ASSERT_EQ(kalvo_div10000(x), x / 10000) << x;
  }
}

TEST(KalvoTrellis, DocumentedColumnsAndRoundTripEveryLength) {
  for (int bit = -1; bit < 28; ++bit) EXPECT_EQ(decode(bit < 0 ? 0 : uint64_t{1} << bit, 13), 0u);
  EXPECT_EQ(kalvo_tx_encode_column(0x1FFF, 13), 0x3FFA003u);
  EXPECT_EQ(kalvo_tx_encode_column(0x1555, 13), 0x5556001u);
  EXPECT_EQ(decode(0x5556001, 0) + decode(0x5556001, -3), 0u);
  std::mt19937 rng(42);
  for (int L = 1; L <= 16; ++L) {
    for (uint32_t i = 0; i < (L <= 12 ? (1u << L) : 3000); ++i) {
      const unsigned word = L <= 12 ? i : rng() & ((1u << L) - 1);
      const uint64_t col = kalvo_tx_encode_column(word, L);
      ASSERT_EQ(col >> (2 * L + 1), 0u) << L;
      ASSERT_EQ(decode(col, L), word) << "L=" << L << " word=" << word;
      ASSERT_EQ(decode(col | uint64_t{1} << (2 * L + 1), L), word) << L;  // bit 2L + 1 unread
    }
  }
}

}  // namespace
