// Decoder cost per second of audio, reported as a real-time factor: seconds
// of audio decoded per second of CPU (counter "rtf"). The board is far slower
// than a development machine; the decoder must stay at a few percent of its
// CPU.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kalvo/kalvo.h"

namespace {

constexpr int kSeconds = 10;

std::vector<pcm_t> noise(int samples, double sigma, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> n(0.0, sigma);
  std::vector<pcm_t> s(static_cast<size_t>(samples));
  for (auto& v : s) {
    const double x = n(rng);
    v = static_cast<pcm_t>(x > 32767 ? 32767 : x < -32768 ? -32768 : x);
  }
  return s;
}

// Back-to-back tickets, each played three times as a phone does.
std::vector<pcm_t> frames(int samples) {
  std::vector<unsigned char> t(26);
  std::vector<pcm_t> one(static_cast<size_t>(kalvo_tx_frame_samples(26)));
  std::vector<pcm_t> s;
  for (uint8_t k = 0; static_cast<int>(s.size()) < samples; ++k) {
    for (int i = 0; i < 26; ++i) t[i] = static_cast<unsigned char>(k * 31 + i);
    kalvo_tx_build(t.data(), 26, KALVO_TX_DEFAULT_PEAK, one.data(), static_cast<int>(one.size()));
    for (int copy = 0; copy < 3; ++copy) {
      s.insert(s.end(), one.begin(), one.end());
      s.insert(s.end(), copy == 0 ? 200 : 1234, 0);
    }
  }
  s.resize(static_cast<size_t>(samples));
  return s;
}

void run(benchmark::State& state, const std::vector<pcm_t>& audio) {
  kalvo_decoder* d = kalvo_decoder_new();
  int64_t decoded = 0;
  for (auto _ : state) {
    kalvo_decoder_flush(d);
    for (size_t i = 0; i + KALVO_BLOCK_FRAMES <= audio.size(); i += KALVO_BLOCK_FRAMES) {
      unsigned char* out = nullptr;
      decoded += kalvo_decoder_decode(d, audio.data() + i, KALVO_BLOCK_FRAMES, &out) > 0;
      benchmark::DoNotOptimize(out);
    }
  }
  kalvo_decoder_free(d);
  const double audio_seconds = static_cast<double>(audio.size()) / KALVO_RATE;
  // Audio seconds per CPU second: the counter is divided by the time taken.
  state.counters["rtf"] = benchmark::Counter(
      audio_seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["frames"] = static_cast<double>(decoded) / static_cast<double>(state.iterations());
}

void BM_DecoderSearchingSilence(benchmark::State& state) {
  run(state, std::vector<pcm_t>(static_cast<size_t>(kSeconds * KALVO_RATE), 0));
}
void BM_DecoderSearchingNoise(benchmark::State& state) {
  run(state, noise(kSeconds * KALVO_RATE, 3000, 1));
}
void BM_DecoderReceivingFrames(benchmark::State& state) {
  run(state, frames(kSeconds * KALVO_RATE));
}

BENCHMARK(BM_DecoderSearchingSilence)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_DecoderSearchingNoise)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_DecoderReceivingFrames)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace
