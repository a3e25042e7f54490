#include "ztpu/common.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <tuple>
#include <vector>

#include "test_support.h"
#include "ztpu/module.h"
#include "ztpu/serial.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Longs = std::vector<long>;

std::string calls;
int fail_at = -1;
int start(int i) {
  calls += "i" + std::to_string(i);
  return i == fail_at ? -1 : i == 1 ? 5 : 0;  // a positive result is success
}

TEST(Runner, StartsInOrderRollsBackNearestFirstAndStopsInReverse) {
  ztpu_test::LogCapture log;
  const module table[] = {{"mconf", [] { return start(0); }, [] { calls += "e0"; }},
                          {"security", [] { return start(1); }, [] { calls += "e1"; }},
                          {"phone", [] { return start(2); }, nullptr},
                          {"server", [] { return start(3); }, [] { calls += "e3"; }},
                          {"none", nullptr, nullptr}};
  const std::tuple<int, int, int, std::string> cases[] = {
      // failing, count, result, calls
      {-1, 5, 0, "i0i1i2i3"}, {1, 5, -1, "i0i1e0"}, {3, 5, -1, "i0i1i2i3e1e0"},
      {0, 5, -1, "i0"},       {-1, 0, 0, ""},       {-1, -3, 0, ""}};
  for (const auto& [fail, count, rc, want] : cases) {
    calls.clear();
    fail_at = fail;
    EXPECT_EQ(__init_modules(table, count), rc) << want;
    EXPECT_EQ(calls, want);
  }
  calls.clear();
  for (const int count : {0, -1, 5}) __exit_modules(table, count);
  EXPECT_EQ(calls, "e3e1e0");
}

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

Bytes decode(const Bytes& frame, int cap = 32) {
  std::array<unsigned char, 256> out{};
  int n = -7;
  const int rc =
      comm_protocol_parse(frame.data(), static_cast<int>(frame.size()), out.data(), cap, &n);
  return rc == 0 ? Bytes(out.begin(), out.begin() + n) : Bytes{};
}

