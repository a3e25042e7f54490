#include <gtest/gtest.h>
#include <syslog.h>

#include <array>
#include <vector>

#include "test_support.h"
#include "ztpu/serial.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A record of `size` bytes with its length field and check byte set.
Bytes record(const Bytes& payload) {
  const size_t size = payload.size() + 3;
  Bytes r;
  r.reserve(size);
  r.push_back(static_cast<unsigned char>((size - 3) & 0xff));
  r.push_back(static_cast<unsigned char>((size - 3) >> 8));
  for (unsigned char b : payload) r.push_back(b);
  r.push_back(comm_xor_calc(r.data(), static_cast<int>(r.size())));
  return r;
}

Bytes encode(const Bytes& rec) {
  std::array<unsigned char, 256> out{};
  int n = 0;
  EXPECT_EQ(comm_protocol_gen(rec.data(), static_cast<int>(rec.size()), out.data(),
                              static_cast<int>(out.size()), &n),
            0);
  return Bytes(out.begin(), out.begin() + n);
}

int decode(const Bytes& frame, Bytes* rec, int cap = 32) {
  std::array<unsigned char, 256> out{};
  int n = -7;
  const int rc =
      comm_protocol_parse(frame.data(), static_cast<int>(frame.size()), out.data(), cap, &n);
  if (rc == 0) rec->assign(out.begin(), out.begin() + n);
  return rc;
}

TEST(CommFrame, GetStateResponseEncodesToKnownFrame) {
  const unsigned char d[] = {0x5a, 0x0f, 0xf0};
  EXPECT_EQ(comm_xor_calc(d, 0), 0x5a);  // short lengths give the first byte
  EXPECT_EQ(comm_xor_calc(d, 1), 0x5a);
  const Bytes rec{0x05, 0x00, 0x21, 0x53, 0x00, 0x00, 0x00, 0x77};
  EXPECT_EQ(comm_xor_calc(rec.data(), 7), 0x77);
  EXPECT_EQ(encode(rec), (Bytes{0x02, 0x05, 0x00, 0x21, 0x53, 0x00, 0x00, 0x00, 0x77, 0x03}));
  // The smallest get-state request, its length escaped.
  Bytes back;
  ASSERT_EQ(decode({0x02, 0x10, 0x02, 0x00, 0x21, 0x53, 0x70, 0x03}, &back), 0);
  EXPECT_EQ(back, (Bytes{0x02, 0x00, 0x21, 0x53, 0x70}));
}

TEST(CommFrame, SpecialBytesAreEscapedAndRoundTrip) {
  const Bytes rec = record({0x10, 0x02, 0x03, 0x53, 0x11});
  const Bytes frame = encode(rec);
  const Bytes want_body{0x10, 0x10, 0x10, 0x02, 0x10, 0x03};
  EXPECT_EQ(Bytes(frame.begin() + 3, frame.begin() + 9), want_body);
  Bytes back;
  ASSERT_EQ(decode(frame, &back), 0);
  EXPECT_EQ(back, rec);

  // Every byte value survives a round trip in every position of a record.
  for (int v = 0; v < 256; ++v) {
    const auto b = static_cast<unsigned char>(v);
    const Bytes r = record({b, 0x53, b, b});
    ASSERT_EQ(decode(encode(r), &back), 0) << v;
    EXPECT_EQ(back, r) << v;
  }
}

TEST(CommFrame, RawLengthLimits) {
  ztpu_test::LogCapture log;
  Bytes rec;
  // Five bytes, well formed apart from its size.
  EXPECT_EQ(decode({0x02, 0x00, 0x00, 0x00, 0x03}, &rec), -1);
  EXPECT_TRUE(log.contains("protocol length or output buffer error, length=5.", LOG_ERR));

  // 101 raw bytes: a 99-byte record that would otherwise decode.
  Bytes big(96, 0x41);
  Bytes frame = encode(record(big));
  ASSERT_EQ(frame.size(), 101U);
  EXPECT_EQ(decode(frame, &rec, 200), -1);
  EXPECT_TRUE(log.contains("length=101."));

  // 100 raw bytes is the largest accepted.
  big.pop_back();
  frame = encode(record(big));
  ASSERT_EQ(frame.size(), 100U);
  EXPECT_EQ(decode(frame, &rec, 200), 0);
}

