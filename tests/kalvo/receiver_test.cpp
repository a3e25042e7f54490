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
#include <condition_variable>
#include <mutex>
#include <thread>

#include "air.h"
#include "frames.h"
#include "gate_line.h"
#include "kalvo/kalvo.h"
#include "kalvo_internal.h"
#include "test_support.h"

namespace {

using namespace kalvo_test;
using namespace std::chrono_literals;

struct Heard {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Bytes> blocks;

  static void callback(unsigned char* buf, int count, void* arg) {
    auto* h = static_cast<Heard*>(arg);
    std::lock_guard lock(h->mu);
    h->blocks.emplace_back(buf, buf + count);
    h->cv.notify_all();
  }
  // The blocks once there are `n` of them (or after the limit).
  std::vector<Bytes> wait_for(size_t n, std::chrono::milliseconds limit = 3000ms) {
    std::unique_lock lock(mu);
    cv.wait_for(lock, limit, [&] { return blocks.size() >= n; });
    return blocks;
  }
};

Samples with_tail(Samples s) {
  s.insert(s.end(), 2048, 0);
  return s;
}

class KalvoReceiver : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    fifo_ = ztpu_test::fifo_microphone(dir_.path());
    ASSERT_FALSE(fifo_.empty());
  }
  void play(ztpu_test::Air& air, const Samples& s, std::chrono::milliseconds settle = 100ms) {
    air.play(s);
    ASSERT_TRUE(air.drained());
    std::this_thread::sleep_for(settle);
  }
  // One block passes while stopped: the decoder is flushed and aligned.
  void restart(kalvo_receiver* r, ztpu_test::Air& air) {
    kalvo_receiver_stop(r);
    play(air, Samples(KALVO_BLOCK_FRAMES, 0));
    kalvo_receiver_start(r);
    std::this_thread::sleep_for(20ms);
  }

  ztpu_test::ScratchDir dir_;
  ztpu_test::LogCapture log_;
  std::string fifo_;
  Heard heard_;
};

TEST_F(KalvoReceiver, DeliversOnceStopStartFlushesAndEndOfStreamDoesNotSpin) {
  EXPECT_FALSE(kalvo_pcm_type_paced(SND_PCM_TYPE_HW) || kalvo_pcm_type_paced(SND_PCM_TYPE_DSNOOP));
  ztpu_test::Air air(fifo_);
  kalvo_receiver* r = kalvo_receiver_new(&Heard::callback, &heard_);
  ASSERT_NE(r, nullptr) << log_.dump();
  EXPECT_EQ(r->active.load() * 10 + r->running.load(), 1);
  EXPECT_TRUE(kalvo_pcm_type_paced(snd_pcm_type(r->audio->handle)));  // the simulated microphone
  int policy = -1;
  sched_param param{};
  ASSERT_EQ(pthread_getschedparam(r->thread, &policy, &param), 0);
  const bool refused = log_.contains("real-time priority refused");
  EXPECT_EQ(policy, refused ? SCHED_OTHER : SCHED_FIFO);
  EXPECT_EQ(param.sched_priority, refused ? 0 : 50);
  const Bytes t = ticket(9), two = {0x12, 0x34};
  play(air, played(t), 300ms);  // inactive: read and discarded
  restart(r, air);
  air.play(with_tail(frame(two)));  // any length, with its count
  EXPECT_EQ(heard_.wait_for(1), std::vector<Bytes>{two}) << log_.dump();
  // A frame split mid-frame on a block edge: a stop and start between the
  // halves flushes it, without the pause it arrives, once.
  const Samples f = frame(t);
  const auto half = f.begin() + 37 * KALVO_BLOCK_FRAMES;
  for (const bool pause : {true, false}) {
    restart(r, air);
    play(air, Samples(f.begin(), half));
    if (pause) restart(r, air);
    play(air, with_tail(Samples(half, f.end())), 300ms);
  }
  EXPECT_EQ(heard_.wait_for(3, 0ms), (std::vector<Bytes>{two, t}));
  air.close();
  // At the end of the stream every read returns at once; the thread must be
  // held to real time rather than spin.
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
  EXPECT_FALSE(log_.contains("ERROR"));
}

