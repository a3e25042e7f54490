#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "ztpu/crypto.h"

// The first call loads the legacy provider; concurrent first calls must not race.
TEST(CryptoThreads, ConcurrentCiphersAgree) {
  std::array<unsigned char, 16> key{};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::array<unsigned char, 21> pt{};
      std::array<unsigned char, 48> ct{}, back{};
      pt.fill(static_cast<unsigned char>(t));
      for (int r = 0, n = 0, m = 0; r < 200; ++r) {
        crypto_param e{t % 2 ? 1 : 26, pt.data(), 21, key.data(), 16, key.data(), 16, 1};
        crypto_param d{e.mode, ct.data(), 24, key.data(), 16, key.data(), 16, 0};
        failures += crypto_crypt(&e, ct.data(), &n) != 0 || n != 24 ||
                    crypto_crypt(&d, back.data(), &m) != 0 || m != 21 ||
                    !std::equal(pt.begin(), pt.end(), back.begin());
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}
