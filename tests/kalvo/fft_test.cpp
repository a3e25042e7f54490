// Integer trigonometry, transforms and correlation against their plain
// definitions (the recursive transform kept here as the oracle).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "kalvo/kalvo.h"
#include "kalvo_internal.h"

using namespace kalvo::detail;

namespace {

using Spectrum = std::vector<kalvo_complex>;

kalvo_complex twiddle(int j) {
  const int theta = -(36000 * j) / 256;
  return {cosi(theta), sini(theta)};
}

kalvo_complex add(kalvo_complex a, kalvo_complex b) {
  return {kalvo_wrap::add(a.re, b.re), kalvo_wrap::add(a.im, b.im)};
}
kalvo_complex sub(kalvo_complex a, kalvo_complex b) {
  return {kalvo_wrap::sub(a.re, b.re), kalvo_wrap::sub(a.im, b.im)};
}

// The recursive decimation in time exactly as defined.
template <typename Get>
void fft_rec(Get in, kalvo_complex* out, int n, int in_offset, int out_offset, int stride) {
  const int h = n / 2;
  if (h == 1) {
    const kalvo_complex e = in(in_offset), o = in(in_offset + stride);
    out[out_offset] = add(e, o);
    out[out_offset + 1] = sub(e, o);
    return;
  }
  fft_rec(in, out, h, in_offset, out_offset, stride * 2);
  fft_rec(in, out, h, in_offset + stride, out_offset + h, stride * 2);
  for (int k = 0; k < h; ++k) {
    kalvo_complex t;
    const kalvo_complex w = twiddle(k * stride);
    complex_mul(&out[out_offset + h + k], &w, &t);
    const kalvo_complex e = out[out_offset + k];
    out[out_offset + k] = add(e, t);
    out[out_offset + h + k] = sub(e, t);
  }
}

Spectrum oracle_fft(const std::vector<int64_t>& x) {
  Spectrum out(256);
  fft_rec([&](int i) { return kalvo_complex{x[i], 0}; }, out.data(), 256, 0, 0, 1);
  return out;
}

Spectrum fft(const std::vector<int64_t>& x) {
  Spectrum out(256);
  kalvo_fft(x.data(), out.data(), 256);
  return out;
}

void expect_same(const Spectrum& a, const Spectrum& b) {
  for (size_t k = 0; k < a.size(); ++k) {
    ASSERT_EQ(a[k].re, b[k].re) << "bin " << k;
    ASSERT_EQ(a[k].im, b[k].im) << "bin " << k;
  }
}

std::vector<int64_t> rotate_left(const std::vector<int64_t>& x, int by) {
  std::vector<int64_t> r(x.size());
  for (size_t i = 0; i < x.size(); ++i) r[i] = x[(i + by) % x.size()];
  return r;
}

TEST(KalvoTrig, ExactValuesAndSymmetry) {
  EXPECT_EQ(sini(9000), 10000);
  EXPECT_EQ(cosi(0), 10000);
  EXPECT_EQ(cosi(9000), 0);
  EXPECT_EQ(cosi(18000), -10000);
  EXPECT_EQ(sini(-9000), -10000);
  EXPECT_EQ(sini(27000), -10000);
  EXPECT_EQ(sini(50), 88);
  EXPECT_EQ(sini(150), 262);
  EXPECT_EQ(cosi(36000), cosi(0));
  EXPECT_EQ(sini(-4500), -sini(4500));
  EXPECT_EQ(sini(4500), 7071);
  // Extreme angles must not overflow while reducing.
  EXPECT_EQ(sini(INT32_MIN), -sini(static_cast<int>(-(int64_t{INT32_MIN} % 36000))));
}

TEST(KalvoFft, MatchesRecursiveDefinitionBitForBit) {
  kalvo_fft_init();
  std::mt19937_64 rng(20261206);
  std::uniform_int_distribution<int64_t> pcm(-32768, 32767);
  std::uniform_int_distribution<int64_t> wide(INT64_MIN, INT64_MAX);
  for (int round = 0; round < 300; ++round) {
    std::vector<int64_t> x(256);
    // Mostly audio-range input, some full-range input to exercise the wrap.
    for (auto& v : x) v = round % 10 == 9 ? wide(rng) : pcm(rng);
    expect_same(fft(x), oracle_fft(x));
    if (HasFatalFailure()) return;
  }
}

TEST(KalvoFft, ComplexInverseMatchesDefinition) {
  kalvo_fft_init();
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int64_t> dist(-(int64_t{1} << 40), int64_t{1} << 40);
  for (int round = 0; round < 100; ++round) {
    Spectrum in(256);
    for (auto& v : in) v = {dist(rng), dist(rng)};
    Spectrum fwd(256);
    fft_rec([&](int i) { return in[i]; }, fwd.data(), 256, 0, 0, 1);
    Spectrum expect(256);
    expect[0] = {fwd[0].re / 256, fwd[0].im / 256};
    for (int k = 1; k < 256; ++k) expect[k] = {fwd[256 - k].re / 256, fwd[256 - k].im / 256};
    Spectrum out(256);
    kalvo_ifft(in.data(), out.data(), 256);
    expect_same(out, expect);
    if (HasFatalFailure()) return;
  }
}

TEST(KalvoFft, ConstantSignalHasOnlyItsZeroBin) {
  kalvo_fft_init();
  const Spectrum c = fft(std::vector<int64_t>(256, -1234));
  EXPECT_EQ(c[0].re, 256 * -1234);
  EXPECT_EQ(c[0].im, 0);
  for (int k = 1; k < 256; ++k) {
    ASSERT_EQ(c[k].re, 0) << k;
    ASSERT_EQ(c[k].im, 0) << k;
  }
}

TEST(KalvoXcorr, LagsOfRotatedSignals) {
  kalvo_fft_init();
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> pcm(-20000, 20000);
  std::vector<int64_t> x(256);
  for (auto& v : x) v = pcm(rng);
  const Spectrum ref = fft(x);
  Spectrum work(256), out(256);
  Spectrum sig = ref;
  EXPECT_EQ(kalvo_xcorr(256, ref.data(), sig.data(), work.data(), out.data()), 0);
  sig = fft(rotate_left(x, 5));
  EXPECT_EQ(kalvo_xcorr(256, ref.data(), sig.data(), work.data(), sig.data()), 5);
  sig = fft(rotate_left(x, 256 - 5));
  EXPECT_EQ(kalvo_xcorr(256, ref.data(), sig.data(), work.data(), sig.data()), 251);
  // The preamble against itself delayed, as the decoder meets it.
  std::vector<int64_t> p(256);
  kalvo_get_preamble(p.data());
  const Spectrum pre = fft(p);
  for (int lag : {1, 37, 100, 127}) {
    sig = fft(rotate_left(p, lag));
    EXPECT_EQ(kalvo_xcorr(256, pre.data(), sig.data(), work.data(), sig.data()), lag);
  }
  Spectrum zero(256, kalvo_complex{0, 0});
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
  for (int i = 0; i < 200000; ++i) {
    const int64_t v = static_cast<int64_t>(rng());
    edges.push_back(v >> (i % 64));  // every magnitude, both signs
  }
  for (const int64_t x : edges) {
    ASSERT_EQ(kalvo_div10000_mulhi(x), x / 10000) << x;
    ASSERT_EQ(kalvo_div10000(x), x / 10000) << x;
  }
}

TEST(KalvoFft, NarrowInputEdgesMatchDefinition) {
  // Inputs at the ends of the 32-bit path's range [-2^17, 2^17), signed to
  // push one bin as high as it goes or at random, and one step beyond.
  kalvo_fft_init();
  constexpr int64_t edge = int64_t{1} << 17;
  std::mt19937 rng(17);
  for (const auto& [low, high] : {std::pair{-edge, edge - 1}, std::pair{-edge, edge}}) {
    for (int bin = 0; bin < 160; ++bin) {
      std::vector<int64_t> x(256);
      for (int n = 0; n < 256; ++n) {
        const bool up = bin < 129
                            ? cosi(static_cast<int>(int64_t{36000} * bin * n / 256 % 36000)) >= 0
                            : (rng() & 1u) != 0;
        x[n] = up ? high : low;
      }
      expect_same(fft(x), oracle_fft(x));
      if (HasFatalFailure()) return;
    }
  }
}

TEST(KalvoFft, BandOfAudioMatchesDefinition) {
  kalvo_fft_init();
  std::mt19937 rng(68);
  std::uniform_int_distribution<int> pcm(-32768, 32767);
  const std::pair<int, int> bands[] = {{68, 107}, {0, 127}, {60, 70}, {5, 5}, {127, 127}};
  for (int round = 0; round < 40; ++round) {
    std::vector<pcm_t> a(256);
    // Full-scale square waves as well as noise.
    for (int n = 0; n < 256; ++n)
      a[n] =
          static_cast<pcm_t>(round % 4 == 3 ? ((n * round / 16) % 2 ? 32767 : -32768) : pcm(rng));
    const Spectrum expect = oracle_fft(std::vector<int64_t>(a.begin(), a.end()));
    for (const auto& [first, last] : bands) {
      Spectrum out(256);
      kalvo_fft_band(a.data(), out.data(), first, last);
      for (int k = first; k <= last; ++k) {
        for (const int bin : {k, k + 128}) {
          ASSERT_EQ(out[bin].re, expect[bin].re) << first << ".." << last << " bin " << bin;
          ASSERT_EQ(out[bin].im, expect[bin].im) << first << ".." << last << " bin " << bin;
        }
      }
    }
  }
}

}  // namespace
