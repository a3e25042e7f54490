// Decoder driver for counting instructions under an emulator or callgrind:
// feeds a deterministic signal to the decoder in receiver-sized blocks and
// calls kalvo_bench_mark() before every decode call and once after the last,
// so that a counter can split the run into single calls and leave out the
// start-up and the signal generation.
//
//   kalvo_arm_driver CASE SECONDS [PEAK]
//
// CASE: silence, noise (uniform in [-PEAK, PEAK] from a fixed-seed
// xorshift, PEAK 3000 by default) or tickets (26-byte tickets built by the
// transmitter at its default peak, each played three times with gaps of 200
// and 1234 zero samples, as the simulated phone does). Prints the marker's
// address, the number of decode calls and the number of blocks decoded.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kalvo/kalvo.h"

extern "C" __attribute__((noinline)) void kalvo_bench_mark() { asm volatile("" ::: "memory"); }

namespace {

std::vector<pcm_t> noise(size_t samples, int peak) {
  uint32_t x = 2463534242u;
  std::vector<pcm_t> s(samples);
  const uint32_t span = 2u * static_cast<uint32_t>(peak) + 1u;
  for (auto& v : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v = static_cast<pcm_t>(static_cast<int>(x % span) - peak);
  }
  return s;
}

std::vector<pcm_t> tickets(size_t samples) {
  std::vector<unsigned char> t(26);
  std::vector<pcm_t> one(static_cast<size_t>(kalvo_tx_frame_samples(26)));
  std::vector<pcm_t> s;
  for (unsigned k = 0; s.size() < samples; ++k) {
    for (unsigned i = 0; i < 26; ++i) t[i] = static_cast<unsigned char>(k * 31 + i);
    kalvo_tx_build(t.data(), 26, KALVO_TX_DEFAULT_PEAK, one.data(), static_cast<int>(one.size()));
    for (int copy = 0; copy < 3; ++copy) {
      s.insert(s.end(), one.begin(), one.end());
      s.insert(s.end(), copy == 0 ? 200 : 1234, 0);
    }
  }
  s.resize(samples);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s silence|noise|tickets SECONDS [PEAK]\n", argv[0]);
    return 2;
  }
  const double seconds = std::atof(argv[2]);
  const int peak = argc > 3 ? std::atoi(argv[3]) : 3000;
  if (seconds <= 0 || seconds > 600 || peak < 0 || peak > 32767) {
    std::fprintf(stderr, "bad SECONDS or PEAK\n");
    return 2;
  }
  const auto samples = static_cast<size_t>(seconds * KALVO_RATE);
  std::vector<pcm_t> audio;
  if (std::strcmp(argv[1], "silence") == 0) {
    audio.assign(samples, 0);
  } else if (std::strcmp(argv[1], "noise") == 0) {
    audio = noise(samples, peak);
  } else if (std::strcmp(argv[1], "tickets") == 0) {
    audio = tickets(samples);
  } else {
    std::fprintf(stderr, "unknown case %s\n", argv[1]);
    return 2;
  }
  kalvo_decoder* d = kalvo_decoder_new();
  if (d == nullptr) return 1;
  int calls = 0;
  int decoded = 0;
  for (size_t i = 0; i + KALVO_BLOCK_FRAMES <= audio.size(); i += KALVO_BLOCK_FRAMES) {
    unsigned char* out = nullptr;
    kalvo_bench_mark();
    decoded += kalvo_decoder_decode(d, audio.data() + i, KALVO_BLOCK_FRAMES, &out) > 0;
    ++calls;
  }
  kalvo_bench_mark();
  kalvo_decoder_free(d);
  std::printf("mark %p calls %d decoded %d samples %zu\n",
              reinterpret_cast<void*>(&kalvo_bench_mark), calls, decoded,
              static_cast<size_t>(calls) * KALVO_BLOCK_FRAMES);
  return 0;
}
