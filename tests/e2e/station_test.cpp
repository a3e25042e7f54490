// The simulators themselves, against what the daemon expects of the outside
// parties: the phone's records and sound, the gate controller's frames, the
// air's stream and the order check. No daemon runs here.
#include "station.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <thread>

#include "gate_line.h"
#include "kalvo/kalvo.h"
#include "run.h"
#include "test_support.h"
#include "ztpu/crypto.h"
#include "ztpu/serial.h"

namespace {

namespace st = ztpu_station;
using st::Bytes;
using namespace std::chrono_literals;

st::Bytes crypt(int mode, Bytes in, Bytes key, Bytes iv, bool enc) {
  key.resize(32);
  iv.resize(32);
  Bytes out(in.size() + 32);
  crypto_param p{mode, in.data(),  static_cast<int>(in.size()), key.data(), 32, iv.data(),
                 16,   enc ? 1 : 0};
  int n = 0;
  EXPECT_EQ(crypto_crypt(&p, out.data(), &n), 0);
  out.resize(static_cast<size_t>(n));
  return out;
}

const st::KeyVersion& version1() {
  static const st::KeyVersion kv = st::make_key_version({1, 2, 3, 4, 5, 6, 7}, 0x0001, 15);
  return kv;
}

// A pty pair: the test plays the daemon on the slave side.
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

TEST(GateController, NoAnswerIsNoCard) {
  PtyPair pty;
  st::Gate gate(pty.master());
  const auto t0 = std::chrono::steady_clock::now();
  const st::GateAnswer a = gate.exchange({0x31, 0x53}, 150);
  EXPECT_FALSE(a.answered);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  EXPECT_TRUE(gate.latencies().empty());
}

TEST(Orders, TacCheckedAgainstTheNamedRow) {
  const st::KeyVersion& kv = version1();
  const st::KeyRow& row = kv.rows[5];
  const std::string text = "261206000001,1000,0,M001,1000261206001,101,20261206184620";
  Bytes key(row.key.begin(), row.key.end());
  const Bytes c = crypt(row.alg, Bytes(text.begin(), text.end()), key, key, true);
  std::array<uint8_t, 16> md{};
  crypto_md5(const_cast<uint8_t*>(c.data()), static_cast<int>(c.size()), md.data());
  std::string tac = st::to_hex(md.data(), 16);
  for (char& ch : tac) ch = static_cast<char>(std::toupper(ch));
  const std::string id = st::to_hex(row.id.data(), 3);
  EXPECT_TRUE(st::order_tac_valid(text + "," + tac + "," + id, {kv}));
  std::string changed = text + "," + tac + "," + id;
  changed[20] = '9';
  EXPECT_FALSE(st::order_tac_valid(changed, {kv}));
  EXPECT_FALSE(st::order_tac_valid(text + "," + tac + ",00ff05", {kv}));
  EXPECT_FALSE(st::order_tac_valid(text + "," + tac, {kv}));
}

TEST(Air, StreamsNoiseAndSignalInRealTime) {
  ztpu_test::ScratchDir dir;
  ASSERT_EQ(mkfifo("a.fifo", 0600), 0);
  st::Air air(0);
  std::string why;
  ASSERT_EQ(air.add_board(dir.path() + "/a.fifo", &why), 0) << why;
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
}

TEST(Air, SilenceDropsWhatIsQueued) {
  ztpu_test::ScratchDir dir;
  ASSERT_EQ(mkfifo("a.fifo", 0600), 0);
  st::Air air(0);
  std::string why;
  ASSERT_EQ(air.add_board(dir.path() + "/a.fifo", &why), 0);
  air.play(0, std::vector<int16_t>(44100 * 10, 1));
  air.start();
  EXPECT_FALSE(air.wait_quiet(0, 50ms));
  air.silence(0);
  EXPECT_TRUE(air.wait_quiet(0, 10ms));
}

TEST(Air, NoiseStaysWithinItsPeakAndAStalledReaderDoesNotStall) {
  ztpu_test::ScratchDir dir;
  ASSERT_EQ(mkfifo("a.fifo", 0600), 0);
  const int rd = open("a.fifo", O_RDONLY | O_NONBLOCK);
  ASSERT_GE(rd, 0);
  st::Air air(500);
  std::string why;
  ASSERT_EQ(air.add_board(dir.path() + "/a.fifo", &why), 0);
  air.start();
  std::this_thread::sleep_for(600ms);  // the reader reads nothing: the FIFO fills
  const auto t0 = std::chrono::steady_clock::now();
  air.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  std::vector<int16_t> got(8192);
  const ssize_t n = read(rd, got.data(), got.size() * 2);
  close(rd);
  ASSERT_GT(n, 0);
  int nonzero = 0;
  for (ssize_t i = 0; i < n / 2; ++i) {
    EXPECT_LE(std::abs(got[static_cast<size_t>(i)]), 500);
    nonzero += got[static_cast<size_t>(i)] != 0;
  }
  EXPECT_GT(nonzero, n / 4);
}

TEST(Air, SoundNobodyHearsIsLostAndAReaderThatLeavesIsSurvived) {
  ztpu_test::ScratchDir dir;
  ASSERT_EQ(mkfifo("a.fifo", 0600), 0);
  st::Air air(0);
  std::string why;
  EXPECT_EQ(air.add_board(dir.path() + "/none.fifo", &why), -1);
  ASSERT_EQ(air.add_board(dir.path() + "/a.fifo", &why), 0);
  air.start();
  air.play(0, std::vector<int16_t>(4410, 7));  // 0.1 s with no reader
  EXPECT_TRUE(air.wait_quiet(0, 1s));
  int rd = open("a.fifo", O_RDONLY | O_NONBLOCK);
  std::this_thread::sleep_for(100ms);
  close(rd);  // the reader goes; the air goes on
  std::this_thread::sleep_for(100ms);
  rd = open("a.fifo", O_RDONLY | O_NONBLOCK);
  air.play(0, {9});
  ASSERT_TRUE(air.wait_quiet(0, 1s));
  std::this_thread::sleep_for(50ms);
  air.stop();
  std::vector<int16_t> got(44100);
  const ssize_t n = read(rd, got.data(), got.size() * 2);
  close(rd);
  ASSERT_GT(n, 0);
  got.resize(static_cast<size_t>(n) / 2);
  EXPECT_EQ(std::count(got.begin(), got.end(), 7), 0);  // played before anyone listened
  EXPECT_EQ(std::count(got.begin(), got.end(), 9), 2);  // both channels
}

TEST(Board, LayoutAndConfiguration) {
  ztpu_test::ScratchDir dir;
  st::BoardSpec b;
  b.dir = dir.path() + "/b";
  b.exit_gate = true;
  b.server_port = 4321;
  std::string why;
  ASSERT_EQ(st::prepare_board(b, &why), 0) << why;
  struct stat s {};
  ASSERT_EQ(stat((b.dir + "/audio.fifo").c_str(), &s), 0);
  EXPECT_TRUE(S_ISFIFO(s.st_mode));
  EXPECT_NE(dir.read("b/.asoundrc").find("infile \"" + b.dir + "/audio.fifo\""), std::string::npos);
  EXPECT_EQ(dir.read("b/sys/fsl_otp/HW_OCOTP_CUST0"), b.fuse + "\n");
  const std::string conf = st::config_text(b);
  EXPECT_EQ(std::count(conf.begin(), conf.end(), '\n'), 21);
  EXPECT_NE(conf.find("exit_flag=1\n"), std::string::npos);
  EXPECT_NE(conf.find("server_port=4321\n"), std::string::npos);
  // Again on the same directory: nothing fails.
  EXPECT_EQ(st::prepare_board(b, &why), 0) << why;
}

}  // namespace
