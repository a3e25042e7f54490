// The simulators alone, against what the daemon expects of the outside
// parties. No daemon runs here.
#include "station.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>

#include "gate_line.h"
#include "run.h"
#include "test_support.h"
#include "ztpu/serial.h"

namespace {

namespace st = ztpu_station;
using st::Bytes;
using namespace std::chrono_literals;

// The test plays the daemon on the slave side.
struct PtyPair : ztpu_test::Pty {
  // One frame as the daemon receives it, unescaped (raw if it does not decode).
  Bytes command(int ms = 2000) const {
    const Bytes raw = ztpu_test::read_frame(slave(), ms);
    Bytes rec;
    return ztpu_test::frame_record(raw, &rec) ? rec : raw;
  }
  void answer(Bytes rec) const {
    rec.back() = comm_xor_calc(rec.data(), static_cast<int>(rec.size()) - 1);
    std::array<uint8_t, 128> f{};
    int fl = 0;
    ASSERT_EQ(comm_protocol_gen(rec.data(), static_cast<int>(rec.size()), f.data(),
                                static_cast<int>(f.size()), &fl),
              0);
    ASSERT_EQ(write(slave(), f.data(), static_cast<size_t>(fl)), fl);
  }
};

TEST(GateController, PollAndPayRecordsAndAnswers) {
  PtyPair pty;
  st::Gate gate(pty.master());
  std::thread daemon([&] {
    EXPECT_EQ(pty.command(), (Bytes{0x02, 0x00, 0x31, 0x53, 0x60}));
    // A user id holding 0x03 and 0x10 travels escaped.
    pty.answer(
        {18, 0, 0x31, 0x53, 0, 0, 0xAA, 0x03, 0x10, 0x02, 0, 0, 0, 0, 0, 3, 101, 0, 0, 0, 0});
    const Bytes enter = pty.command();
    ASSERT_EQ(enter.size(), 18u);
    EXPECT_EQ(enter[0], 15);
    EXPECT_EQ(enter[2], 0x32);
    EXPECT_EQ(enter[5], 0x20);                      // century, BCD
    EXPECT_EQ(enter[12] | enter[13] << 8, 0x1234);  // station, little-endian
    pty.answer(
        {17, 0, 0x32, 0x53, 0, 0, 0x03, 0x10, 0x02, 0, 0, 0, 0, 0, 0x20, 0x20, 0x20, 0, 0x13, 0});
    const Bytes exit = pty.command();
    ASSERT_EQ(exit.size(), 22u);
    EXPECT_EQ(exit[2], 0x33);
    EXPECT_EQ(exit[16], 5);  // fare
    pty.answer({17, 0, 0x33, 0x53, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x13, 0});
  });
  const st::Gate::Poll poll = gate.poll();
  EXPECT_TRUE(poll.found);
  EXPECT_EQ(poll.user_id, 0x021003u);
  EXPECT_EQ(poll.ent_station, 101u);
  EXPECT_GE(poll.ms, 0.0);
  const st::Gate::Pay in = gate.enter(0x1234, std::time(nullptr));
  EXPECT_TRUE(in.served);
  EXPECT_EQ(in.user_id, 0x021003u);
  EXPECT_EQ(in.balance, 0x202020);
  const st::Gate::Pay out = gate.exit(0x1234, 5, std::time(nullptr));
  EXPECT_TRUE(out.answered);
  EXPECT_FALSE(out.served);
  daemon.join();
  EXPECT_EQ(gate.latencies().size(), 3u);
}

// A scratch FIFO the air plays into, read without blocking.
struct AirTest : ::testing::Test {
  void SetUp() override { ASSERT_EQ(mkfifo("a.fifo", 0600), 0); }
  void add(st::Air& air) {
    std::string why;
    ASSERT_EQ(air.add_board(dir.path() + "/a.fifo", &why), 0) << why;
  }
  // Everything the FIFO holds, up to `max` samples.
  static std::vector<int16_t> drain(int rd, size_t max) {
    std::vector<int16_t> got(max);
    const ssize_t n = read(rd, got.data(), got.size() * 2);
    got.resize(n > 0 ? static_cast<size_t>(n) / 2 : 0);
    close(rd);
    return got;
  }
  ztpu_test::ScratchDir dir;
};

TEST_F(AirTest, StreamsSignalInRealTime) {
  st::Air air(0);
  add(air);
  const int rd = open("a.fifo", O_RDONLY | O_NONBLOCK);
  ASSERT_GE(rd, 0);
  air.play(0, {1000, -2000, 3000});
  air.start();
  // Read everything for 300 ms: a writer that bursts would give far more.
  std::vector<int16_t> got;
  const auto t0 = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - t0 < 300ms) {
    pollfd p{rd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    std::array<int16_t, 4096> buf{};
    const ssize_t n = read(rd, buf.data(), sizeof buf);
    if (n > 0) got.insert(got.end(), buf.begin(), buf.begin() + n / 2);
  }
  air.stop();
  close(rd);
  const size_t frames = got.size() / 2;
  EXPECT_GT(frames, 44100u / 10);
  EXPECT_LT(frames, 44100u / 2);
  // Both channels alike; the signal once, in order, in silence.
  std::vector<int16_t> mono;
  for (size_t f = 0; f < frames; ++f) {
    EXPECT_EQ(got[2 * f], got[2 * f + 1]);
    if (got[2 * f] != 0) mono.push_back(got[2 * f]);
  }
  EXPECT_EQ(mono, (std::vector<int16_t>{1000, -2000, 3000}));
  // Silence drops what is queued (no reader now).
  st::Air quiet(0);
  add(quiet);
  quiet.play(0, std::vector<int16_t>(44100 * 10, 1));
  quiet.start();
  EXPECT_FALSE(quiet.wait_quiet(0, 50ms));
  quiet.silence(0);
  EXPECT_TRUE(quiet.wait_quiet(0, 10ms));
}

TEST_F(AirTest, NoiseStaysWithinItsPeakAndAStalledReaderDoesNotStall) {
  const int rd = open("a.fifo", O_RDONLY | O_NONBLOCK);
  ASSERT_GE(rd, 0);
  st::Air air(500);
  add(air);
  air.start();
  std::this_thread::sleep_for(600ms);  // the reader reads nothing: the FIFO fills
  const auto t0 = std::chrono::steady_clock::now();
  air.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  const std::vector<int16_t> got = drain(rd, 8192);
  ASSERT_FALSE(got.empty());
  size_t nonzero = 0;
  for (int16_t v : got) {
    EXPECT_LE(std::abs(v), 500);
    nonzero += v != 0;
  }
  EXPECT_GT(nonzero, got.size() / 2);
}

}  // namespace
