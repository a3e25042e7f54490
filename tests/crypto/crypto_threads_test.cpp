#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "ztpu/crypto.h"

// The legacy provider is loaded by whichever call comes first; calls from
// several threads at once must neither race on it nor disturb each other.
TEST(CryptoThreads, ConcurrentCiphersAgree) {
  std::array<unsigned char, 16> key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(i * 3);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const int mode = (t % 2 == 0) ? 26 : 1;  // Blowfish and DES: legacy provider
      std::array<unsigned char, 21> pt{};
      pt.fill(static_cast<unsigned char>(t));
      std::array<unsigned char, 48> ct{}, back{};
      for (int r = 0; r < 200; ++r) {
        crypto_param e{mode, pt.data(), 21, key.data(), 16, key.data(), 16, 1};
        int n = 0, m = 0;
        const bool enc_ok = crypto_crypt(&e, ct.data(), &n) == 0 && n == 24;
        crypto_param d{mode, ct.data(), n, key.data(), 16, key.data(), 16, 0};
        failures += !enc_ok || crypto_crypt(&d, back.data(), &m) != 0 || m != 21 ||
                    !std::equal(pt.begin(), pt.end(), back.begin());
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}
