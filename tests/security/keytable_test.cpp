#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

#include "sec_fixture.h"

using namespace sectest;

namespace {

// A provisioned board (state 2) with the key files of the versions 01 1i.
class KeyTables : public testing::Test {
 protected:
  void SetUp() override { provision_identity(2); }
  void store(int i, u8 id = 0) { store_version(factor(0x01, u8(0x10 + i), 4, id, id)); }
  int load(int i, bool enable = false) {
    u8 v[2] = {0x01, u8(0x10 + i)};
    return enable ? security_enable_pf(v) : security_load_keytable(v, 2);
  }
  // "mark:versions", and "+so" if the plug-in file stayed.
  std::string tables() {
    std::string s = std::to_string(security_is_need_remove_old_keytable()) + ":";
    for (int t = 0; t < security_get_ctx()->cur_table_num; ++t)
      s += std::to_string(security_get_ctx()->table[t]->version[1] - 0x10);
    return s + (std::filesystem::exists("tmp/tpupcx.so") ? "+so" : "");
  }
  Board board_;
};

}  // namespace

TEST_F(KeyTables, BadPluginsPlantedPathAndCapacity) {
  for (int i = 0; i < 9; ++i) store(i);
  ASSERT_EQ(load(0), 0);
  EXPECT_EQ(security_get_ctx()->table[0]->nRow, 4);
  const std::pair<const char*, const char*> cases[] = {{"_zero", "invalid keyTable len 0"},
                                                       {"_35", "invalid keyTable len 35"},
                                                       {"_9252", "invalid keyTable len 9252"},
                                                       {"_fail", "call fn error"},
                                                       {"", "dlopen error"}};
  int i = 9;
  for (const auto& [variant, message] : cases) {
    const Bytes f = factor(1, u8(0x10 + i), 4);
    ASSERT_EQ(save_pf(payload(*variant ? plugin_image(variant) : Bytes(200, 0x7F), f)), 0);
    LogCapture cap;  // the text tells which guard refused
    EXPECT_EQ(load(i++), -1);
    EXPECT_TRUE(cap.contains(message, LOG_ERR)) << cap.dump();
    EXPECT_EQ(tables(), "0:0");
  }
  u8 v[2] = {0x02, 0x02};  // no such version
  EXPECT_EQ(security_load_keytable(v, 2) + security_load_keytable(v, 1), -2);
  // A planted plug-in path is replaced, not followed.
  board_.dir.write("victim", "precious");
  ASSERT_EQ(symlink((board_.dir.path() + "/victim").c_str(), "tmp/tpupcx.so"), 0);
  ASSERT_EQ(load(1), 0);
  EXPECT_EQ(board_.dir.read("victim"), "precious");
  struct stat st {};
  EXPECT_NE(lstat("tmp/tpupcx.so", &st), 0);
  for (int k = 2; k < 8; ++k) ASSERT_EQ(load(k), 0) << k;
  EXPECT_EQ(load(8), -1);  // room for eight
  std::filesystem::remove(store_file("pcode_0110"));
  EXPECT_EQ(load(0), 0);  // loaded already: the plug-in does not run
  EXPECT_EQ(tables(), "0:01234567");
}

TEST_F(KeyTables, LookupsAndRandomPicks) {
  u8 id[3] = {0x77, 0x77, 2}, alg = 0;
  std::array<u8, 32> k1{}, k2{};
  int idl = 3, kl = 32;
  EXPECT_EQ(security_get_random_alg_and_key(id, &idl, &alg, k1.data(), &kl), -1);
  expect_lookup(id, nullptr);
  // Two tables share the key ids; the first loaded answers.
  store(0, 0x77);
  store(1, 0x77);
  ASSERT_EQ(load(0) + load(1), 0);
  const security_key_row a = predicted_row(factor(0x01, 0x10, 4, 0x77, 0x77), 2);
  expect_lookup(id, &a);
  LogCapture cap;
  id[2] = 9;
  expect_lookup(id, nullptr);
  EXPECT_TRUE(cap.contains("now use keyid[1]:77 keyid[2]:03\n", LOG_INFO));  // its only effect
  std::array<u8, 3> id1{}, id2{};
  u8 a1 = 0, a2 = 0;
  bool same_second = false;
  for (int attempt = 0; attempt < 3 && !same_second; ++attempt) {
    const time_t before = time(nullptr);
    ASSERT_EQ(security_get_random_alg_and_key(id1.data(), &idl, &a1, k1.data(), &kl), 0);
    EXPECT_EQ(idl * 100 + kl, 332);
    ASSERT_EQ(security_get_random_alg_and_key(id2.data(), &idl, &a2, k2.data(), &kl), 0);
    same_second = time(nullptr) == before;
  }
  ASSERT_TRUE(same_second);
  EXPECT_EQ(std::tie(id1, k1, a1), std::tie(id2, k2, a2));
  idl = 2;
  EXPECT_EQ(security_get_random_alg_and_key(id1.data(), &idl, &a1, k1.data(), &kl), -1);
}

TEST_F(KeyTables, RemovalKeepsOrderNeedsAMarkAndKeepsTheLastTable) {
  store(0);
  EXPECT_EQ(security_remove_keytable(), -1);  // no mark
  ASSERT_EQ(load(0, true), 0);
  store(1);
  ASSERT_EQ(load(1, true), 0);  // switch 0110 -> 0111 with 0111 saved: 0110 is marked
  store(2);
  ASSERT_EQ(load(2), 0);  // C loaded after; removing the marked A leaves B, C in order
  EXPECT_EQ(tables(), "1:012");
  ASSERT_EQ(security_remove_keytable(), 0);
  EXPECT_EQ(tables(), "0:12");
  ASSERT_EQ(load(2, true), 0);  // marks B; with B gone, a mark on the only table stays
  ASSERT_EQ(security_remove_keytable(), 0);
  security_get_ctx()->need_remove_ver = {1, {0x01, 0x11}};
  EXPECT_EQ(security_remove_keytable(), -1);
  EXPECT_EQ(tables(), "1:2");
}
