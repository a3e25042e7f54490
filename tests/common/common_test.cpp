#include "ztpu/common.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <syslog.h>

#include <array>
#include <cstring>
#include <ctime>

#include "test_support.h"

namespace {

// Each test runs in a process of its own: the zone need not be restored.
void fix_zone(const char* tz) {
  setenv("TZ", tz, 1);
  tzset();
}

TEST(Trim, TrailingCutInPlaceLeadingSkipped) {
  char s[] = "  key= ";
  char* r = trim(s, " ");
  EXPECT_STREQ(r, "key=");
  EXPECT_EQ(r, s + 2);
  EXPECT_STREQ(s, "  key=");  // trailing blank removed in the buffer itself

  char only[] = " \t \t";
  EXPECT_EQ(trim(only, " \t"), only);
  EXPECT_STREQ(only, "");

  char none[] = "abc";
  EXPECT_EQ(trim(none, " "), none);
  EXPECT_STREQ(none, "abc");
}

TEST(Bcd, EpochInZoneEightHoursAhead) {
  fix_zone("UTC-8");  // POSIX sign: eight hours east of Greenwich
  const char bcd[7] = {0x19, 0x70, 0x01, 0x01, 0x08, 0x00, 0x00};
  unsigned int stamp = 99;
  ASSERT_EQ(time_bcd_to_stamp(bcd, &stamp), 0);
  EXPECT_EQ(stamp, 0U);
  std::array<char, 7> back{};
  ASSERT_EQ(time_stamp_to_bcd(0, back.data()), 0);
  EXPECT_EQ(std::memcmp(back.data(), bcd, 7), 0);
}

TEST(Bcd, RoundTripsAcrossYearsAndDigits) {
  fix_zone("UTC0");
  // 2024-02-29 23:59:58 UTC: refused by a range check made in a 32-bit time_t.
  const char bcd[7] = {0x20, 0x24, 0x02, 0x29, 0x23, 0x59, 0x58};
  unsigned int stamp = 0;
  ASSERT_EQ(time_bcd_to_stamp(bcd, &stamp), 0);
  EXPECT_EQ(stamp, 1709251198U);
  for (unsigned int s : {0U, 1709251198U, 946684799U, 0x7FFFFFFFU}) {
    std::array<char, 7> b{};
    ASSERT_EQ(time_stamp_to_bcd(s, b.data()), 0) << s;
    unsigned int again = 0;
    ASSERT_EQ(time_bcd_to_stamp(b.data(), &again), 0) << s;
    EXPECT_EQ(again, s);
  }
}

// Past 2038 a 32-bit time_t fails clearly, with a log line, in both
// directions; a 64-bit one converts up to the end of the 32-bit count.
TEST(Bcd, TimesPast2038FollowThePlatformsTime) {
  fix_zone("UTC0");
  const bool wide = sizeof(time_t) >= 8;
  struct Case {
    unsigned int stamp;
    std::array<unsigned char, 7> bcd;
  };
  const Case cases[] = {
      {0x80000000U, {0x20, 0x38, 0x01, 0x19, 0x03, 0x14, 0x08}},
      {4102444800U, {0x21, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00}},
      {0xFFFFFFFFU, {0x21, 0x06, 0x02, 0x07, 0x06, 0x28, 0x15}},
  };
  for (const Case& c : cases) {
    ztpu_test::LogCapture log;
    const char* in = reinterpret_cast<const char*>(c.bcd.data());
    std::array<char, 7> b{};
    unsigned int stamp = 99;
    if (wide) {
      ASSERT_EQ(time_stamp_to_bcd(c.stamp, b.data()), 0) << c.stamp;
      EXPECT_EQ(std::memcmp(b.data(), in, 7), 0) << c.stamp;
      ASSERT_EQ(time_bcd_to_stamp(in, &stamp), 0) << c.stamp;
      EXPECT_EQ(stamp, c.stamp);
    } else {
      EXPECT_EQ(time_stamp_to_bcd(c.stamp, b.data()), -1) << c.stamp;
      EXPECT_EQ(time_bcd_to_stamp(in, &stamp), -1) << c.stamp;
      EXPECT_EQ(stamp, 99U);
      EXPECT_EQ(log.count("out of range.\n"), 2U) << log.dump();
    }
  }
}

TEST(Bcd, NullPointersAndUnrepresentableTimesFail) {
  fix_zone("UTC0");
  ztpu_test::LogCapture log;
  unsigned int stamp = 0;
  const char bcd[7] = {0x20, 0x24, 0x01, 0x01, 0, 0, 0};
  EXPECT_EQ(time_bcd_to_stamp(nullptr, &stamp), -1);
  EXPECT_EQ(time_bcd_to_stamp(bcd, nullptr), -1);
  EXPECT_EQ(time_stamp_to_bcd(0, nullptr), -1);
  const char before_epoch[7] = {0x19, 0x69, 0x12, 0x31, 0x23, 0x59, 0x00};
  EXPECT_EQ(time_bcd_to_stamp(before_epoch, &stamp), -1);
  EXPECT_TRUE(log.contains("time 19691231235900 out of range.\n", LOG_ERR)) << log.dump();
  const char far[7] = {0x22, 0x00, 0x01, 0x01, 0, 0, 0};
  EXPECT_EQ(time_bcd_to_stamp(far, &stamp), -1);
  EXPECT_TRUE(log.contains("time 22000101000000 out of range.\n", LOG_ERR)) << log.dump();
}

TEST(ByteToHex, UppercasePairsWithOptionalSeparator) {
  const char d[] = {0x0A, static_cast<char>(0xFF)};
  std::array<char, 16> s{};
  ASSERT_EQ(byte_to_hex(d, 2, s.data(), nullptr), 0);
  EXPECT_STREQ(s.data(), "0AFF");
  ASSERT_EQ(byte_to_hex(d, 2, s.data(), ""), 0);
  EXPECT_STREQ(s.data(), "0AFF");
  ASSERT_EQ(byte_to_hex(d, 2, s.data(), ":"), 0);
  EXPECT_STREQ(s.data(), "0A:FF");
  ASSERT_EQ(byte_to_hex(d, 1, s.data(), "--"), 0);
  EXPECT_STREQ(s.data(), "0A");
  EXPECT_EQ(byte_to_hex(d, 0, s.data(), nullptr), -1);
  EXPECT_EQ(byte_to_hex(nullptr, 2, s.data(), nullptr), -1);
  EXPECT_EQ(byte_to_hex(d, 2, nullptr, nullptr), -1);
}

TEST(Hexdump, SixteenBytesPerLineAtInfo) {
  ztpu_test::LogCapture log;
  std::array<unsigned char, 17> b{};
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(0xf0 + i);
  hexdump("frame", b.data(), 17);
  const auto m = log.messages();
  ASSERT_EQ(m.size(), 3U);
  EXPECT_EQ(m[0].second, "frame (17):\n");
  EXPECT_EQ(m[1].second, " f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff\n");
  EXPECT_EQ(m[2].second, " 00\n");
  for (const auto& [prio, text] : m) EXPECT_EQ(prio, LOG_INFO);

  log.clear();
  hexdump(nullptr, b.data(), 0);
  ASSERT_EQ(log.messages().size(), 1U);
  EXPECT_EQ(log.messages()[0].second, "\n");
}

}  // namespace
