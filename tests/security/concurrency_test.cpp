#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "sec_fixture.h"

using namespace sectest;
using std::chrono::milliseconds;

// Lookups and random picks on the gate and heartbeat threads while the
// command thread switches key versions and the heartbeat thread removes the
// old tables: every answer must be a whole row of a version that was
// loaded, and nothing may race (run under ThreadSanitizer).
TEST(SecurityThreads, LookupsDuringLoadsAndRemovals) {
  Board board;
  provision_identity(2);
  constexpr int kVersions = 6;
  std::vector<Bytes> factors;
  for (int k = 1; k <= kVersions; ++k) factors.push_back(factor(0x09, u8(k), 8, 0xCC, 0xDD));
  auto known = [&](const u8* id, u8 alg, const u8* key) {
    if (id[0] != 0xCC || id[1] != 0xDD || id[2] >= 8) return false;
    for (const Bytes& f : factors) {
      security_key_row row = predicted_row(f, id[2]);
      if (row.alg == alg && std::memcmp(row.key, key, 32) == 0) return true;
    }
    return false;
  };
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0}, lookups{0}, removals{0};
  std::vector<std::thread> threads;
  auto loop = [&](int n, auto body) {
    threads.emplace_back([&stop, n, body] {
      for (int i = 0; i < n && !stop.load(); ++i) body(i);
    });
  };
  store_version(factors[0]);
  u8 first[2] = {0x09, 0x01};
  ASSERT_EQ(security_enable_pf(first), 0);
  for (int t = 0; t < 2; ++t) {
    loop(200000, [&, t](int i) {
      u8 id[3] = {0xCC, 0xDD, static_cast<u8>((i + t) % 8)}, alg = 0;
      std::array<u8, 32> key{};
      int keylen = 0;
      bad += security_get_algorithm_and_key(id, &alg, key.data(), &keylen) != 0 ||
             !known(id, alg, key.data());
      ++lookups;
    });
  }
  loop(200000, [&](int) {
    std::array<u8, 3> id{};
    std::array<u8, 32> key{};
    std::array<u8, 16> tac{};
    int idlen = 3, keylen = 32, tacl = 16;
    u8 alg = 0, data[16] = {1, 2, 3};
    bad += security_get_random_alg_and_key(id.data(), &idlen, &alg, key.data(), &keylen) != 0 ||
           !known(id.data(), alg, key.data());
    bad += security_gen_tac(data, 16, id.data(), tac.data(), &tacl) != 0;
  });
  loop(100000, [&](int) {  // the heartbeat thread's removal
    if (security_is_need_remove_old_keytable() && security_remove_keytable() == 0) ++removals;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  });
  int switched = 0;
  for (int k = 1; k < kVersions; ++k) {
    u8 v[2] = {0x09, static_cast<u8>(k + 1)};
    if (save_pf(payload(plugin_image(), factors[size_t(k)])) != 0 || security_enable_pf(v) != 0)
      break;
    ++switched;
    std::this_thread::sleep_for(milliseconds(5));
  }
  // Let the remover see the last mark, bounded in time.
  for (int i = 0; i < 200 && security_is_need_remove_old_keytable(); ++i)
    std::this_thread::sleep_for(milliseconds(5));
  stop = true;
  for (auto& th : threads) th.join();
  EXPECT_EQ(switched, kVersions - 1);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(lookups.load(), 0);
  EXPECT_GT(removals.load(), 0);
  EXPECT_EQ(security_get_ctx()->cur_table_num, 1);
  EXPECT_EQ(security_get_ctx()->table[0]->version[1], kVersions);
}
