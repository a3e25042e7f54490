// The receiver end to end through real ALSA: the device "hw:0,0" is
// redefined in $HOME/.asoundrc as a file plugin reading a FIFO that a test
// thread writes, so the capture path, the thread and the decoder all run.
//
// The plugin fills each 128-frame read completely from the FIFO, so the
// receiver sees exactly the stream written; a start given while nothing is
// pending aligns the decoder with the next sample written.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "air.h"
#include "frames.h"
#include "gate_line.h"
#include "kalvo/kalvo.h"
#include "test_support.h"

namespace {

using namespace kalvo_test;
using namespace std::chrono_literals;

using ztpu_test::Air;

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
  bool wait_for(size_t n, std::chrono::milliseconds limit = 3000ms) {
    std::unique_lock lock(mu);
    return cv.wait_for(lock, limit, [&] { return blocks.size() >= n; });
  }
  std::vector<Bytes> taken() {
    std::lock_guard lock(mu);
    return blocks;
  }
};

class KalvoReceiver : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    fifo_ = ztpu_test::fifo_microphone(dir_.path());
    ASSERT_FALSE(fifo_.empty());
  }

  // Stops, lets one block pass while inactive, starts again: the decoder is
  // flushed and aligned with the next sample written.
  void restart(kalvo_receiver* r, Air& air) {
    kalvo_receiver_stop(r);
    air.play(Samples(KALVO_BLOCK_FRAMES, 0));
    ASSERT_TRUE(air.drained());
    std::this_thread::sleep_for(100ms);
    kalvo_receiver_start(r);
    std::this_thread::sleep_for(20ms);
  }

  ztpu_test::ScratchDir dir_;
  ztpu_test::LogCapture log_;
  std::string fifo_;
  Heard heard_;
};

TEST_F(KalvoReceiver, FrameReachesCallbackOnceAndStopStartFlushes) {
  Air air(fifo_);
  kalvo_receiver* r = kalvo_receiver_new(&Heard::callback, &heard_);
  ASSERT_NE(r, nullptr) << log_.dump();
  EXPECT_EQ(r->active.load(), 0);
  EXPECT_EQ(r->running.load(), 1);

  // Inactive: a frame is read and discarded.
  const Bytes t = ticket(9);
  air.play(played(t));
  ASSERT_TRUE(air.drained());
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(heard_.taken().empty());

  restart(r, air);
  Samples s = frame(t);
  s.insert(s.end(), 2048, 0);
  air.play(s);
  ASSERT_TRUE(heard_.wait_for(1)) << log_.dump();
  std::this_thread::sleep_for(300ms);
  auto got = heard_.taken();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], t);

  // Any length the decoder produces is delivered with its count.
  restart(r, air);
  const Bytes two = {0x12, 0x34};
  s = frame(two);
  s.insert(s.end(), 2048, 0);
  air.play(s);
  ASSERT_TRUE(heard_.wait_for(2));
  EXPECT_EQ(heard_.taken().back(), two);

  // The same frame split by a stop and start: the flush loses it.
  const Samples f = frame(t);
  const size_t half = 37 * KALVO_BLOCK_FRAMES;  // mid-frame, on a block edge
  restart(r, air);
  air.play(Samples(f.begin(), f.begin() + static_cast<long>(half)));
  ASSERT_TRUE(air.drained());
  std::this_thread::sleep_for(100ms);
  restart(r, air);
  Samples rest(f.begin() + static_cast<long>(half), f.end());
  rest.insert(rest.end(), 2048, 0);
  air.play(rest);
  ASSERT_TRUE(air.drained());
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(heard_.taken().size(), 2u);

  // Split the same way without the pause it arrives.
  restart(r, air);
  air.play(Samples(f.begin(), f.begin() + static_cast<long>(half)));
  ASSERT_TRUE(air.drained());
  std::this_thread::sleep_for(100ms);
  air.play(rest);
  ASSERT_TRUE(heard_.wait_for(3));
  EXPECT_EQ(heard_.taken().back(), t);

  air.close();
  const auto before = std::chrono::steady_clock::now();
  kalvo_receiver_free(r);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
}

TEST_F(KalvoReceiver, FreeingJoinsThreadAndEndOfStreamDoesNotSpin) {
  Air air(fifo_);
  kalvo_receiver* r = kalvo_receiver_new(nullptr, nullptr);
  ASSERT_NE(r, nullptr) << log_.dump();
  kalvo_receiver_start(r);
  air.play(played(ticket(1)));  // decoded and discarded: no callback
  ASSERT_TRUE(air.drained());
  air.close();
  // At the end of the stream every read returns at once; the thread must be
  // held to real time rather than spin.
  timespec cpu0{}, cpu1{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
  std::this_thread::sleep_for(500ms);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
  const double used = static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) +
                      static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec) / 1e9;
  EXPECT_LT(used, 0.25);
  kalvo_receiver_free(r);
  kalvo_receiver_free(nullptr);
  EXPECT_FALSE(log_.contains("ERROR"));
}

// Takes real-time scheduling away from this process (for the thread that
// asks, and the threads it creates).
bool refuse_realtime() {
  const rlimit none{0, 0};
  if (setrlimit(RLIMIT_RTPRIO, &none) != 0) return false;
  __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &hdr, data) != 0) return false;
  data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
  data[CAP_SYS_NICE / 32].permitted &= ~(1u << (CAP_SYS_NICE % 32));
  return syscall(SYS_capset, &hdr, data) == 0;
}

TEST_F(KalvoReceiver, RefusedRealtimeFallsBackToNormalThreadWithWarning) {
  if (!refuse_realtime()) GTEST_SKIP() << "cannot drop real-time rights here";
  Air air(fifo_);
  kalvo_receiver* r = kalvo_receiver_new(&Heard::callback, &heard_);
  ASSERT_NE(r, nullptr) << log_.dump();
  EXPECT_TRUE(log_.contains("real-time priority refused", LOG_WARNING)) << log_.dump();
  int policy = -1;
  sched_param param{};
  ASSERT_EQ(pthread_getschedparam(r->thread, &policy, &param), 0);
  EXPECT_EQ(policy, SCHED_OTHER);
  // It still hears.
  std::this_thread::sleep_for(50ms);
  kalvo_receiver_start(r);
  std::this_thread::sleep_for(20ms);
  Samples s = frame(ticket(6));
  s.insert(s.end(), 2048, 0);
  air.play(s);
  ASSERT_TRUE(heard_.wait_for(1)) << log_.dump();
  EXPECT_EQ(heard_.taken()[0], ticket(6));
  air.close();
  kalvo_receiver_free(r);
}

TEST_F(KalvoReceiver, GrantedRealtimeRunsAtFifo50) {
  Air air(fifo_);
  kalvo_receiver* r = kalvo_receiver_new(nullptr, nullptr);
  ASSERT_NE(r, nullptr) << log_.dump();
  int policy = -1;
  sched_param param{};
  ASSERT_EQ(pthread_getschedparam(r->thread, &policy, &param), 0);
  if (log_.contains("real-time priority refused")) {
    EXPECT_EQ(policy, SCHED_OTHER);
  } else {
    EXPECT_EQ(policy, SCHED_FIFO);
    EXPECT_EQ(param.sched_priority, 50);
  }
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

}  // namespace
