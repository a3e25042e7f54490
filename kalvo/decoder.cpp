// Stream decoder: preamble search, header and data symbols, column decoding.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>

#include "kalvo/kalvo.h"
#include "kalvo_internal.h"

using kalvo::detail::decoder_state;
using kalvo::detail::kHeaderAwaited;
using kalvo::detail::set_state;
using kalvo::detail::state_of;

namespace {

struct Carrier {
  int type;  // 0 pilot, 1 data, 2 silent
  int ref;   // record of the group's pilot
  int64_t phase;
};

constexpr int kFirstCarrierBin = 90;
constexpr std::array<Carrier, 20> carriers = {{
    {0, 0, 0},  {1, 0, 0},      {1, 0, 0},  {1, 0, 0},     {1, 0, 0},  {0, 5, 4500}, {1, 5, 0},
    {1, 5, 0},  {1, 5, 0},      {1, 5, 0},  {0, 10, 9000}, {1, 10, 0}, {1, 10, 0},   {1, 10, 0},
    {1, 10, 0}, {0, 15, 13500}, {1, 15, 0}, {1, 15, 0},    {1, 15, 0}, {1, 15, 0},
}};

constexpr int kQueue = 632;
constexpr int kStepNeeds = 512;
constexpr int kSearchHop = 251;
constexpr int kSearchFirst = 68;  // bins searched for the preamble tones
constexpr int kSearchLast = 107;

// Phase of bin k at sample n, hundredths of a degree.
inline int tone_phase(int n, int k) { return static_cast<int>((int64_t{n} * k * 36000) >> 8); }

void consume(kalvo_decoder* d, int k) {
  std::memmove(d->samples, d->samples + k, sizeof(pcm_t) * static_cast<size_t>(d->count - k));
  d->count -= k;
}

void load_window(const kalvo_decoder* d, int64_t* work) {
  for (int i = 0; i < KALVO_FFT_SIZE; ++i) work[i] = d->samples[i];
}

// One step of the searching state: looks for the preamble tones. Only the
// searched bins are transformed and their powers re^2 + im^2 (64-bit,
// wrapping) compared; the whole spectrum is formed once a preamble is seen.
void search_step(kalvo_decoder* d) {
  using namespace kalvo::detail::kalvo_wrap;
  kalvo::detail::kalvo_fft_band(d->samples, d->spectrum, kSearchFirst, kSearchLast);
  std::array<int64_t, kSearchLast - kSearchFirst + 1> power;
  for (int k = kSearchFirst; k <= kSearchLast; ++k)
    power[k - kSearchFirst] =
        add(mul(d->spectrum[k].re, d->spectrum[k].re), mul(d->spectrum[k].im, d->spectrum[k].im));
  int first = 0;
  int64_t first_power = 0;
  for (int k = kSearchFirst; k <= kSearchLast; ++k) {
    if (power[k - kSearchFirst] > first_power) {
      first_power = power[k - kSearchFirst];
      first = k;
    }
  }
  int second = 0;
  int64_t second_power = 0;
  for (int k = kSearchFirst; k <= kSearchLast; ++k) {
    if (k != first && power[k - kSearchFirst] > second_power) {
      second_power = power[k - kSearchFirst];
      second = k;
    }
  }
  if (std::min(first, second) != 88 || std::max(first, second) != 89) {
    consume(d, kSearchHop);
    return;
  }
  load_window(d, d->work);
  kalvo_fft(d->work, d->spectrum, KALVO_FFT_SIZE);
  d->offset =
      kalvo_xcorr(KALVO_FFT_SIZE, d->preamble_spectrum, d->spectrum, d->xcorr_work, d->spectrum);
  if (d->offset > 128) d->offset -= 256;
  if (d->offset < 0) {
    consume(d, KALVO_FFT_SIZE - d->offset);
    set_state(d, decoder_state::skipping_gap);
  } else {
    consume(d, KALVO_SYMBOL - d->offset);
    set_state(d, decoder_state::receiving);
  }
  d->symbol_index = kHeaderAwaited;
  d->symbol_count = 0;
}

// Packs the decoded columns into payload bytes, least significant bit first.
int assemble(kalvo_decoder* d) {
  const int L = d->symbol_count / 2 - 1;
  std::array<uint64_t, 16> columns{};
  for (int j = 0; j < d->symbol_count; ++j) {
    const unsigned w = d->payload[2 * j] | (d->payload[2 * j + 1] << 8);
    for (int b = 0; b < 16; ++b) columns[b] |= uint64_t{(w >> b) & 1u} << j;
  }
  std::memset(d->payload, 0, sizeof d->payload);
  int bit = 0;
  for (int b = 0; b < 16; ++b) {
    const unsigned data = kalvo::detail::decode(columns[b], L);
    for (int i = 0; i < L; ++i, ++bit)
      d->payload[bit / 8] |= static_cast<unsigned char>(((data >> i) & 1u) << (bit % 8));
  }
  unsigned char x = 0;
  for (int i = 0; i < 2 * L; ++i) x ^= d->payload[i];
  set_state(d, decoder_state::searching);
  return x == d->checksum ? 2 * L : 0;
}

// One step of the receiving state; returns a payload length or 0.
int receive_step(kalvo_decoder* d) {
  load_window(d, d->work);
  const unsigned w = kalvo_demodulate(d->work, d->spectrum);
  int length = 0;
  if (d->symbol_index == kHeaderAwaited) {
    const unsigned h0 = w & 15, h1 = (w >> 4) & 15, h2 = (w >> 8) & 15, h3 = (w >> 12) & 15;
    if (h3 == ((h0 + h1 + h2) & 15)) {
      d->symbol_index = 0;
      d->checksum = static_cast<int>(~w & 0xFF);
      d->symbol_count = 2 * (static_cast<int>(h2) + 2);
    } else {
      set_state(d, decoder_state::searching);
    }
  } else {
    d->payload[2 * d->symbol_index] = static_cast<unsigned char>(w & 0xFF);
    d->payload[2 * d->symbol_index + 1] = static_cast<unsigned char>(w >> 8);
    ++d->symbol_index;
    if (d->symbol_index >= d->symbol_count) length = assemble(d);
  }
  consume(d, KALVO_SYMBOL);
  return length;
}

}  // namespace

