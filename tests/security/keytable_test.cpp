#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

#include "sec_fixture.h"

using namespace sectest;
using ztpu_test::LogCapture;

namespace {

u8 ver_of(int i) { return static_cast<u8>(0x10 + i); }

// A provisioned board (state 2) with the key files of the versions 01 1i.
class KeyTables : public testing::Test {
 protected:
  void SetUp() override { provision_identity(2); }
  void store(int i, const std::string& variant = "", u8 id0 = 0, u8 id1 = 0) {
    store_version(factor(0x01, ver_of(i), 4, id0, id1), variant);
  }
  int load(int i) {
    u8 v[2] = {0x01, ver_of(i)};
    return security_load_keytable(v, 2);
  }
  int enable(int i) {
    u8 v[2] = {0x01, ver_of(i)};
    return security_enable_pf(v);
  }
  int tables() { return security_get_ctx()->cur_table_num; }
  bool plugin_left() { return std::filesystem::exists(board_.dir.path() + "/tmp/tpupcx.so"); }

  Board board_;
};

}  // namespace

TEST_F(KeyTables, LoadsRowsThePluginDerives) {
  store(0);
  ASSERT_EQ(load(0), 0);
  ASSERT_EQ(tables(), 1);
  const security_key_table* t = security_get_ctx()->table[0];
  EXPECT_EQ(t->nRow, 4);
  EXPECT_EQ(t->version[1], ver_of(0));
  Bytes f = factor(0x01, ver_of(0), 4);
  for (u32 r = 0; r < 4; ++r) {
    security_key_row want = predicted_row(f, r);
    EXPECT_EQ(std::memcmp(&t->rows[r], &want, sizeof want), 0) << "row " << r;
  }
  EXPECT_FALSE(plugin_left());

  // Loading it again returns 0 and does not run the plug-in (its file is gone).
  std::filesystem::remove(board_.dir.path() + "/etc/poskey/" + enc_name("pcode_0110"));
  EXPECT_EQ(load(0), 0);
  EXPECT_EQ(tables(), 1);
}

TEST_F(KeyTables, CapacityIsEight) {
  for (int i = 0; i < 9; ++i) store(i);
  for (int i = 0; i < 8; ++i) ASSERT_EQ(load(i), 0) << i;
  EXPECT_EQ(load(8), -1);
  EXPECT_EQ(tables(), 8);
  EXPECT_FALSE(plugin_left());
}

TEST_F(KeyTables, BadPluginsLeaveTheSetUnchanged) {
  store(0);
  ASSERT_EQ(load(0), 0);
  struct Case {
    const char* variant;
    const char* message;
  };
  const Case cases[] = {{"zero", "invalid keyTable len 0"},
                        {"35", "invalid keyTable len 35"},
                        {"9252", "invalid keyTable len 9252"},
                        {"fail", "call fn error"}};
  int i = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variant);
    store(i, c.variant);
    LogCapture cap;
    EXPECT_EQ(load(i), -1);
    EXPECT_TRUE(cap.contains(c.message, LOG_ERR)) << cap.dump();
    EXPECT_TRUE(cap.contains("security_call_pcode fail"));
    EXPECT_EQ(tables(), 1);
    EXPECT_FALSE(plugin_left());
    ++i;
  }
  // Not a shared object at all.
  Bytes junk(200, 0x7F);
  Bytes pl = payload(junk, factor(0x01, ver_of(i), 4));
  ASSERT_EQ(security_save_pf2file(pl.data(), static_cast<u32>(pl.size())), 0);
  LogCapture cap;
  EXPECT_EQ(load(i), -1);
  EXPECT_TRUE(cap.contains("dlopen error"));
  EXPECT_FALSE(plugin_left());
  // A missing factor.
  u8 v[2] = {0x02, 0x02};
  EXPECT_EQ(security_load_keytable(v, 2), -1);
  EXPECT_TRUE(cap.contains("security_get_pfv[pcode] fail"));
  EXPECT_EQ(security_load_keytable(v, 1), -1);
  EXPECT_EQ(tables(), 1);
}

TEST_F(KeyTables, PlantedPluginPathIsReplacedNotFollowed) {
  store(0);
  board_.dir.write("victim", "precious");
  ASSERT_EQ(symlink((board_.dir.path() + "/victim").c_str(), "tmp/tpupcx.so"), 0);
  ASSERT_EQ(load(0), 0);
  EXPECT_EQ(board_.dir.read("victim"), "precious");
  EXPECT_FALSE(plugin_left());
  struct stat st {};
  EXPECT_NE(lstat("tmp/tpupcx.so", &st), 0);
}