TEST(CommFrame, RecordLargerThanCapacityIsRefused) {
  ztpu_test::LogCapture log;
  Bytes rec;
  const Bytes frame = encode(record(Bytes(30, 0x41)));  // a 33-byte record
  EXPECT_EQ(decode(frame, &rec, 32), -1);
  EXPECT_TRUE(log.contains("output buffer error"));
  EXPECT_EQ(decode(frame, &rec, 33), 0);
  EXPECT_EQ(rec.size(), 33U);
}

TEST(CommFrame, LocatorAndEscapeErrors) {
  ztpu_test::LogCapture log;
  Bytes rec;
  EXPECT_EQ(decode({0x01, 0x02, 0x00, 0x21, 0x53, 0x70, 0x03}, &rec), -1);
  EXPECT_EQ(decode({0x02, 0x02, 0x00, 0x21, 0x53, 0x70, 0x04}, &rec), -1);
  EXPECT_EQ(log.count("protocol locators error."), 2U);
  // The last byte is an escaped 0x03: no ETX after it.
  EXPECT_EQ(decode({0x02, 0x02, 0x00, 0x21, 0x53, 0x10, 0x03}, &rec), -1);
  // DLE followed by a byte that is never escaped.
  EXPECT_EQ(decode({0x02, 0x02, 0x00, 0x10, 0x21, 0x53, 0x70, 0x03}, &rec), -1);
  EXPECT_EQ(log.count("protocol format error."), 2U);
}

TEST(CommFrame, BadLengthOrCheckFailsSilently) {
  Bytes frame = encode(record({0x21, 0x53, 0x00}));
  ztpu_test::LogCapture log;
  Bytes rec;
  Bytes bad_check = frame;
  bad_check[frame.size() - 2] ^= 0x01;
  EXPECT_EQ(decode(bad_check, &rec), -1);
  Bytes bad_len = frame;
  bad_len[1] = 0x04;  // one more than the record holds
  EXPECT_EQ(decode(bad_len, &rec), -1);
  EXPECT_TRUE(log.messages().empty()) << log.dump();
  // Too few bytes for a length and a check.
  EXPECT_EQ(decode({0x02, 0x10, 0x10, 0x10, 0x10, 0x03}, &rec), -1);
}

TEST(CommFrame, ShortRecordsSmallBuffersAndNullArgumentsAreRefused) {
  ztpu_test::LogCapture log;
  const Bytes rec = record({0x21, 0x53, 0x10});
  std::array<unsigned char, 64> out{};
  int n = -1;
  EXPECT_EQ(comm_protocol_parse(nullptr, 8, out.data(), 32, &n), -1);
  EXPECT_EQ(comm_protocol_parse(rec.data(), 8, nullptr, 32, &n), -1);
  EXPECT_EQ(comm_protocol_parse(rec.data(), 8, out.data(), 32, nullptr), -1);
  EXPECT_EQ(log.count("protocol length or output buffer error"), 3U);
  EXPECT_EQ(comm_protocol_gen(rec.data(), 5, out.data(), 64, &n), -1);
  EXPECT_EQ(comm_protocol_gen(nullptr, 6, out.data(), 64, &n), -1);
  EXPECT_EQ(comm_protocol_gen(rec.data(), 6, out.data(), 64, nullptr), -1);
  // 6 bytes + STX + ETX + two escapes (the length 0x03 and the 0x10) = 10.
  EXPECT_EQ(comm_protocol_gen(rec.data(), 6, out.data(), 9, &n), -1);
  EXPECT_EQ(comm_protocol_gen(rec.data(), 6, out.data(), 10, &n), 0);
  EXPECT_EQ(n, 10);
}

}  // namespace
