// Fixed-point sine/cosine, 256-point radix-2 transforms and circular
// correlation. Every rounding matters (the decoder's decisions depend on it),
// so the transforms give exactly the values of the recursive
// decimation-in-time definition on every input, computed iteratively in
// place: in 64 bits for any input (wrapping where the definition wraps), and
// for real audio-range input, where nothing can wrap, in 32 bits without the
// products of the trivial twiddles and without the mirrored half of the
// early stages.
#include <array>
#include <cstdint>
#include <mutex>

#include "kalvo/kalvo.h"
#include "kalvo_internal.h"

namespace kalvo_wrap = kalvo::detail::kalvo_wrap;
using kalvo::detail::kalvo_div10000;

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
// recursion does on its way back up (twiddle stride 128 / half). Any 64-bit
// input, wrapping where the definition wraps.
template <typename In>
void transform_wide(const In* in, kalvo_complex* out) {
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

// Real input small enough that nothing wraps: -2^17 <= x < 2^17 (16-bit
// audio, the 60000-peak preamble). Every component then stays below 2^31: the leaves
// are at most 2^18 and a stage at most triples the bound (|lo| + |hi| *
// (|c| + |s|) / 10000 with |c|, |s| <= 10000), so 2^18 * 3^7 < 2^30. The
// products are below 2^29 * 10^4 < 2^43. Exact integer arithmetic thus
// equals the wrapping definition, which allows 32-bit values with 64-bit
// products and exact shortcuts for the twiddles 1, -i and the two diagonals.
constexpr int64_t kNarrowInput = int64_t{1} << 17;

struct Narrow {
  int32_t re;
  int32_t im;
};

// The twiddles that need no general product: wn[0] = (10000, 0), wn[32] =
// (7071, -7071), wn[64] = (0, -10000), wn[96] = (-7071, -7071), the cosi and
// sini of 0, -45, -90 and -135 degrees.
enum class Twiddle : uint8_t { one, diag, minus_i, anti, general };

// t = hi * w / 10000, each component truncated toward zero:
//   t.re = (hi.re * c - hi.im * s) / 10000,  t.im = (hi.re * s + hi.im * c) / 10000.
// For the four special twiddles the same values follow without a product:
//   one: t = hi;  minus_i: t = (hi.im, -hi.re);
//   diag (d, -d): t = (d (re + im), d (im - re)) / 10000;
//   anti (-d, -d): t = (d (im - re), -d (re + im)) / 10000.
template <Twiddle kind>
inline Narrow twiddled(Narrow a, kalvo_complex w) {
  const int64_t re = a.re;
  const int64_t im = a.im;
  if constexpr (kind == Twiddle::one) {
    return a;
  } else if constexpr (kind == Twiddle::minus_i) {
    return {a.im, -a.re};
  } else if constexpr (kind == Twiddle::diag) {
    const int64_t d = w.re;
    return {static_cast<int32_t>(kalvo_div10000(d * (re + im))),
            static_cast<int32_t>(kalvo_div10000(d * (im - re)))};
  } else if constexpr (kind == Twiddle::anti) {
    const int64_t d = w.im;  // -7071
    return {static_cast<int32_t>(kalvo_div10000(d * (re - im))),
            static_cast<int32_t>(kalvo_div10000(d * (re + im)))};
  } else {
    const auto c = static_cast<int32_t>(w.re);
    const auto s = static_cast<int32_t>(w.im);
    return {static_cast<int32_t>(kalvo_div10000(re * c - im * s)),
            static_cast<int32_t>(kalvo_div10000(re * s + im * c))};
  }
}

// Butterfly k of every block of size 2h: lo' = lo + t, hi' = lo - t.
template <Twiddle kind>
inline void butterflies(Narrow* x, int h, int k, kalvo_complex w) {
  for (int base = 0; base < N; base += 2 * h) {
    Narrow& lo = x[base + k];
    Narrow& hi = x[base + h + k];
    const Narrow t = twiddled<kind>(hi, w);
    hi = {lo.re - t.re, lo.im - t.im};
    lo = {lo.re + t.re, lo.im + t.im};
  }
}

// Butterflies k_begin <= k < k_end of the stage that joins blocks of h.
void stage(Narrow* x, int h, int k_begin, int k_end) {
  const int stride = (N / 2) / h;
  for (int k = k_begin; k < k_end; ++k) {
    const int j = k * stride;
    const kalvo_complex w = wn[j];
    if (j % 32 != 0) {
      butterflies<Twiddle::general>(x, h, k, w);
      continue;
    }
    switch (j) {
      case 0:
        butterflies<Twiddle::one>(x, h, k, w);
        break;
      case 32:
        butterflies<Twiddle::diag>(x, h, k, w);
        break;
      case 64:
        butterflies<Twiddle::minus_i>(x, h, k, w);
        break;
      default:
        butterflies<Twiddle::anti>(x, h, k, w);
        break;
    }
  }
}

// The DFT of a real block of 2h points is conjugate-symmetric,
// X[2h - k] = conj(X[k]), and so is its rounded form here wherever the
// twiddle index j = k * 128 / h is a multiple of 8: there wn[128 - j] =
// -conj(wn[j]) exactly, and truncation toward zero is odd, so butterfly k
// yields the conjugates of butterfly h - k once the blocks it joins are
// symmetric. By induction from the real leaves that holds for every j up
// to blocks of 32 (h <= 16), so blocks of 64 (h = 32) are symmetric where k
// is even. Butterflies k <= h/2 are formed, the mirrored ones copied.
void stage_mirrored(Narrow* x, int h) {
  const int stride = (N / 2) / h;
  stage(x, h, 0, h / 2 + 1);
  for (int k = h / 2 + 1; k < h; ++k) {
    if (k * stride % 8 != 0) {
      stage(x, h, k, k + 1);
      continue;
    }
    for (int base = 0; base < N; base += 2 * h) {
      const Narrow a = x[base + 2 * h - k];
      const Narrow b = x[base + h - k];
      x[base + k] = {a.re, -a.im};
      x[base + h + k] = {b.re, -b.im};
    }
  }
}

// The same transform as transform_wide for inputs in [-kNarrowInput,
// kNarrowInput), for the bins first..last and bin + 128 (0 <= first <= last
// < 128). The last stage forms bins k and k + 128 from butterfly k; those
// read the previous stage's butterflies k mod 64. Earlier stages are needed
// whole.
template <typename In>
void transform_narrow(const In* in, kalvo_complex* out, int first, int last) {
  std::array<Narrow, N> x;
  // Leaves and the first two stages in one. The four-point DFT of a, b, c, d
  // (the inputs of two neighbouring leaves) has the twiddles 1 and -i only:
  //   P = (a + b + c + d, 0), (a - b, d - c), (a + b - c - d, 0), (a - b, c - d).
  // Eight points join two of them, E and O, with the twiddles 1, wn[32] =
  // (q, -q), -i and wn[96] (mirrored):
  //   X0 = E0 + O0, X4 = E0 - O0, X2 = (E2, -O2), X6 = (E2, O2),
  //   X1 = E1 + t, X5 = E1 - t with t = (q (O1.re + O1.im), q (O1.im - O1.re)) / 10000,
  //   X3 = conj(X5), X7 = conj(X1).
  const int64_t q = wn[32].re;
  for (int m = 0; m < N / 8; ++m) {
    const auto four = [&](int leaf, int32_t& p0, Narrow& p1, int32_t& p2) {
      const auto a = static_cast<int32_t>(in[leaf_order[leaf]]);
      const auto b = static_cast<int32_t>(in[leaf_order[leaf] + N / 2]);
      const auto c = static_cast<int32_t>(in[leaf_order[leaf + 1]]);
      const auto d = static_cast<int32_t>(in[leaf_order[leaf + 1] + N / 2]);
      p0 = a + b + c + d;
      p1 = {a - b, d - c};
      p2 = a + b - c - d;
    };
    int32_t e0, e2, o0, o2;
    Narrow e1, o1;
    four(4 * m, e0, e1, e2);
    four(4 * m + 2, o0, o1, o2);
    const Narrow t = {static_cast<int32_t>(kalvo_div10000(q * (int64_t{o1.re} + o1.im))),
                      static_cast<int32_t>(kalvo_div10000(q * (int64_t{o1.im} - o1.re)))};
    Narrow* X = &x[8 * m];
    X[0] = {e0 + o0, 0};
    X[4] = {e0 - o0, 0};
    X[2] = {e2, -o2};
    X[6] = {e2, o2};
    X[1] = {e1.re + t.re, e1.im + t.im};
    X[5] = {e1.re - t.re, e1.im - t.im};
    X[3] = {X[5].re, -X[5].im};
    X[7] = {X[1].re, -X[1].im};
  }
  for (int h = 8; h <= 32; h *= 2) stage_mirrored(x.data(), h);
  // Butterflies k mod 64 of the bins, possibly wrapping past 63.
  const int from = first % 64;
  const int to = last % 64;
  if (last - first >= 63) {
    stage(x.data(), 64, 0, 64);
  } else if (from <= to) {
    stage(x.data(), 64, from, to + 1);
  } else {
    stage(x.data(), 64, from, 64);
    stage(x.data(), 64, 0, to + 1);
  }
  stage(x.data(), 128, first, last + 1);
  for (int k = first; k <= last; ++k) {
    out[k] = {x[k].re, x[k].im};
    out[k + N / 2] = {x[k + N / 2].re, x[k + N / 2].im};
  }
}

// Whether every input lies in [-kNarrowInput, kNarrowInput): one test on
// the or of all offset inputs, which has no bit at or above 2^18 only then.
bool narrow(const int64_t* in) {
  uint64_t any = 0;
  for (int i = 0; i < N; ++i) any |= static_cast<uint64_t>(in[i]) + kNarrowInput;
  return any < 2 * kNarrowInput;
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
  const int64_t re = kalvo_div10000(sub(mul(a->re, b->re), mul(a->im, b->im)));
  const int64_t im = kalvo_div10000(add(mul(a->re, b->im), mul(a->im, b->re)));
  out->re = re;
  out->im = im;
}

void kalvo_fft(const int64_t* in, kalvo_complex* out, int n) {
  if (n != N) return;
  kalvo_fft_init();
  if (narrow(in))
    transform_narrow(in, out, 0, N / 2 - 1);
  else
    transform_wide(in, out);
}

void kalvo::detail::kalvo_fft_band(const pcm_t* in, kalvo_complex* out, int first, int last) {
  if (first < 0 || first > last || last >= N / 2) return;
  kalvo_fft_init();
  transform_narrow(in, out, first, last);
}

void kalvo_ifft(const kalvo_complex* in, kalvo_complex* out, int n) {
  if (n != N) return;
  kalvo_fft_init();
  transform_wide(in, out);
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