TEST_F(KeyTables, LookupOrderAndMisses) {
  // Tables A and B share key ids 77 66 xx; A was loaded first.
  store(0, "", 0x77, 0x66);
  store(1, "", 0x77, 0x66);
  ASSERT_EQ(load(0), 0);
  ASSERT_EQ(load(1), 0);
  u8 id[3] = {0x77, 0x66, 2};
  u8 alg = 0;
  std::array<u8, 32> key{};
  int keylen = 0;
  ASSERT_EQ(security_get_algorithm_and_key(id, &alg, key.data(), &keylen), 0);
  security_key_row a = predicted_row(factor(0x01, ver_of(0), 4, 0x77, 0x66), 2);
  EXPECT_EQ(keylen, 32);
  EXPECT_EQ(alg, a.alg);
  EXPECT_EQ(std::memcmp(key.data(), a.key, 32), 0);

  LogCapture cap;
  u8 unknown[3] = {0x77, 0x66, 9};
  EXPECT_EQ(security_get_algorithm_and_key(unknown, &alg, key.data(), &keylen), -1);
  auto msgs = cap.messages();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].first, LOG_INFO);
  EXPECT_EQ(msgs[0].second, "[security_get_algorithm_and_key] now use keyid[1]:66 keyid[2]:03\n");
  EXPECT_EQ(msgs[1].first, LOG_ERR);
  EXPECT_EQ(msgs[1].second,
            "[security_get_algorithm_and_key] unkown keyid[0]:77 keyid[1]:66 keyid[2]:09\n");
}

TEST(KeyTablesEmpty, LookupsWithoutTablesFail) {
  Board board;
  LogCapture cap;
  u8 id[3] = {1, 2, 3}, alg = 0;
  std::array<u8, 32> key{};
  int keylen = 32, idlen = 3;
  EXPECT_EQ(security_get_algorithm_and_key(id, &alg, key.data(), &keylen), -1);
  EXPECT_TRUE(cap.contains("key table is not init(security_get_algorithm_and_key)\n"));
  EXPECT_EQ(security_get_random_alg_and_key(id, &idlen, &alg, key.data(), &keylen), -1);
  EXPECT_TRUE(cap.contains("key table is not init(security_get_random_alg_and_key)\n"));
}

TEST_F(KeyTables, RandomPicksAgreeWithinOneSecond) {
  store(0);
  store(1);
  ASSERT_EQ(load(0), 0);
  ASSERT_EQ(load(1), 0);
  std::array<u8, 3> id1{}, id2{};
  std::array<u8, 32> k1{}, k2{};
  u8 a1 = 0, a2 = 0;
  bool same_second = false;
  for (int attempt = 0; attempt < 3 && !same_second; ++attempt) {
    time_t before = time(nullptr);
    int il = 3, kl = 32;
    ASSERT_EQ(security_get_random_alg_and_key(id1.data(), &il, &a1, k1.data(), &kl), 0);
    EXPECT_EQ(il, 3);
    EXPECT_EQ(kl, 32);
    il = 3;
    kl = 32;
    ASSERT_EQ(security_get_random_alg_and_key(id2.data(), &il, &a2, k2.data(), &kl), 0);
    same_second = time(nullptr) == before;
  }
  ASSERT_TRUE(same_second);
  EXPECT_EQ(id1, id2);
  EXPECT_EQ(k1, k2);
  EXPECT_EQ(a1, a2);
  int small = 2, kl32 = 32;
  EXPECT_EQ(security_get_random_alg_and_key(id1.data(), &small, &a1, k1.data(), &kl32), -1);
}

TEST_F(KeyTables, RemovalKeepsOrderNeedsAMarkAndKeepsTheLastTable) {
  store(0);
  LogCapture cap;
  EXPECT_EQ(security_remove_keytable(), -1);
  EXPECT_TRUE(cap.contains("no keytable need to remove!!\n"));

  // Switch 0110 -> 0111 with 0111 saved: 0110 is marked.
  ASSERT_EQ(enable(0), 0);
  store(1);
  ASSERT_EQ(enable(1), 0);
  EXPECT_EQ(security_is_need_remove_old_keytable(), 1);
  ASSERT_EQ(tables(), 2);
  // Load C after; then remove the marked A: B, C stay in order.
  store(2);
  ASSERT_EQ(load(2), 0);
  ASSERT_EQ(security_remove_keytable(), 0);
  ASSERT_EQ(tables(), 2);
  EXPECT_EQ(security_get_ctx()->table[0]->version[1], ver_of(1));
  EXPECT_EQ(security_get_ctx()->table[1]->version[1], ver_of(2));
  EXPECT_EQ(security_is_need_remove_old_keytable(), 0);

  // Switching to C marks B; with B gone, a mark on the only table stays.
  ASSERT_EQ(enable(2), 0);
  ASSERT_EQ(security_remove_keytable(), 0);
  ASSERT_EQ(tables(), 1);
  security_get_ctx()->need_remove_ver = {1, {0x01, ver_of(1)}};
  EXPECT_EQ(security_remove_keytable(), -1);
  EXPECT_TRUE(cap.contains("only one keytable, could not remove it\n"));
  EXPECT_EQ(security_is_need_remove_old_keytable(), 1);
  EXPECT_EQ(tables(), 1);
}
