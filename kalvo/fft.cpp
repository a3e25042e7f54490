// Fixed-point sine/cosine, 256-point radix-2 transforms and circular
// correlation. Every rounding matters (the decoder's decisions depend on it),
// so the transforms keep the exact butterfly arithmetic of the recursive
// decimation-in-time definition, computed iteratively in place.
#include <array>
#include <cstdint>
#include <mutex>

#include "kalvo/kalvo.h"
#include "kalvo_internal.h"

namespace {

// sin(d degrees) * 10000, rounded, d = 0..90.
constexpr std::array<uint16_t, 91> sin_table = {
    0,    175,  349,  523,  698,  872,  1045, 1219, 1392, 1564, 1736, 1908, 2079, 2250, 2419, 2588,
    2756, 2924, 3090, 3256, 3420, 3584, 3746, 3907, 4067, 4226, 4384, 4540, 4695, 4848, 5000, 5150,
    5299, 5446, 5592, 5736, 5878, 6018, 6157, 6293, 6428, 6561, 6691, 6820, 6947, 7071, 7193, 7314,
    7431, 7547, 7660, 7771, 7880, 7986, 8090, 8192, 8290, 8387, 8480, 8572, 8660, 8746, 8829, 8910,
    8988, 9063, 9135, 9205, 9272, 9336, 9397, 9455, 9511, 9563, 9613, 9659, 9703, 9744, 9781, 9816,
    9848, 9877, 9903, 9925, 9945, 9962, 9976, 9986, 9994, 9998, 10000};

constexpr int N = KALVO_FFT_SIZE;

// Twiddles: (cosi, sini) of -(36000 * j) / 256, j = 0..127.
std::array<kalvo_complex, N / 2> wn{};
std::once_flag wn_once;

// Quarter-wave lookup, 0 <= r <= 9000, interpolation rounded half up.
int quarter(int r) {
  const int i = r / 100;
  const int f = r % 100;
  if (f == 0) return sin_table[i];
  return sin_table[i] + ((sin_table[i + 1] - sin_table[i]) * f + 50) / 100;
}

// Leaf of the transform: two-point DFT of in[i] and in[i + 128].
inline void leaf(const int64_t* in, int i, kalvo_complex* out) {
  const int64_t e = in[i];
  const int64_t o = in[i + N / 2];
  out[0] = {kalvo_wrap::add(e, o), 0};
  out[1] = {kalvo_wrap::sub(e, o), 0};
}

inline void leaf(const kalvo_complex* in, int i, kalvo_complex* out) {
  const kalvo_complex e = in[i];
  const kalvo_complex o = in[i + N / 2];
  out[0] = {kalvo_wrap::add(e.re, o.re), kalvo_wrap::add(e.im, o.im)};
  out[1] = {kalvo_wrap::sub(e.re, o.re), kalvo_wrap::sub(e.im, o.im)};
}

constexpr unsigned bitrev7(unsigned m) {
  unsigned r = 0;
  for (int b = 0; b < 7; ++b) r |= ((m >> b) & 1u) << (6 - b);
  return r;
}

constexpr std::array<uint8_t, N / 2> make_leaf_order() {
  std::array<uint8_t, N / 2> t{};
  for (unsigned m = 0; m < N / 2; ++m) t[m] = static_cast<uint8_t>(bitrev7(m));
  return t;
}
constexpr std::array<uint8_t, N / 2> leaf_order = make_leaf_order();

// The recursion's output position 2m holds the leaf whose first input is
// bitrev7(m); the stages then combine blocks of 4, 8, ... 256 exactly as the
// recursion does on its way back up (twiddle stride 128 / half).
template <typename In>
void transform(const In* in, kalvo_complex* out) {
  for (int m = 0; m < N / 2; ++m) leaf(in, leaf_order[m], out + 2 * m);
  for (int h = 2; h <= N / 2; h *= 2) {
    const int stride = (N / 2) / h;
    for (int base = 0; base < N; base += 2 * h) {
      kalvo_complex* lo = out + base;
      kalvo_complex* hi = lo + h;
      for (int k = 0; k < h; ++k) {
        kalvo_complex t;
        complex_mul(&hi[k], &wn[k * stride], &t);
        const kalvo_complex e = lo[k];
        lo[k] = {kalvo_wrap::add(e.re, t.re), kalvo_wrap::add(e.im, t.im)};
        hi[k] = {kalvo_wrap::sub(e.re, t.re), kalvo_wrap::sub(e.im, t.im)};
      }
    }
  }
}

}  // namespace

int sini(int angle) {
  // |INT_MIN| does not fit; its remainder does.
  const int a =
      static_cast<int>(angle < 0 ? (-static_cast<int64_t>(angle)) % 36000 : angle % 36000);
  int v;
  switch (a / 9000) {
    case 0:
      v = quarter(a);
      break;
    case 1:
      v = quarter(18000 - a);
      break;
    case 2:
      v = -quarter(a - 18000);
      break;
    default:
      v = -quarter(36000 - a);
      break;
  }
  return angle < 0 ? -v : v;
}

int cosi(int angle) {
  const int a =
      static_cast<int>(angle < 0 ? (-static_cast<int64_t>(angle)) % 36000 : angle % 36000);
  switch (a / 9000) {
    case 0:
      return quarter(9000 - a);
    case 1:
      return -quarter(a - 9000);
    case 2:
      return -quarter(27000 - a);
    default:
      return quarter(a - 27000);
  }
}

void kalvo_fft_init() {
  std::call_once(wn_once, [] {
    for (int j = 0; j < N / 2; ++j) {
      const int theta = -(36000 * j) / N;
      wn[j] = {cosi(theta), sini(theta)};
    }
  });
}

void complex_mul(const kalvo_complex* a, const kalvo_complex* b, kalvo_complex* out) {
  using namespace kalvo_wrap;
  const int64_t re = sub(mul(a->re, b->re), mul(a->im, b->im)) / 10000;
  const int64_t im = add(mul(a->re, b->im), mul(a->im, b->re)) / 10000;
  out->re = re;
  out->im = im;
}

void kalvo_fft(const int64_t* in, kalvo_complex* out, int n) {
  if (n != N) return;
  kalvo_fft_init();
  transform(in, out);
}

void kalvo_ifft(const kalvo_complex* in, kalvo_complex* out, int n) {
  if (n != N) return;
  kalvo_fft_init();
  transform(in, out);
  out[0] = {out[0].re / n, out[0].im / n};
  out[n / 2] = {out[n / 2].re / n, out[n / 2].im / n};
  for (int k = 1; k < n / 2; ++k) {
    const kalvo_complex a = out[k];
    const kalvo_complex b = out[n - k];
    out[k] = {b.re / n, b.im / n};
    out[n - k] = {a.re / n, a.im / n};
  }
}

int kalvo_xcorr(int n, const kalvo_complex* ref, const kalvo_complex* sig, kalvo_complex* work,
                kalvo_complex* out) {
  using namespace kalvo_wrap;
  if (n != N) return 0;
  for (int k = 0; k < n; ++k) {
    work[k] = {add(mul(ref[k].re, sig[k].re), mul(ref[k].im, sig[k].im)),
               sub(mul(ref[k].im, sig[k].re), mul(ref[k].re, sig[k].im))};
  }
  kalvo_ifft(work, out, n);
  int best = 0;
  int64_t best_value = abs(out[0].re);
  for (int k = 1; k < n; ++k) {
    const int64_t v = abs(out[k].re);
    if (v > best_value) {
      best_value = v;
      best = k;
    }
  }
  return best;
}
