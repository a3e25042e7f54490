#include "ztpu/common.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <regex>
#include <thread>
#include <vector>

#include "test_support.h"
#include "ztpu/log.h"
#include "ztpu/module.h"
#include "ztpu/paths.h"
#include "ztpu/serial.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Longs = std::vector<long>;

// The log file without its well-formed "time ztpud[pid]: " prefixes.
std::string log_text(const ztpu_test::ScratchDir& dir) {
  const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d ztpud\[)";
  return std::regex_replace(dir.read("var/log/messages"),
                            std::regex(stamp + std::to_string(getpid()) + "\\]: "), "");
}

TEST(Log, SimulatedBoardAppendsWholeLinesAndFollowsRenames) {
  ASSERT_TRUE(ztpu::path::simulated) << "the test suite runs on a simulated board";
  ztpu_test::ScratchDir dir;
  dir.mkdirs("var/log");
  ztpu_log(LOG_INFO, "first\n");
  ASSERT_EQ(rename("var/log/messages", "var/log/old.log"), 0);
  ztpu_log(LOG_INFO, "response to tpu(get state)\n\n");
  ztpu_log(LOG_WARNING, "[MCONF] item '%s' redefined\n", "dns");
  ztpu_log(LOG_ERR, "no line feed");
  EXPECT_EQ(log_text(dir),
            "info: response to tpu(get state)\nwarning: [MCONF] item 'dns' redefined\n"
            "err: no line feed\n");
  EXPECT_TRUE(dir.read("var/log/old.log").ends_with("]: info: first\n"));
  ASSERT_EQ(unlink("var/log/messages"), 0);
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([t] {
      for (int i = 0; i < 200; ++i) ztpu_log(LOG_INFO, "thread %d line %d\n", t, i);
    });
  for (auto& t : ts) t.join();
  const std::string text = log_text(dir);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 800);
  EXPECT_EQ(std::regex_replace(text, std::regex("info: thread \\d line \\d+\n"), ""), "");
}

std::string calls;  // order of start/stop calls
int fail_at = -1;   // index of the module whose start fails
template <int I>
int init_op() {
  calls += "i" + std::to_string(I);
  return I == fail_at ? -1 : I == 1 ? 5 : 0;  // a positive result is success
}
template <int I>
void exit_op() {
  calls += "e" + std::to_string(I);
}

TEST(Runner, StartsInOrderRollsBackNearestFirstAndStopsInReverse) {
  ztpu_test::LogCapture log;
  const module table[] = {{"mconf", init_op<0>, exit_op<0>},
                          {"security", init_op<1>, exit_op<1>},
                          {"phone", init_op<2>, nullptr},
                          {"server", init_op<3>, exit_op<3>},
                          {"none", nullptr, nullptr}};
  const struct {
    int fail, count, rc;
    const char* calls;
  } cases[] = {{-1, 5, 0, "i0i1i2i3"}, {1, 5, -1, "i0i1e0"}, {3, 5, -1, "i0i1i2i3e1e0"},
               {0, 5, -1, "i0"},       {-1, 0, 0, ""},       {-1, -3, 0, ""}};
  for (const auto& c : cases) {
    calls.clear();
    fail_at = c.fail;
    EXPECT_EQ(__init_modules(table, c.count), c.rc) << c.calls;
    EXPECT_EQ(calls, c.calls);
  }
  EXPECT_EQ(log.count("initialization failed\n"), 3u);
  EXPECT_TRUE(log.contains("module 'security' initialization failed\n", LOG_ERR));
  EXPECT_TRUE(log.contains("module 'mconf' initialization failed\n", LOG_ERR));
  log.clear();
  calls.clear();
  __exit_modules(table, 0);
  __exit_modules(table, -1);
  __exit_modules(table, 5);
  EXPECT_EQ(calls, "e3e1e0");
  EXPECT_EQ(log.messages().size(), 3u);
  EXPECT_TRUE(log.contains("module 'server' stopped\n", LOG_INFO));
  EXPECT_TRUE(log.contains("module 'mconf' stopped\n", LOG_INFO));
}

// A record with its length field and check byte set.
Bytes record(const Bytes& payload) {
  Bytes r{static_cast<unsigned char>(payload.size()), 0};
  for (unsigned char b : payload) r.push_back(b);
  r.push_back(comm_xor_calc(r.data(), static_cast<int>(r.size())));
  return r;
}

Bytes encode(const Bytes& rec) {
  std::array<unsigned char, 256> out{};
  int n = 0;
  EXPECT_EQ(comm_protocol_gen(rec.data(), static_cast<int>(rec.size()), out.data(), 256, &n), 0);
  return Bytes(out.begin(), out.begin() + n);
}