kalvo_decoder* kalvo_decoder_new() {
  auto* d = new (std::nothrow) kalvo_decoder{};
  if (d == nullptr) return nullptr;
  kalvo_fft_init();
  kalvo_get_preamble(d->work);
  kalvo_fft(d->work, d->preamble_spectrum, KALVO_FFT_SIZE);
  set_state(d, decoder_state::searching);
  d->count = 0;
  d->symbol_index = kHeaderAwaited;
  return d;
}

void kalvo_decoder_free(kalvo_decoder* d) { delete d; }

void kalvo_decoder_flush(kalvo_decoder* d) {
  set_state(d, decoder_state::searching);
  d->count = 0;
}

int kalvo_decoder_decode(kalvo_decoder* d, const pcm_t* in, int n, unsigned char** out) {
  *out = nullptr;
  if (n < 1) return 0;
  int used = 0;
  while (used < n) {
    const int take = std::min(kQueue - d->count, n - used);
    std::memcpy(d->samples + d->count, in + used, sizeof(pcm_t) * static_cast<size_t>(take));
    d->count += take;
    used += take;
    while (d->count >= kStepNeeds) {
      int length = 0;
      switch (state_of(d)) {
        case decoder_state::skipping_gap:
          set_state(d, decoder_state::receiving);
          consume(d, KALVO_GUARD);
          break;
        case decoder_state::receiving:
          length = receive_step(d);
          break;
        case decoder_state::searching:
        default:
          search_step(d);
          break;
      }
      if (length != 0) {
        *out = d->payload;
        return length;
      }
    }
  }
  return 0;
}

void kalvo_get_preamble(int64_t out[256]) {
  struct Tone {
    int bin, first, last;
  };
  constexpr std::array<Tone, 6> tones = {{{88, 0, 255},
                                          {89, 49, 207},
                                          {120, 81, 255},
                                          {122, 113, 255},
                                          {124, 145, 255},
                                          {126, 177, 255}}};
  for (int n = 0; n < KALVO_FFT_SIZE; ++n) {
    int64_t s = 0;
    for (const Tone& t : tones) {
      if (n < t.first || n > t.last) continue;
      const int step = t.bin == 88 ? 4500 * (n / 64) : 0;
      s += cosi(tone_phase(n, t.bin) + step);
    }
    out[n] = s;
  }
}

unsigned kalvo_demodulate(const int64_t window[256], kalvo_complex spectrum[256]) {
  using namespace kalvo::detail::kalvo_wrap;
  kalvo_fft(window, spectrum, KALVO_FFT_SIZE);
  unsigned r = 0;
  unsigned result = 0;
  int i = 0;
  for (int c = 0; c < static_cast<int>(carriers.size()); ++c) {
    if (carriers[c].type != 1) {
      r = 0;
      continue;
    }
    const int ref_bin = (c > 0 && carriers[c - 1].ref == carriers[c].ref)
                            ? kFirstCarrierBin - 1 + c
                            : carriers[c].ref + kFirstCarrierBin;
    const kalvo_complex& x = spectrum[kFirstCarrierBin + c];
    const kalvo_complex& y = spectrum[ref_bin];
    const unsigned d = add(mul(x.re, y.re), mul(x.im, y.im)) < 0 ? 1u : 0u;
    r ^= d;
    if (r != 0) result |= 1u << i;
    ++i;
  }
  return result;
}

void kalvo_modulate(unsigned word, int64_t out[256]) {
  std::fill(out, out + KALVO_FFT_SIZE, 0);
  int bit = 0;
  for (int c = 0; c < static_cast<int>(carriers.size()); ++c) {
    const Carrier& car = carriers[c];
    if (car.type == 2) continue;
    int64_t phase;
    if (car.type == 0) {
      phase = car.phase;
    } else {
      phase = carriers[car.ref].phase + (((word >> bit) & 1u) ? 18000 : 0);
      ++bit;
    }
    const int k = kFirstCarrierBin + c;
    for (int n = 0; n < KALVO_FFT_SIZE; ++n)
      out[n] += 100 * int64_t{cosi(static_cast<int>(phase) + tone_phase(n, k))};
  }
}

void* kalvo_encoder_new() { return nullptr; }
int kalvo_encoder_encode() { return -1; }
int kalvo_encoder_checkout(int x) { return x; }
void kalvo_encoder_free(void*) {}
