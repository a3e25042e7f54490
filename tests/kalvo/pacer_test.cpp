// Capture pacing against simulated clocks: a sound card whose clock runs
// fast or slow is never held back (its buffer would overrun), while a source
// without a clock is held to real time, also after days.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "air.h"
#include "gate_line.h"
#include "kalvo/kalvo.h"
#include "kalvo_internal.h"
#include "test_support.h"

using namespace kalvo::detail;

namespace {

int64_t fake_now = 0;
int64_t fake_clock() { return fake_now; }

constexpr int64_t kNs = 1'000'000'000;

TEST(KalvoPacer, DriftingCardIsNeverHeldBackAndNeverOverruns) {
  // The card fills its 4096-frame buffer at its own rate; each read waits
  // for 1024 frames, then for whatever the pacer asks.
  for (const double ppm : {50.0, -50.0, 1000.0}) {
    fake_now = 0;
    kalvo_pacer pacer(kalvo_pcm_type_paced(SND_PCM_TYPE_HW), fake_clock);
    const double card_rate = KALVO_RATE * (1 + ppm * 1e-6);
    constexpr int kRead = 1024;
    const int64_t reads = int64_t{6} * 3600 * KALVO_RATE / kRead;  // six hours
    int64_t taken = 0;
    int64_t held = 0;
    double fullest = 0;
    for (int64_t i = 0; i < reads; ++i) {
      const auto ready =
          static_cast<int64_t>(std::ceil(static_cast<double>(taken + kRead) / card_rate * kNs));
      fake_now = std::max(fake_now, ready);
      taken += kRead;
      const int64_t wait = pacer.delivered(kRead);
      held += wait;
      fake_now += wait;
      fullest = std::max(
          fullest, static_cast<double>(fake_now) * card_rate / kNs - static_cast<double>(taken));
    }
    EXPECT_EQ(held, 0) << ppm << " ppm";
    EXPECT_LE(fullest, 4096) << ppm << " ppm";
  }
}

TEST(KalvoPacer, FileSourceHeldToRealTimeForDays) {
  fake_now = 0;
  kalvo_pacer pacer(kalvo_pcm_type_paced(SND_PCM_TYPE_FILE), fake_clock);
  // At real time nothing is held.
  int64_t taken = 0;
  for (int i = 0; i < 60 * KALVO_RATE / KALVO_BLOCK_FRAMES; ++i) {
    taken += KALVO_BLOCK_FRAMES;
    fake_now = taken * kNs / KALVO_RATE + 1;
    ASSERT_EQ(pacer.delivered(KALVO_BLOCK_FRAMES), 0) << i;
  }
  // A source that never blocks (a file at its end) runs ahead by the buffer
  // and no further, for three days of one-second reads.
  for (int i = 0; i < 3 * 24 * 3600; ++i) {
    taken += KALVO_RATE;
    fake_now += pacer.delivered(KALVO_RATE);
    const double ahead =
        static_cast<double>(taken) - static_cast<double>(fake_now) * KALVO_RATE / kNs;
    ASSERT_GE(ahead, 4094) << i;  // a frame of rounding either way
    ASSERT_LE(ahead, 4098) << i;
  }
}

TEST(KalvoPacer, SimulatedMicrophoneIsPacedACardIsNot) {
  EXPECT_FALSE(kalvo_pcm_type_paced(SND_PCM_TYPE_HW));
  EXPECT_FALSE(kalvo_pcm_type_paced(SND_PCM_TYPE_DSNOOP));
  ztpu_test::ScratchDir dir;
  ztpu_test::LogCapture log;
  const std::string fifo = ztpu_test::fifo_microphone(dir.path());
  ASSERT_FALSE(fifo.empty());
  ztpu_test::Air air(fifo);
  kalvo_audio* a = kalvo_audio_new(0);
  ASSERT_NE(a, nullptr) << log.dump();
  EXPECT_TRUE(kalvo_pcm_type_paced(snd_pcm_type(a->handle)));
  air.close();
  kalvo_audio_free(a);
}

}  // namespace
