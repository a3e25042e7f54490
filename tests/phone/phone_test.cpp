// The phone link's record cache between the receiver and gate threads.
#include "ztpu/phone.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ztpu/crypto.h"

namespace {
using Bytes = std::vector<u8>;
std::atomic<std::time_t> g_now{1000};
std::time_t fake_clock() { return g_now.load(); }

// A record with a good CRC (low byte first) whose bytes start at `seed`.
Bytes good(u8 seed) {
  Bytes r(24);
  for (int i = 0; i < 24; ++i) r[i] = static_cast<u8>(seed + i);
  const u16 crc = crypto_crc16(r.data(), 24);
  r.insert(r.end(), {static_cast<u8>(crc & 0xFF), static_cast<u8>(crc >> 8)});
  return r;
}
void hear(Bytes b, size_t n = 26) { phone_read_handler(b.data(), static_cast<int>(n), nullptr); }
Bytes take() {
  phone_rx rx{};
  const auto* p = reinterpret_cast<const u8*>(&rx);
  return phone_receive(&rx) == 0 ? Bytes(p, p + sizeof rx) : Bytes{};
}

TEST(Phone, OnlyWholeFreshRecordsWithTheirCrcLowByteFirstAreTakenOnce) {
  phone_set_clock(fake_clock);
  Bytes swapped = good(3);
  std::swap(swapped[24], swapped[25]);
  hear(good(3), 25);
  hear(swapped);
  EXPECT_TRUE(take().empty());
  // A newer good record replaces one not yet taken; a bad one does not.
  for (const Bytes& r : {good(1), good(2), swapped}) hear(r);
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
  hear(good(8));
  EXPECT_EQ(phone_receive(nullptr), -1);
  phone_set_clock(nullptr);
}

// The receiver fills while the gate takes: every record taken is whole.
TEST(Phone, ConcurrentFillAndTakeNeverTearARecord) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::atomic<bool> stop{false};
  std::thread receiver([&] {
    for (u8 i = 0; !stop && std::chrono::steady_clock::now() < deadline; ++i) hear(good(i));
  });
  int taken = 0;
  while (taken < 200 && std::chrono::steady_clock::now() < deadline) {
    const Bytes r = take();
    if (r.empty()) continue;
    ++taken;
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 26), good(r[0]));
  }
  stop = true;
  receiver.join();
  EXPECT_GT(taken, 0);
}

}  // namespace
