#include <atomic>
#include <thread>
#include <vector>

#include "sec_fixture.h"

using namespace sectest;

// Lookups while key versions switch and old tables go: whole rows only, no race.
TEST(SecurityThreads, LookupsDuringLoadsAndRemovals) {
  Board board;
  provision_identity(2);
  std::vector<Bytes> factors;
  for (u8 k = 1; k <= 6; ++k) factors.push_back(factor(0x09, k, 8, 0xCC, 0xDD));
  store_version(factors[0]);
  u8 v[2] = {0x09, 0x01};
  ASSERT_EQ(security_enable_pf(v), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0}, lookups{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200000 && !stop.load(); ++i, ++lookups) {
        u8 id[3] = {0xCC, 0xDD, static_cast<u8>((i + t) % 8)}, alg = 0;
        std::array<u8, 32> key{};
        int keylen = 0, known = 0;
        bad += security_get_algorithm_and_key(id, &alg, key.data(), &keylen) != 0;
        for (const Bytes& f : factors) {
          const security_key_row row = predicted_row(f, id[2]);
          known += row.alg == alg && std::memcmp(row.key, key.data(), 32) == 0;
        }
        bad += known == 0;
      }
    });
  }
  int removals = 0;
  for (u8 k = 2; k <= 6; ++k) {
    v[1] = k;
    store_version(factors[k - 1]);
    bad += security_enable_pf(v) != 0;  // no ASSERT: the readers must be joined
    removals += security_is_need_remove_old_keytable() && security_remove_keytable() == 0;
  }
  stop = true;
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(lookups.load(), 0);
  EXPECT_EQ(removals, 5);
  EXPECT_EQ(security_get_ctx()->cur_table_num, 1);
  EXPECT_EQ(security_get_ctx()->table[0]->version[1], 6);
}
