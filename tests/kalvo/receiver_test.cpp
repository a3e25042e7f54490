// The receiver through real ALSA: "hw:0,0" reads a FIFO a test thread writes.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <ctime>
#include <mutex>
#include <thread>

#include "air.h"
#include "frames.h"
#include "gate_line.h"
#include "kalvo_internal.h"
#include "test_support.h"

using namespace kalvo::detail;

namespace {

using namespace kalvo_test;
using namespace std::chrono_literals;

std::mutex mu;
std::vector<Bytes> heard;
void callback(unsigned char* buf, int count, void*) {
  std::lock_guard lock(mu);
  heard.emplace_back(buf, buf + count);
}
std::vector<Bytes> wait_for(size_t n) {
  for (int i = 0; i < 300 && (std::lock_guard(mu), heard.size()) < n; ++i)
    std::this_thread::sleep_for(10ms);
  std::lock_guard lock(mu);
  return heard;
}

TEST(KalvoReceiver, DeliversOnceStopStartFlushesAndEndOfStreamDoesNotSpin) {
  signal(SIGPIPE, SIG_IGN);
  EXPECT_FALSE(kalvo_pcm_type_paced(SND_PCM_TYPE_HW) || kalvo_pcm_type_paced(SND_PCM_TYPE_DSNOOP));
  ztpu_test::ScratchDir dir;
  ztpu_test::LogCapture log;
  ztpu_test::Air air{ztpu_test::fifo_microphone(dir.path())};
  const auto play = [&](const Samples& s, std::chrono::milliseconds settle) {
    air.play(s);
    ASSERT_TRUE(air.drained());
    std::this_thread::sleep_for(settle);
  };
  kalvo_receiver* r = kalvo_receiver_new(callback, nullptr);
  ASSERT_NE(r, nullptr) << log.dump();
  EXPECT_EQ(r->active.load() * 10 + r->running.load(), 1);
  // One block passes while stopped: the decoder is flushed and aligned.
  const auto restart = [&] {
    kalvo_receiver_stop(r);
    play(Samples(KALVO_BLOCK_FRAMES, 0), 100ms);
    kalvo_receiver_start(r);
    std::this_thread::sleep_for(20ms);
  };
  const Bytes t = ticket(9);
  play(played(t), 300ms);  // inactive: read and discarded
  // A frame split on a block edge: a stop and start between the halves
  // flushes it; without the pause it arrives, once.
  const Samples f = frame(t);
  const auto half = f.begin() + 37 * KALVO_BLOCK_FRAMES;
  for (const bool pause : {true, false}) {
    restart();
    play(Samples(f.begin(), half), 100ms);
    if (pause) restart();
    Samples rest(half, f.end());
    rest.insert(rest.end(), 2048, 0);
    play(rest, 300ms);
  }
  EXPECT_EQ(wait_for(1), std::vector<Bytes>{t});
  kalvo_receiver_stop(r);  // stopped again: heard and dropped
  play(played(ticket(10)), 300ms);
  EXPECT_EQ(wait_for(1), std::vector<Bytes>{t});
  air.close();
  // At the end of the stream reads return at once: held to real time, no spin.
  const std::clock_t cpu = std::clock();
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 4);
  kalvo_receiver_free(r);
  kalvo_receiver_free(nullptr);
}

TEST(KalvoReceiver, MissingDeviceGivesNoReceiver) {
  ztpu_test::ScratchDir dir;
  dir.write(".asoundrc", ztpu_test::asoundrc(dir.path() + "/no/such/fifo"));
  EXPECT_EQ(kalvo_receiver_new(callback, nullptr), nullptr);
  EXPECT_EQ(kalvo_audio_new(0), nullptr);
}

// Not held while behind; when the source never blocks, ahead by the buffer
// and no further, across hourly rebasing for three days of one-second reads.
TEST(KalvoPacer, FileSourceHeldToRealTimeForDays) {
  static int64_t now = 0;
  constexpr int64_t kNs = 1'000'000'000;
  kalvo_pacer pacer(kalvo_pcm_type_paced(SND_PCM_TYPE_FILE), [] { return now; });
  int64_t taken = 0;
  for (int i = 0; i < 60 * KALVO_RATE / KALVO_BLOCK_FRAMES; ++i) {
    taken += KALVO_BLOCK_FRAMES;
    now = taken * kNs / KALVO_RATE + 1;
    ASSERT_EQ(pacer.delivered(KALVO_BLOCK_FRAMES), 0) << i;
  }
  for (int i = 0; i < 3 * 24 * 3600; ++i) {
    taken += KALVO_RATE;
    now += pacer.delivered(KALVO_RATE);
    const double ahead = static_cast<double>(taken) - static_cast<double>(now) * KALVO_RATE / kNs;
    ASSERT_NEAR(ahead, 4096, 2) << i;  // a frame of rounding either way
  }
}

}  // namespace