// The record, or {} when parsing fails.
Bytes decode(const Bytes& frame, int cap = 32) {
  std::array<unsigned char, 256> out{};
  int n = -7;
  const int rc =
      comm_protocol_parse(frame.data(), static_cast<int>(frame.size()), out.data(), cap, &n);
  EXPECT_TRUE(rc == 0 || rc == -1);
  return rc == 0 ? Bytes(out.begin(), out.begin() + n) : Bytes{};
}

TEST(CommFrame, KnownFramesEscapesAndRoundTrips) {
  const unsigned char d[] = {0x5a, 0x0f, 0xf0};
  EXPECT_EQ(comm_xor_calc(d, 0), 0x5a);  // short lengths give the first byte
  EXPECT_EQ(comm_xor_calc(d, 1), 0x5a);
  const Bytes rec{0x05, 0x00, 0x21, 0x53, 0x00, 0x00, 0x00, 0x77};
  EXPECT_EQ(comm_xor_calc(rec.data(), 7), 0x77);
  EXPECT_EQ(encode(rec), (Bytes{0x02, 0x05, 0x00, 0x21, 0x53, 0x00, 0x00, 0x00, 0x77, 0x03}));
  // The smallest get-state request, its length escaped.
  EXPECT_EQ(decode({0x02, 0x10, 0x02, 0x00, 0x21, 0x53, 0x70, 0x03}),
            (Bytes{0x02, 0x00, 0x21, 0x53, 0x70}));
  const Bytes special = record({0x10, 0x02, 0x03, 0x53, 0x11});
  EXPECT_EQ(encode(special), (Bytes{0x02, 0x05, 0x00, 0x10, 0x10, 0x10, 0x02, 0x10, 0x03, 0x53,
                                    0x11, special.back(), 0x03}));
  EXPECT_EQ(decode(encode(special)), special);
  for (int v = 0; v < 256; ++v) {  // every byte value in every position
    const auto b = static_cast<unsigned char>(v);
    EXPECT_EQ(decode(encode(record({b, 0x53, b, b}))), record({b, 0x53, b, b})) << v;
  }
}

TEST(CommFrame, RefusedFramesWithTheirLogLines) {
  ztpu_test::LogCapture log;
  const Bytes small = encode(record({0x21, 0x53, 0x00}));
  Bytes bad_check = small, bad_len = small;
  bad_check[small.size() - 2] ^= 0x01;
  bad_len[1] = 0x04;  // one more than the record holds
  const struct {
    Bytes frame;
    int cap;
    const char* log;  // "" for a silent refusal
  } cases[] = {
      {{0x02, 0x00, 0x00, 0x00, 0x03}, 32, "protocol length or output buffer error, length=5."},
      {encode(record(Bytes(96, 0x41))), 200, "length=101."},         // 101 raw bytes
      {encode(record(Bytes(30, 0x41))), 32, "output buffer error"},  // a 33-byte record
      {{0x01, 0x02, 0x00, 0x21, 0x53, 0x70, 0x03}, 32, "protocol locators error."},
      {{0x02, 0x02, 0x00, 0x21, 0x53, 0x70, 0x04}, 32, "protocol locators error."},
      // An escaped 0x03 last; DLE before a byte that is never escaped.
      {{0x02, 0x02, 0x00, 0x21, 0x53, 0x10, 0x03}, 32, "protocol format error."},
      {{0x02, 0x02, 0x00, 0x10, 0x21, 0x53, 0x70, 0x03}, 32, "protocol format error."},
      {bad_check, 32, ""},
      {bad_len, 32, ""},
      {{0x02, 0x10, 0x10, 0x10, 0x10, 0x03}, 32, ""}};  // no room for length and check
  for (const auto& c : cases) {
    log.clear();
    EXPECT_EQ(decode(c.frame, c.cap), Bytes{}) << c.log;
    EXPECT_EQ(log.messages().size(), *c.log ? 1u : 0u) << log.dump();
    EXPECT_TRUE(!*c.log || log.contains(c.log, LOG_ERR)) << c.log;
  }
  // The largest accepted: 100 raw bytes; a 33-byte record in 33.
  EXPECT_EQ(decode(encode(record(Bytes(95, 0x41))), 200), record(Bytes(95, 0x41)));
  EXPECT_EQ(decode(encode(record(Bytes(30, 0x41))), 33).size(), 33u);
  EXPECT_EQ(encode(record(Bytes(95, 0x41))).size(), 100u);
}

