// Trellis decode time of one column: typical (random and clean columns) and
// worst (the most tie-heavy columns a search could find), in nanoseconds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "kalvo/kalvo.h"
#include "kalvo_internal.h"

using namespace kalvo::detail;

namespace {

constexpr int L = 16;  // the longest column: 32-byte payload
constexpr uint64_t kMask = (uint64_t{1} << (2 * L + 2)) - 1;

std::vector<uint64_t> random_columns(size_t n) {
  std::mt19937_64 rng(17);
  std::vector<uint64_t> c(n);
  for (auto& v : c) v = rng() & kMask;
  return c;
}

// Mean time of one column over reps decodes, the best of five tries: the
// work is deterministic, so the fastest try is the one no other process or
// interrupt disturbed.
double column_ns(uint64_t col, int reps) {
  double best = 1e18;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < reps; ++i) {
      benchmark::DoNotOptimize(col);
      benchmark::DoNotOptimize(decode(col, L));
    }
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / reps);
  }
  return best;
}

// Crafted columns: hill-climb bit flips towards the slowest decode.
std::vector<uint64_t> crafted_columns() {
  std::mt19937_64 rng(23);
  std::vector<uint64_t> out = {0, kMask, 0x5555555555555555 & kMask, 0xAAAAAAAAAAAAAAAA & kMask};
  for (int start = 0; start < 8; ++start) {
    uint64_t col = rng() & kMask;
    double worst = column_ns(col, 200);
    for (int pass = 0; pass < 2; ++pass)
      for (int bit = 0; bit < 2 * L + 2; ++bit) {
        const uint64_t c = col ^ (uint64_t{1} << bit);
        const double t = column_ns(c, 200);
        if (t > worst) {
          worst = t;
          col = c;
        }
      }
    out.push_back(col);
  }
  return out;
}

void BM_TrellisRandomColumn(benchmark::State& state) {
  const auto cols = random_columns(4096);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(decode(cols[i], L));
    i = (i + 1) % cols.size();
  }
}

void BM_TrellisCleanColumn(benchmark::State& state) {
  const uint64_t col = kalvo_tx_encode_column(0xBEEF, L);
  for (auto _ : state) {
    uint64_t c = col;
    benchmark::DoNotOptimize(c);
    benchmark::DoNotOptimize(decode(c, L));
  }
}

// The slowest single column among random and crafted ones, each timed as the
// mean of many repetitions; reported as counters in nanoseconds.
void BM_TrellisWorstColumn(benchmark::State& state) {
  auto cols = random_columns(20000);
  const auto crafted = crafted_columns();
  cols.insert(cols.end(), crafted.begin(), crafted.end());
  double worst = 0, worst_crafted = 0;
  for (auto _ : state) {
    worst = 0;
    worst_crafted = 0;
    for (size_t i = 0; i < cols.size(); ++i) {
      const double t = column_ns(cols[i], 10);
      worst = std::max(worst, t);
      if (i >= cols.size() - crafted.size()) worst_crafted = std::max(worst_crafted, t);
    }
  }
  state.counters["worst_ns"] = worst;
  state.counters["worst_crafted_ns"] = worst_crafted;
}

BENCHMARK(BM_TrellisRandomColumn);
BENCHMARK(BM_TrellisCleanColumn);
BENCHMARK(BM_TrellisWorstColumn)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
