// The phone link: the record cache between the receiver and gate threads,
// and the Bluetooth port.
#include "ztpu/phone.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "gate_line.h"
#include "test_support.h"
#include "ztpu/crypto.h"

namespace {

using Bytes = std::vector<u8>;

std::atomic<std::time_t> g_now{1000};
std::time_t fake_clock() { return g_now.load(); }

// A record with a good CRC (low byte first) whose bytes start at `seed`.
Bytes good(u8 seed) {
  Bytes r(26);
  for (int i = 0; i < 24; ++i) r[i] = static_cast<u8>(seed + i);
  const u16 crc = crypto_crc16(r.data(), 24);
  r[24] = static_cast<u8>(crc & 0xFF);
  r[25] = static_cast<u8>(crc >> 8);
  return r;
}

void hear(Bytes b, int count = -1) {
  phone_read_handler(b.data(), count < 0 ? static_cast<int>(b.size()) : count, nullptr);
}

Bytes take() {
  phone_rx rx{};
  if (phone_receive(&rx) != 0) return {};
  const auto* p = reinterpret_cast<const u8*>(&rx);
  return Bytes(p, p + sizeof rx);
}

class Phone : public testing::Test {
 protected:
  void SetUp() override {
    g_now = 1000;
    phone_set_clock(fake_clock);
  }
  void TearDown() override { phone_set_clock(nullptr); }
};

TEST_F(Phone, OnlyWholeFreshRecordsWithTheirCrcLowByteFirstAreTakenOnce) {
  EXPECT_TRUE(take().empty());  // nothing heard yet
  hear(Bytes(26, 0));           // the CRC of 24 zero bytes is 0
  EXPECT_EQ(take(), Bytes(26, 0));
  Bytes swapped = good(3);
  ASSERT_NE(swapped[24], swapped[25]);
  std::swap(swapped[24], swapped[25]);
  Bytes longer = good(3);
  longer.push_back(0);
  for (const Bytes& bad : {longer, swapped}) hear(bad);
  hear(good(3), 25);
  EXPECT_TRUE(take().empty());
  // A newer good record replaces one not yet taken; a bad one does not.
  hear(good(1));
  hear(good(2));
  hear(swapped);
  g_now = 1001;
  EXPECT_EQ(take(), good(2));
  EXPECT_TRUE(take().empty());  // taken once
  hear(good(6));
  g_now = 1003;  // two seconds old: dropped by the poll that sees it
  EXPECT_TRUE(take().empty());
  g_now = 1001;
  EXPECT_TRUE(take().empty());
  hear(good(7));
  g_now = 990;  // clock set back: still fresh
  EXPECT_EQ(take(), good(7));
  EXPECT_EQ(phone_receive(nullptr), -1);
}

// The receiver thread fills while the gate thread takes: every record taken
// is one of those heard, whole.
TEST_F(Phone, ConcurrentFillAndTakeNeverTearARecord) {
  phone_set_clock(nullptr);
  // Bounded by time: on a loaded machine the receiver may not run at all.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::atomic<bool> stop{false};
  std::thread receiver([&] {
    for (int i = 0; !stop.load() && std::chrono::steady_clock::now() < deadline; ++i) {
      hear(good(static_cast<u8>(i)));
    }
  });
  int taken = 0;
  while (taken < 200 && std::chrono::steady_clock::now() < deadline) {
    phone_rx rx{};
    if (phone_receive(&rx) != 0) continue;
    ++taken;
    const auto* p = reinterpret_cast<const u8*>(&rx);
    EXPECT_EQ(Bytes(p, p + 26), good(p[0]));
  }
  stop = true;
  receiver.join();
  EXPECT_GT(taken, 0);
}

TEST(Bluetooth, TransmitWritesTheBytesAsTheyAre) {
  ztpu_test::ScratchDir dir;
  ztpu_test::LogCapture log;
  dir.mkdirs("dev");
  // Left as the system makes it: the port must set itself up raw.
  const ztpu_test::Pty pty("dev/ttySP0", false);
  ASSERT_TRUE(pty.ok());
  ASSERT_EQ(bt_open(), 0) << log.dump();

  phone_tx tx{};
  std::array<u8, 21> bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<u8>(0xF0 - i * 7);
  bytes[3] = 0x0A;  // nothing may be translated
  bytes[4] = 0x0D;
  std::memcpy(&tx, bytes.data(), bytes.size());
  EXPECT_EQ(phone_transmit(&tx), 21);
  // One byte more is asked for, so that an added one shows.
  EXPECT_EQ(pty.read_bytes(22, 300), Bytes(bytes.begin(), bytes.end()));
  bt_close();
  EXPECT_LT(phone_transmit(&tx), 0);
  bt_close();  // closing twice is harmless
}

}  // namespace