TEST(CommFrame, ShortRecordsSmallBuffersAndNullArgumentsAreRefused) {
  ztpu_test::LogCapture log;
  const Bytes rec = record({0x21, 0x53, 0x10});
  std::array<unsigned char, 64> out{};
  int n = -1;
  const unsigned char* r = rec.data();
  unsigned char* o = out.data();
  const int rcs[] = {
      comm_protocol_parse(nullptr, 8, o, 32, &n), comm_protocol_parse(r, 8, nullptr, 32, &n),
      comm_protocol_parse(r, 8, o, 32, nullptr),  comm_protocol_gen(r, 5, o, 64, &n),
      comm_protocol_gen(nullptr, 6, o, 64, &n),   comm_protocol_gen(r, 6, o, 64, nullptr),
      comm_protocol_gen(r, 6, o, 9, &n)};  // needs 6 + STX + ETX + 2 escapes
  for (int rc : rcs) EXPECT_EQ(rc, -1);
  EXPECT_EQ(log.count("protocol length or output buffer error"), 3U);
  EXPECT_EQ(comm_protocol_gen(r, 6, o, 10, &n), 0);
  EXPECT_EQ(n, 10);
}

// Each test runs in a process of its own: the zone need not be restored.
void fix_zone(const char* tz) {
  setenv("TZ", tz, 1);
  tzset();
}

std::string bcd_of(unsigned stamp) {
  std::array<char, 7> b{};
  return time_stamp_to_bcd(stamp, b.data()) == 0 ? std::string(b.data(), 7) : "<fails>";
}

TEST(Bcd, EpochInZoneEightHoursAheadAndRoundTrips) {
  fix_zone("UTC-8");  // POSIX sign: eight hours east of Greenwich
  unsigned int stamp = 99;
  ASSERT_EQ(time_bcd_to_stamp("\x19\x70\x01\x01\x08\x00\x00", &stamp), 0);
  EXPECT_EQ(stamp, 0U);
  EXPECT_EQ(bcd_of(0), std::string("\x19\x70\x01\x01\x08\x00\x00", 7));
  fix_zone("UTC0");
  // 2024-02-29 23:59:58: refused by a range check made in a 32-bit time_t.
  ASSERT_EQ(time_bcd_to_stamp("\x20\x24\x02\x29\x23\x59\x58", &stamp), 0);
  EXPECT_EQ(stamp, 1709251198U);
  EXPECT_EQ(bcd_of(1709251198U), "\x20\x24\x02\x29\x23\x59\x58");
}

// Past 2038 a 32-bit time_t fails clearly, with a log line, in both
// directions; a 64-bit one converts up to the end of the 32-bit count.
TEST(Bcd, TimesPast2038FollowThePlatformsTimeAndBadInputFails) {
  fix_zone("UTC0");
  const bool wide = sizeof(time_t) >= 8;
  const std::pair<unsigned, std::string> cases[] = {
      {0x80000000U, std::string("\x20\x38\x01\x19\x03\x14\x08", 7)},
      {4102444800U, std::string("\x21\x00\x01\x01\x00\x00\x00", 7)},
      {0xFFFFFFFFU, std::string("\x21\x06\x02\x07\x06\x28\x15", 7)}};
  for (const auto& [s, bcd] : cases) {
    ztpu_test::LogCapture log;
    unsigned int stamp = 99;
    EXPECT_EQ(bcd_of(s), wide ? bcd : "<fails>") << s;
    EXPECT_EQ(time_bcd_to_stamp(bcd.data(), &stamp), wide ? 0 : -1) << s;
    EXPECT_EQ(stamp, wide ? s : 99U);
    EXPECT_EQ(log.count("out of range.\n"), wide ? 0U : 2U) << log.dump();
  }
  ztpu_test::LogCapture log;
  unsigned int stamp = 0;
  EXPECT_EQ((Longs{time_bcd_to_stamp(nullptr, &stamp),
                   time_bcd_to_stamp("\x20\x24\x01\x01\x00\x00\x00", nullptr),
                   time_stamp_to_bcd(0, nullptr),
                   time_bcd_to_stamp("\x19\x69\x12\x31\x23\x59\x00", &stamp),
                   time_bcd_to_stamp("\x22\x00\x01\x01\x00\x00\x00", &stamp)}),
            (Longs{-1, -1, -1, -1, -1}));
  EXPECT_TRUE(log.contains("time 19691231235900 out of range.\n", LOG_ERR)) << log.dump();
  EXPECT_TRUE(log.contains("time 22000101000000 out of range.\n", LOG_ERR)) << log.dump();
}