TEST(CommFrame, KnownFramesRoundTripsRefusalsAndNullArguments) {
  const unsigned char d[] = {0x5a, 0x0f, 0xf0};
  EXPECT_EQ(comm_xor_calc(d, 0) + comm_xor_calc(d, 1), 2 * 0x5a);  // short: the first byte
  const Bytes rec{0x05, 0x00, 0x21, 0x53, 0x00, 0x00, 0x00, 0x77};
  EXPECT_EQ(comm_xor_calc(rec.data(), 7), 0x77);
  EXPECT_EQ(encode(rec), (Bytes{0x02, 0x05, 0x00, 0x21, 0x53, 0x00, 0x00, 0x00, 0x77, 0x03}));
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
  // Refused, with a log line where that is the only sign of the branch taken.
  ztpu_test::LogCapture log;
  const Bytes small = encode(record({0x21, 0x53, 0x00}));
  Bytes bad_check = small, bad_len = small;
  bad_check[small.size() - 2] ^= 0x01;
  bad_len[1] = 0x04;  // one more than the record holds
  const std::tuple<Bytes, int, std::string> cases[] = {
      // frame, room, log ("" for none)
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
  for (const auto& [frame, cap, text] : cases) {
    log.clear();
    EXPECT_EQ(decode(frame, cap), Bytes{}) << text;
    EXPECT_EQ(log.messages().size() == 1 && log.contains(text), !text.empty()) << log.dump();
  }
  // The largest accepted: 100 raw bytes; a 33-byte record in 33.
  EXPECT_EQ(decode(encode(record(Bytes(95, 0x41))), 200), record(Bytes(95, 0x41)));
  EXPECT_EQ(decode(encode(record(Bytes(30, 0x41))), 33).size(), 33u);
  EXPECT_EQ(encode(record(Bytes(95, 0x41))).size(), 100u);
  const Bytes small_rec = record({0x21, 0x53, 0x10});
  std::array<unsigned char, 64> out{};
  int n = -1;
  const unsigned char* r = small_rec.data();
  unsigned char* o = out.data();
  // gen needs 6 + STX + ETX + 2 escapes.
  EXPECT_EQ(
      (Longs{comm_protocol_parse(nullptr, 8, o, 32, &n), comm_protocol_parse(r, 8, nullptr, 32, &n),
             comm_protocol_parse(r, 8, o, 32, nullptr), comm_protocol_gen(r, 5, o, 64, &n),
             comm_protocol_gen(nullptr, 6, o, 64, &n), comm_protocol_gen(r, 6, o, 64, nullptr),
             comm_protocol_gen(r, 6, o, 9, &n), comm_protocol_gen(r, 6, o, 10, &n), n}),
      (Longs{-1, -1, -1, -1, -1, -1, -1, 0, 10}));
}

void fix_zone(const char* tz) {  // each test runs in a process of its own
  setenv("TZ", tz, 1);
  tzset();
}

std::string bcd_of(unsigned stamp) {
  std::array<char, 7> b{};
  return time_stamp_to_bcd(stamp, b.data()) == 0 ? std::string(b.data(), 7) : "<fails>";
}

int64_t stamp_of(const char* bcd) {
  unsigned int s = 99;
  return time_bcd_to_stamp(bcd, &s) == 0 ? int64_t{s} : s == 99 ? -1 : -2;
}

TEST(Bcd, EpochInZoneRoundTripsAndTimesPast2038FollowThePlatform) {
  fix_zone("UTC-8");  // POSIX sign: eight hours east of Greenwich
  EXPECT_EQ(stamp_of("\x19\x70\x01\x01\x08\x00\x00"), 0);
  EXPECT_EQ(bcd_of(0), std::string("\x19\x70\x01\x01\x08\x00\x00", 7));
  fix_zone("UTC0");
  // 2024-02-29 23:59:58: refused by a range check made in a 32-bit time_t.
  EXPECT_EQ(stamp_of("\x20\x24\x02\x29\x23\x59\x58"), 1709251198);
  EXPECT_EQ(bcd_of(1709251198U), "\x20\x24\x02\x29\x23\x59\x58");
  // Past 2038 a 32-bit time_t fails clearly both ways; a 64-bit one converts
  // up to the end of the 32-bit count.
  ztpu_test::LogCapture log;
  const bool wide = sizeof(time_t) >= 8;
  for (const auto& [s, bcd] :
       {std::pair<unsigned, std::string>{0x80000000U, {"\x20\x38\x01\x19\x03\x14\x08", 7}},
        {0xFFFFFFFFU, {"\x21\x06\x02\x07\x06\x28\x15", 7}}}) {
    EXPECT_EQ(bcd_of(s), wide ? bcd : "<fails>") << s;
    EXPECT_EQ(stamp_of(bcd.data()), wide ? int64_t{s} : -1) << s;
  }
  EXPECT_EQ((std::vector<int64_t>{time_bcd_to_stamp("\x20\x24\x01\x01\x00\x00\x00", nullptr),
                                  time_stamp_to_bcd(0, nullptr), stamp_of(nullptr),
                                  stamp_of("\x19\x69\x12\x31\x23\x59\x59"),
                                  stamp_of("\x21\x06\x02\x07\x06\x28\x16")}),
            (std::vector<int64_t>{-1, -1, -1, -1, -1}));
}

TEST(ByteToHex, UppercasePairsWithOptionalSeparator) {
  const char d[] = {0x0A, static_cast<char>(0xFF)};
  std::array<char, 16> s{};
  EXPECT_EQ(byte_to_hex(d, 0, s.data(), ":") + byte_to_hex(d, 2, s.data(), ":"), -1);
  EXPECT_STREQ(s.data(), "0A:FF");
}

// A frame after noise, restarted on STX, unescaped; endless noise: the reader
// gives up after a bounded count, before draining the line.
TEST(Serial, FrameReaderOnARawPort) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
  const auto send = [&](const Bytes& b) {
    return write(master, b.data(), b.size()) == static_cast<ssize_t>(b.size());
  };
  const serial_attr raw{0, 0};  // reads return what is there
  const int fd = serial_open(ptsname(master), 115200, &raw);
  ASSERT_GE(fd, 0);
  std::array<unsigned char, 256> buf{};
  termios tio{};
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  EXPECT_EQ(
      (Longs{static_cast<long>(cfgetospeed(&tio)), static_cast<long>(tio.c_lflag & (ICANON | ECHO)),
             static_cast<long>(tio.c_cflag & CSIZE)}),
      (Longs{B115200, 0, CS8}));
  EXPECT_EQ(serial_read_timeout(fd, buf.data(), 48, 30), SERIAL_ETIMEDOUT);
  ASSERT_TRUE(send({1, 2, 3}));
  EXPECT_EQ(serial_read_timeout(fd, buf.data(), 48, 500), 3);
  int n = -1;
  ASSERT_TRUE(
      send({0x41, 0x03, 0x10, 0x02, 0x02, 0x99, 0x02, 0x05, 0x10, 0x03, 0x10, 0x10, 0x06, 0x03}));
  ASSERT_EQ(comm_protocol_flow_parse(fd, buf.data(), 16, &n), 0);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + n), (Bytes{0x05, 0x03, 0x10, 0x06}));
  EXPECT_EQ(comm_protocol_flow_parse(fd, buf.data(), 16, &n) * 10 + n, -10);
  ASSERT_TRUE(send(Bytes(COMM_FLOW_MAX_READ + 64, 0x41)));
  EXPECT_EQ(comm_protocol_flow_parse(fd, buf.data(), 16, &n), -1);
  EXPECT_GT(read(fd, buf.data(), buf.size()), 0);
  serial_close(fd);
  close(master);
}

}  // namespace