TEST_F(KalvoReceiver, RefusedRealtimeFallsBackToNormalThreadWithWarning) {
  // Takes real-time scheduling away from this process and the threads it creates.
  const rlimit none{0, 0};
  __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (setrlimit(RLIMIT_RTPRIO, &none) != 0 || syscall(SYS_capget, &hdr, data) != 0)
    GTEST_SKIP() << "cannot drop real-time rights here";
  data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
  data[CAP_SYS_NICE / 32].permitted &= ~(1u << (CAP_SYS_NICE % 32));
  if (syscall(SYS_capset, &hdr, data) != 0) GTEST_SKIP() << "cannot drop real-time rights here";
  ztpu_test::Air air(fifo_);
  kalvo_receiver* r = kalvo_receiver_new(&Heard::callback, &heard_);
  ASSERT_NE(r, nullptr) << log_.dump();
  EXPECT_TRUE(log_.contains("real-time priority refused", LOG_WARNING)) << log_.dump();
  int policy = -1;
  sched_param param{};
  ASSERT_EQ(pthread_getschedparam(r->thread, &policy, &param), 0);
  EXPECT_EQ(policy, SCHED_OTHER);
  std::this_thread::sleep_for(50ms);  // it still hears
  kalvo_receiver_start(r);
  std::this_thread::sleep_for(20ms);
  air.play(with_tail(frame(ticket(6))));
  EXPECT_EQ(heard_.wait_for(1), std::vector<Bytes>{ticket(6)}) << log_.dump();
  air.close();
  kalvo_receiver_free(r);
}

TEST_F(KalvoReceiver, MissingDeviceIsReportedAndGivesNoReceiver) {
  dir_.write(".asoundrc", ztpu_test::asoundrc(dir_.path() + "/no/such/fifo"));
  EXPECT_EQ(kalvo_receiver_new(&Heard::callback, &heard_), nullptr);
  EXPECT_TRUE(log_.contains("[kalvo_audio_new():", LOG_ERR)) << log_.dump();
  EXPECT_TRUE(log_.contains("] ERROR: ", LOG_ERR));
  EXPECT_EQ(kalvo_audio_new(0), nullptr);
}

int64_t fake_now = 0;
int64_t fake_clock() { return fake_now; }
constexpr int64_t kNs = 1'000'000'000;

// A sound card whose clock runs fast or slow is never held back (its buffer
// would overrun): it fills its 4096-frame buffer at its own rate; each read
// waits for 1024 frames, then for whatever the pacer asks. Six hours each.
TEST(KalvoPacer, DriftingCardIsNeverHeldBackAndNeverOverruns) {
  for (const double ppm : {50.0, -50.0, 1000.0}) {
    fake_now = 0;
    kalvo_pacer pacer(kalvo_pcm_type_paced(SND_PCM_TYPE_HW), fake_clock);
    const double rate = KALVO_RATE * (1 + ppm * 1e-6);
    int64_t taken = 0, held = 0;
    double fullest = 0;
    for (int64_t i = 0; i < int64_t{6} * 3600 * KALVO_RATE / 1024; ++i) {
      taken += 1024;
      fake_now = std::max(fake_now, static_cast<int64_t>(std::ceil(taken / rate * kNs)));
      const int64_t wait = pacer.delivered(1024);
      held += wait;
      fake_now += wait;
      fullest = std::max(fullest, static_cast<double>(fake_now) * rate / kNs - taken);
    }
    EXPECT_EQ(held, 0) << ppm << " ppm";
    EXPECT_LE(fullest, 4096) << ppm << " ppm";
  }
}

// A source without a clock is held to real time, also after days.
TEST(KalvoPacer, FileSourceHeldToRealTimeForDays) {
  fake_now = 0;
  kalvo_pacer pacer(kalvo_pcm_type_paced(SND_PCM_TYPE_FILE), fake_clock);
  int64_t taken = 0;
  for (int i = 0; i < 60 * KALVO_RATE / KALVO_BLOCK_FRAMES; ++i) {  // at real time: not held
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

}  // namespace
