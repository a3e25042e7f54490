#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "sec_fixture.h"

using namespace sectest;

// The first call loads the legacy provider; concurrent first calls must not race.
TEST(CryptoThreads, ConcurrentCiphersAgree) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::array<u8, 48> pt{}, ct{}, back{};  // key and IV: the clear text
      pt.fill(static_cast<u8>(t));
      for (int r = 0, n = 0, m = 0; r < 200; ++r) {
        crypto_param e{t % 2 ? 1 : 26, pt.data(), 21, pt.data(), 16, pt.data(), 16, 1};
        crypto_param d{e.mode, ct.data(), 24, pt.data(), 16, pt.data(), 16, 0};
        failures += crypto_crypt(&e, ct.data(), &n) != 0 ||
                    crypto_crypt(&d, back.data(), &m) != 0 || m != 21 ||
                    !std::equal(pt.begin(), pt.begin() + 21, back.begin());
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

// Lookups while key versions switch and old tables go (races are for TSan to see).
TEST(SecurityThreads, LookupsDuringLoadsAndRemovals) {
  Board board;
  provision_identity(2);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  auto reader = [&] {
    for (int i = 0; i < 200000 && !stop; ++i) {
      u8 id[3] = {0xCC, 0xDD, static_cast<u8>(i % 8)}, alg = 0, key[32];
      int keylen = 0;
      bad += security_get_algorithm_and_key(id, &alg, key, &keylen) != 0 || keylen != 32;
    }
  };
  std::vector<std::thread> threads;
  for (u8 k = 1; k <= 6; ++k) {
    u8 v[2] = {0x09, k};
    store_version(factor(0x09, k, 8, 0xCC, 0xDD));
    bad += security_enable_pf(v) != 0;  // no ASSERT: the readers must be joined
    bad += security_is_need_remove_old_keytable() && security_remove_keytable() != 0;
    if (k == 1) threads.emplace_back(reader), threads.emplace_back(reader);
  }
  stop = true;
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(security_get_ctx()->cur_table_num * 10 + security_get_ctx()->table[0]->version[1], 16);
}