TEST(ByteToHex, UppercasePairsWithOptionalSeparatorAndHexdump) {
  const char d[] = {0x0A, static_cast<char>(0xFF)};
  const std::pair<const char*, const char*> seps[] = {
      {nullptr, "0AFF"}, {"", "0AFF"}, {":", "0A:FF"}};
  std::array<char, 16> s{};
  for (const auto& [sep, want] : seps) {
    ASSERT_EQ(byte_to_hex(d, 2, s.data(), sep), 0);
    EXPECT_STREQ(s.data(), want);
  }
  ASSERT_EQ(byte_to_hex(d, 1, s.data(), "--"), 0);
  EXPECT_STREQ(s.data(), "0A");
  EXPECT_EQ((Longs{byte_to_hex(d, 0, s.data(), nullptr), byte_to_hex(nullptr, 2, s.data(), nullptr),
                   byte_to_hex(d, 2, nullptr, nullptr)}),
            (Longs{-1, -1, -1}));
  ztpu_test::LogCapture log;
  std::array<unsigned char, 17> b{};
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(0xf0 + i);
  hexdump("frame", b.data(), 17);
  hexdump(nullptr, b.data(), 0);
  const decltype(log.messages()) want = {
      {LOG_INFO, "frame (17):\n"},
      {LOG_INFO, " f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff\n"},
      {LOG_INFO, " 00\n"},
      {LOG_INFO, "\n"}};
  EXPECT_EQ(log.messages(), want);
}

struct Pty {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  std::string slave =
      master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : "";
  ~Pty() { close(master); }
  void send(const Bytes& b) const {
    ASSERT_EQ(write(master, b.data(), b.size()), static_cast<ssize_t>(b.size()));
  }
};

TEST(Serial, OpenConfiguresRawPortAtMappedSpeedOrLogsItsFailure) {
  Pty pty;
  ASSERT_FALSE(pty.slave.empty());
  for (auto [speed, want] :
       {std::pair{115200, B115200}, {1200, B115200}, {9600, B9600}, {230400, B230400}}) {
    const int fd = serial_open(pty.slave.c_str(), speed, nullptr);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ((Longs{cfgetispeed(&tio), cfgetospeed(&tio), tio.c_lflag & (ICANON | ECHO),
                     tio.c_cflag & CSIZE, tio.c_cc[VTIME], tio.c_cc[VMIN], serial_close(fd)}),
              (Longs{want, want, 0, CS8, 1, 255, 0}))
        << speed;
  }
  serial_attr attr{};
  serial_attr_get_default(&attr);
  EXPECT_EQ(attr.vtime * 1000 + attr.vmin, 1255);
  ztpu_test::LogCapture log;
  EXPECT_EQ(serial_open("/nonexistent/tty", 115200, nullptr), SERIAL_EOPEN);
  EXPECT_TRUE(log.contains("[SERIAL] failed to open device: /nonexistent/tty", LOG_ERR));
}

TEST(Serial, ReadTimeoutWriteAndFrameReader) {
  Pty pty;
  const serial_attr attr{0, 0};  // reads return what is there
  const int fd = serial_open(pty.slave.c_str(), 115200, &attr);
  ASSERT_GE(fd, 0);
  std::array<unsigned char, 256> buf{};
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(serial_read_timeout(fd, buf.data(), 48, 30), SERIAL_ETIMEDOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(25));
  pty.send({1, 2, 3});
  EXPECT_EQ(serial_read_timeout(fd, buf.data(), 48, 500), 3);
  EXPECT_EQ(serial_write(fd, "ab", 2), 2);
  EXPECT_EQ(read(pty.master, buf.data(), 4), 2);
  // The frame reader: a frame after noise, restarted on STX, unescaped.
  int n = -1;
  pty.send({0x41, 0x03, 0x10, 0x02, 0x02, 0x99, 0x02, 0x05, 0x10, 0x03, 0x10, 0x10, 0x06, 0x03});
  ASSERT_EQ(comm_protocol_flow_parse(fd, buf.data(), 16, &n), 0);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + n), (Bytes{0x05, 0x03, 0x10, 0x06}));
  EXPECT_EQ(comm_protocol_flow_parse(fd, buf.data(), 16, &n), -1);  // silence
  EXPECT_EQ(n, 0);
  ztpu_test::LogCapture log;
  Bytes longf(18, 0x41);  // longer than the room given
  longf[0] = 0x02;
  longf.push_back(0x03);
  pty.send(longf);
  EXPECT_EQ(comm_protocol_flow_parse(fd, buf.data(), 16, &n), -1);
  EXPECT_TRUE(log.contains("output buffer error"));
  EXPECT_EQ(comm_protocol_flow_parse(-1, buf.data(), 16, &n), -1);
  EXPECT_EQ(comm_protocol_flow_parse(fd, nullptr, 16, &n), -1);
  // Endless noise: the reader gives up after a bounded count, before draining the line.
  pty.send(Bytes(COMM_FLOW_MAX_READ + 64, 0x41));
  EXPECT_EQ(comm_protocol_flow_parse(fd, buf.data(), 16, &n), -1);
  EXPECT_GT(read(fd, buf.data(), buf.size()), 0);
  serial_close(fd);
}

}  // namespace
