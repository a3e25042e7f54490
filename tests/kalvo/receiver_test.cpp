// The receiver through real ALSA: "hw:0,0" reads a FIFO that a test thread
// writes in whole blocks (a start while nothing is pending aligns the decoder
// with the next sample written); capture pacing against simulated clocks.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <syslog.h>

#include <cmath>
#include <mutex>
#include <thread>

#include "air.h"
#include "frames.h"
#include "gate_line.h"
#include "kalvo_internal.h"
#include "test_support.h"

namespace {

using namespace kalvo_test;
using namespace std::chrono_literals;

std::mutex mu;
std::vector<Bytes> heard;  // every block delivered
void callback(unsigned char* buf, int count, void*) {
  std::lock_guard lock(mu);
  heard.emplace_back(buf, buf + count);
}
// The blocks once there are `n` of them, or after three seconds.
std::vector<Bytes> wait_for(size_t n) {
  for (int i = 0; i < 300 && (std::lock_guard(mu), heard.size()) < n; ++i)
    std::this_thread::sleep_for(10ms);
  std::lock_guard lock(mu);
  return heard;
}

struct Board {
  ztpu_test::ScratchDir dir;
  ztpu_test::LogCapture log;
  ztpu_test::Air air{ztpu_test::fifo_microphone(dir.path())};
  // Plays and lets the receiver read it all.
  void play(const Samples& s, std::chrono::milliseconds settle = 100ms) {
    air.play(s);
    ASSERT_TRUE(air.drained());
    std::this_thread::sleep_for(settle);
  }
  // One block passes while stopped: the decoder is flushed and aligned.
  void restart(kalvo_receiver* r) {
    kalvo_receiver_stop(r);
    play(Samples(KALVO_BLOCK_FRAMES, 0));
    kalvo_receiver_start(r);
    std::this_thread::sleep_for(20ms);
  }
};

Samples with_tail(Samples s) {
  s.insert(s.end(), 2048, 0);
  return s;
}

TEST(KalvoReceiver, DeliversOnceStopStartFlushesAndEndOfStreamDoesNotSpin) {
  signal(SIGPIPE, SIG_IGN);
  EXPECT_FALSE(kalvo_pcm_type_paced(SND_PCM_TYPE_HW) || kalvo_pcm_type_paced(SND_PCM_TYPE_DSNOOP));
  Board b;
  kalvo_receiver* r = kalvo_receiver_new(callback, nullptr);
  ASSERT_NE(r, nullptr) << b.log.dump();
  EXPECT_EQ(r->active.load() * 10 + r->running.load(), 1);
  EXPECT_TRUE(kalvo_pcm_type_paced(snd_pcm_type(r->audio->handle)));  // the simulated microphone
  int policy = -1;
  sched_param param{};
  ASSERT_EQ(pthread_getschedparam(r->thread, &policy, &param), 0);
  const bool refused = b.log.contains("real-time priority refused");
  EXPECT_EQ(policy, refused ? SCHED_OTHER : SCHED_FIFO);
  EXPECT_EQ(param.sched_priority, refused ? 0 : 50);
  const Bytes t = ticket(9), two = {0x12, 0x34};
  b.play(played(t), 300ms);  // inactive: read and discarded
  b.restart(r);
  b.air.play(with_tail(frame(two)));  // any length, with its count
  EXPECT_EQ(wait_for(1), std::vector<Bytes>{two}) << b.log.dump();
  // A frame split mid-frame on a block edge: a stop and start between the
  // halves flushes it, without the pause it arrives, once.
  const Samples f = frame(t);
  const auto half = f.begin() + 37 * KALVO_BLOCK_FRAMES;
  for (const bool pause : {true, false}) {
    b.restart(r);
    b.play(Samples(f.begin(), half));
    if (pause) b.restart(r);
    b.play(with_tail(Samples(half, f.end())), 300ms);
  }
  EXPECT_EQ(wait_for(0), (std::vector<Bytes>{two, t}));
  b.air.close();
  // At the end of the stream reads return at once: held to real time, no spin.
  timespec cpu0{}, cpu1{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
  std::this_thread::sleep_for(500ms);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
  EXPECT_LT((cpu1.tv_sec - cpu0.tv_sec) * 1e9 + static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec),
            0.25e9);
  const auto before = std::chrono::steady_clock::now();
  kalvo_receiver_free(r);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  kalvo_receiver_free(nullptr);
  EXPECT_FALSE(b.log.contains("ERROR"));
}

// Real-time scheduling taken away from this process and the threads it creates.
TEST(KalvoReceiver, RefusedRealtimeFallsBackToNormalThreadWithWarning) {
  const rlimit none{0, 0};
  __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  ASSERT_EQ(setrlimit(RLIMIT_RTPRIO, &none) + syscall(SYS_capget, &hdr, data), 0);
  data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
  data[CAP_SYS_NICE / 32].permitted &= ~(1u << (CAP_SYS_NICE % 32));
  if (syscall(SYS_capset, &hdr, data) != 0) GTEST_SKIP() << "cannot drop real-time rights here";
  Board b;
  kalvo_receiver* r = kalvo_receiver_new(nullptr, nullptr);  // decodes and discards
  ASSERT_NE(r, nullptr) << b.log.dump();
  EXPECT_TRUE(b.log.contains("real-time priority refused", LOG_WARNING)) << b.log.dump();
  int policy = -1;
  sched_param param{};
  EXPECT_EQ(pthread_getschedparam(r->thread, &policy, &param) * 10 + policy, SCHED_OTHER);
  kalvo_receiver_start(r);
  b.play(played(ticket(6)));
  b.air.close();
  kalvo_receiver_free(r);
}

TEST(KalvoReceiver, MissingDeviceIsReportedAndGivesNoReceiver) {
  ztpu_test::ScratchDir dir;
  ztpu_test::LogCapture log;
  dir.write(".asoundrc", ztpu_test::asoundrc(dir.path() + "/no/such/fifo"));
  EXPECT_EQ(kalvo_receiver_new(callback, nullptr), nullptr);
  EXPECT_TRUE(log.contains("[kalvo_audio_new():", LOG_ERR)) << log.dump();
  EXPECT_TRUE(log.contains("] ERROR: ", LOG_ERR));
  EXPECT_EQ(kalvo_audio_new(0), nullptr);
}

int64_t fake_now = 0;
int64_t fake_clock() { return fake_now; }
constexpr int64_t kNs = 1'000'000'000;

// A card whose clock runs fast or slow is never held back (its 4096-frame
// buffer would overrun); each read waits for 1024 frames, then as asked.
TEST(KalvoPacer, DriftingCardIsNeverHeldBackAndNeverOverruns) {
  for (const double ppm : {50.0, -50.0, 1000.0}) {
    fake_now = 0;
    kalvo_pacer pacer(kalvo_pcm_type_paced(SND_PCM_TYPE_HW), fake_clock);
    const double rate = KALVO_RATE * (1 + ppm * 1e-6);
    int64_t taken = 0, held = 0;
    double fullest = 0;
    for (int64_t i = 0; i < int64_t{6} * 3600 * KALVO_RATE / 1024; ++i) {  // six hours
      taken += 1024;
      fake_now = std::max(fake_now,
                          static_cast<int64_t>(std::ceil(static_cast<double>(taken) / rate * kNs)));
      const int64_t wait = pacer.delivered(1024);
      held += wait;
      fake_now += wait;
      fullest = std::max(fullest,
                         static_cast<double>(fake_now) * rate / kNs - static_cast<double>(taken));
    }
    EXPECT_EQ(held, 0) << ppm << " ppm";
    EXPECT_LE(fullest, 4096) << ppm << " ppm";
  }
}

// A source without a clock is held to real time: not held while at it, and
// when it never blocks (a file at its end) ahead by the buffer and no
// further, for three days of one-second reads.
TEST(KalvoPacer, FileSourceHeldToRealTimeForDays) {
  fake_now = 0;
  kalvo_pacer pacer(kalvo_pcm_type_paced(SND_PCM_TYPE_FILE), fake_clock);
  int64_t taken = 0;
  for (int i = 0; i < 60 * KALVO_RATE / KALVO_BLOCK_FRAMES; ++i) {
    taken += KALVO_BLOCK_FRAMES;
    fake_now = taken * kNs / KALVO_RATE + 1;
    ASSERT_EQ(pacer.delivered(KALVO_BLOCK_FRAMES), 0) << i;
  }
  for (int i = 0; i < 3 * 24 * 3600; ++i) {
    taken += KALVO_RATE;
    fake_now += pacer.delivered(KALVO_RATE);
    const double ahead =
        static_cast<double>(taken) - static_cast<double>(fake_now) * KALVO_RATE / kNs;
    ASSERT_GE(ahead, 4094) << i;  // a frame of rounding either way
    ASSERT_LE(ahead, 4098) << i;
  }
}

}  // namespace
