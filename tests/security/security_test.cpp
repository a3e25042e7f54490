#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <set>

#include "failing_new.h"
#include "sec_fixture.h"
#include "ztpu/fileio.h"

using namespace sectest;
namespace fs = std::filesystem;

namespace {
constexpr const char* kFuse = "sys/fsl_otp/HW_OCOTP_CUST0";
std::string db_file() { return store_file("tpu.db"); }
const char* g_failing_suffix = "";
int fail_suffix(const char* path) {
  return std::string(path).ends_with(g_failing_suffix) ? ENOSPC : 0;
}
bool exists_enc(const std::string& logical) { return fs::exists(store_file(logical)); }

class KeyTables : public testing::Test {
 protected:
  void SetUp() override { provision_identity(2); }
  void store(int i, u8 id = 0) { store_version(factor(0x01, u8(0x10 + i), 4, id, id)); }
  int load(int i, bool enable = false) {
    u8 v[2] = {0x01, u8(0x10 + i)};
    return enable ? security_enable_pf(v) : security_load_keytable(v, 2);
  }
  std::string tables() {
    std::string s = std::to_string(security_is_need_remove_old_keytable()) + ":";
    for (int t = 0; t < security_get_ctx()->cur_table_num; ++t)
      s += std::to_string(security_get_ctx()->table[t]->version[1] - 0x10);
    return s + (fs::exists("tmp/tpupcx.so") ? "+so" : "");
  }
  Board board_;
};

class TicketCrypto : public testing::Test {
 protected:
  void SetUp() override { start_unit(fac_); }
  int open(Bytes v, u8 r, int room = 64) {  // the clear length, or -1
    u8 id[3] = {0xA0, 0xB0, r};
    decrypt_voucher_param p{v.data(), static_cast<int>(v.size()), id, 3};
    out_.fill(0);
    return security_decrypt_voucher(&p, out_.data(), &room) == 0 ? room : -1;
  }
  Bytes voucher(u8 r, Bytes body, bool high_first, u16 flip = 0) {  // as an issuer makes it
    security_key_row row = predicted_row(fac_, r);
    const u16 crc = crypto_crc16(body.data(), static_cast<int>(body.size())) ^ flip;
    body.push_back(static_cast<u8>(high_first ? crc >> 8 : crc & 0xFF));
    body.push_back(static_cast<u8>(high_first ? crc & 0xFF : crc >> 8));
    return encipher(row.alg, body, row.key, 32, row.key, 32);
  }
  Board board_;
  Bytes fac_ = factor(0x01, 0x01, 8, 0xA0, 0xB0);
  std::array<u8, 64> out_{};
};

}  // namespace

TEST(StoreHelpers, FuseSerialNumberAndBoardBoundNames) {
  Board board;
  const std::string a = store_file("tpu.db");
  EXPECT_TRUE(a == store_file("tpu.db") && a != store_file("key_v0"));
  EXPECT_TRUE(a.size() == 43 && a.find_first_not_of("0123456789ABCDEF", 11) == a.npos) << a;
  using Ssn = std::array<u8, 8>;
  const Ssn full = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  // The characters between '9' and 'A' are junk.
  // clang-format off
  const std::tuple<const char*, int, Ssn> cases[] = {
      {"0x0123456789ABCDEF\n", 0, full}, {"123456789abcdef0123", 0, full},
      {"0X1A2B3C4D\n", 0, {0x1A, 0x2B, 0x3C, 0x4D}}, {"0x12G4\n", -1, {}}, {"0x1:\n", -1, {}},
      {"", -1, {}}, {nullptr, -1, {}}};
  // clang-format on
  for (const auto& [text, rc, want] : cases) {
    text ? board.dir.write(kFuse, text) : (void)fs::remove(kFuse);
    Ssn ssn{};
    EXPECT_EQ(security_get_cpussn(ssn.data()), rc) << text;
    EXPECT_EQ(ssn, want) << text;
  }
}

// Some seeds meet a bound whose low 8 bits are 0 (a trap as a divisor).
TEST(StoreSecret, ScrambleIsExactInverseAndKeysSpread) {
  std::set<std::array<u8, 8>> seen;
  for (unsigned seed = 0; seed < 5000; ++seed) {
    std::array<u8, 8> k{}, flag{}, back{};
    security_Key_gen_seeded(k.data(), seed);
    security_flag_encode(k.data(), flag.data());
    security_flag_decode(flag.data(), back.data());
    ASSERT_EQ(back, k) << seed;
    seen.insert(k);
  }
  EXPECT_GT(seen.size(), 4900u);
}

// Record file F, backup F.b, digest F.d as a crash, bit rot or failed write leave them.
TEST(StoreRecord, NewRecordBackupAndDigestCases) {
  Board board;
  const security_db fresh = read_db();
  const auto* raw = reinterpret_cast<const u8*>(&fresh);
  EXPECT_EQ(Bytes(raw, raw + 4), (Bytes{1, 1, 0, 0}));  // version, state, crc
  EXPECT_NE(Bytes(raw + 4, raw + 12), Bytes(8, 0));     // the scrambled secret
  provision_identity(2);
  const std::string f = db_file(), b = f + ".b", d = f + ".d";
  const std::string old = board.dir.read(f), old_d = board.dir.read(d);
  ASSERT_EQ(security_set_tpustate(5), 0);  // no held copy: written through
  const std::string cur = board.dir.read(f), cur_d = board.dir.read(d);
  ASSERT_TRUE(old != cur && old_d != cur_d);
  security_exit();
  std::string rotten = cur, garbage(old.size(), 'g'), bad_state = cur, version = cur;
  rotten[30] ^= 1, bad_state[1] = 2, version[0] = 2;  // state and version: the clear head
  using Opt = std::optional<std::string>;
  // Expected state 0: refused; log: a part of the one message, "" for none.
  const std::tuple<Opt, Opt, Opt, bool, int, const char*> cases[] = {
      {"", old, old_d, true, 2, "restored from its backup"},                 // cut, then crash
      {old.substr(0, 20), old, old_d, true, 2, "restored from its backup"},  // torn write
      {cur, old, old_d, true, 2, "does not match its digest"},      // rewrite not committed
      {cur, old, cur_d, false, 5, ""},                              // committed, stale backup
      {"", garbage, old_d, false, 0, "does not match the digest"},  // backup not committed
      {old.substr(0, 20), garbage, {}, false, 0, "damaged too"},
      {rotten, {}, cur_d, false, 0, "has no backup"},
      {"", {}, old_d, false, 0, "has no backup"},
      {"", {}, {}, false, 1, ""},   // never written: a new store
      {cur, {}, {}, false, 5, ""},  // written before digests
      {bad_state, {}, {}, false, 0, "crc err"},
      {version, {}, {}, false, 0, "invalid db ver"},
      {cur.substr(0, 63), {}, {}, false, 0, "invalid data read"}};
  int i = 0;
  for (const auto& [file, bak, dig, restored, state, log] : cases) {
    SCOPED_TRACE(i++);
    for (const auto& [rel, content] : {std::pair{f, file}, {b, bak}, {d, dig}}) {
      fs::remove(rel);
      if (content) board.dir.write(rel, *content);
    }
    LogCapture cap;
    EXPECT_EQ(read_db().state, state) << cap.dump();
    EXPECT_TRUE(state == 1 || board.dir.read(f) == (restored ? *bak : *file)) << board.dir.read(f);
    EXPECT_EQ(board.dir.exists(b), !restored && bak.has_value());
    EXPECT_TRUE(*log ? cap.contains(log) : cap.messages().empty()) << cap.dump();
    security_exit();
  }
}

// A full disk at each file of a rewrite keeps the committed record; files stay 0600.
TEST(StoreRecord, FailedRewritesKeepTheCommittedRecord) {
  Board board;
  provision_identity(2);
  const std::string f = db_file(), committed = board.dir.read(f);
  for (const char* suffix : {".b", ".d"}) {
    g_failing_suffix = suffix;
    ztpu::fileio::set_fault(fail_suffix);
    DbCopy db = held();
    db->state = 7;
    EXPECT_EQ(flush(db), -1) << suffix;
    ztpu::fileio::set_fault(nullptr);
    EXPECT_EQ(board.dir.exists(f + ".b"), suffix[1] == 'd') << suffix;
    EXPECT_EQ(read_db().state, 2);
    EXPECT_EQ(board.dir.read(f), committed);
  }
  ASSERT_EQ(chmod(f.c_str(), 0644), 0);
  ASSERT_EQ(security_set_tpustate(3), 0);
  for (const auto& e : fs::directory_iterator("etc/poskey"))
    EXPECT_EQ(static_cast<unsigned>(e.status().permissions()) & 0777, 0600u) << e.path();
}

// A setter whose write fails leaves the held copy, the state and the file as they were.
TEST(StoreRecord, FailedSetterWritesChangeNothing) {
  Board board;
  start_unit(factor(0x01, 0x01));
  const std::string f = db_file();
  u8 v16[16] = {0xC7}, ssn[12] = {}, ver[2] = {0x07, 0x07};
  const std::function<int()> setters[] = {
      [&] { return security_set_confver(v16, 16); }, [&] { return security_set_runkeyver(ver, 2); },
      [&] { return security_set_savekeyver(ver, 2); }, [] { return security_set_tpustate(9); },
      [&] { return security_save_deviceid_and_ssn(v16, ssn); }};
  for (const char* suffix : {".b", ".d"}) {
    for (size_t i = 0; i < std::size(setters); ++i) {
      const security_db before = *security_get_pdb();
      const std::string committed = board.dir.read(f);
      g_failing_suffix = suffix;
      ztpu::fileio::set_fault(fail_suffix);
      EXPECT_EQ(setters[i](), -1) << i << suffix;
      ztpu::fileio::set_fault(nullptr);
      u8 state = 0;
      EXPECT_TRUE(security_get_tpustate(&state) == 0 && state == 2) << i << suffix;
      EXPECT_EQ(std::memcmp(security_get_pdb(), &before, sizeof before), 0) << i << suffix;
      const security_db stored = read_db();  // after ".d": restored from the backup
      EXPECT_EQ(std::memcmp(&stored, &before, sizeof before), 0) << i << suffix;
      EXPECT_EQ(board.dir.read(f), committed) << i << suffix;
    }
  }
}

TEST(StoreCryptfile, RoundTripsFailuresAndAllocationFailures) {
  Board board;
  provision_identity();
  DbCopy db = held();
  char item[] = "item", fresh[] = "fresh", missing[] = "missing";
  const std::string path = store_file(item);
  u8* out = nullptr;
  u32 len = 0;
  auto get = [&](char* name) {
    free(std::exchange(out, nullptr));
    return security_get_cryptfile(db.get(), name, &out, &len);
  };
  for (u32 n : {1u, 15u, 16u, 1000u, 100u}) {
    Bytes in(n);
    for (size_t i = 0; i < n; ++i) in[i] = static_cast<u8>(i * 7 + 3);
    ASSERT_EQ(security_save_cryptfile(db.get(), item, 1, in.data(), n), 0);
    ASSERT_EQ(get(item), 0) << n;
    EXPECT_EQ(Bytes(out, out + len), in);
    EXPECT_FALSE(board.dir.exists(path + ".b"));
  }
  const std::string stored = board.dir.read(path);
  const std::function<int()> cases[] = {
      [&] { return security_save_cryptfile(db.get(), item, 1, out, 100); },
      [&] { return get(item); }, [] { return DbCopy(held()) ? 0 : -1; }};
  const auto unchanged = [&](int) { EXPECT_EQ(board.dir.read(path), stored); };
  for (const auto& c : cases) EXPECT_GE(ztpu_test::each_allocation_failure(8, c, unchanged), 1);
  EXPECT_EQ(security_save_cryptfile(db.get(), fresh, 0, out, 1), -1);
  EXPECT_FALSE(board.dir.exists(store_file(fresh)));
  EXPECT_EQ(get(missing), -1);  // and a missing one is left behind empty
  EXPECT_EQ(board.dir.read(store_file(missing)), "");
  db->tpuSSN[0] ^= 1;  // another tpuSSN cannot read it
  EXPECT_EQ(get(item), -1);
  free(out);
}

TEST(Provisioning, NewBoardThenStartedUnitGettersAndSetters) {
  Board board;
  u8 state = 0;
  EXPECT_EQ(security_get_tpustate(&state) + state, 1);
  EXPECT_EQ(security_init(), -1);  // not provisioned
  EXPECT_TRUE(security_get_ctx()->dbFd == -1 && security_get_pdb() == nullptr);
  start_unit(factor(0x01, 0x01));
  std::array<u8, 16> id{}, cv{}, back{};
  EXPECT_TRUE(security_get_deviceid(id.data(), 16) == 0 && id == kDeviceId);
  id.fill(0xFF);  // too little room: the given bytes cleared
  EXPECT_EQ(security_get_deviceid(id.data(), 8), -1);
  EXPECT_EQ(Bytes(id.begin(), id.begin() + 9), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0xFF}));
  Bytes info(12);  // device type 110000, then the fuse serial number
  EXPECT_EQ(security_get_device_info(info.data()), 12);
  EXPECT_EQ(info, (Bytes{0xB0, 0xAD, 1, 0, 1, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
  cv.fill(0xC1);
  ASSERT_EQ(security_set_confver(cv.data(), 16), 0);
  EXPECT_TRUE(security_get_confver(back.data(), 16) == 16 && back == cv &&
              !std::memcmp(read_db().confVer, cv.data(), 16));
  u8 sv[2] = {0x09, 0x09}, rv[2] = {0x01, 0x02};
  EXPECT_EQ(security_set_savekeyver(sv, 2) + security_set_runkeyver(sv, 3), -1);
  EXPECT_EQ(security_set_tpustate(5), 0);  // written at once, also with a held copy
  EXPECT_EQ(rec(), "5 0909 0101");
  ASSERT_EQ(security_set_runkeyver(rv, 2), 0);
  EXPECT_EQ(rec(), "5 0909 0102");
}

TEST(Provisioning, ConfigAndKeyPayloads) {
  Board board;
  provision_identity();
  u8 v0 = 9, conf = 9, pf = 9;
  auto stat = [&] {
    return security_get_cryptfile_stat(&v0, &conf, &pf) * 1000 + v0 * 100 + conf * 10 + pf;
  };
  EXPECT_EQ(stat(), 100);
  std::string text = "server_ip=127.0.0.1\n";
  EXPECT_EQ(security_save_config(reinterpret_cast<u8*>(text.data()), 0), -1);
  ASSERT_EQ(security_save_config(reinterpret_cast<u8*>(text.data()), int(text.size())), 0);
  // Without a plug-in the saved one is copied; none saved yet: refused.
  const Bytes none = payload(Bytes{}, factor(0x03, 0x01));
  EXPECT_EQ(save_pf(none), -1);
  ASSERT_EQ(security_set_tpustate(2), 0);
  store_version(factor(0x03, 0x00));
  ASSERT_EQ(save_pf(none), 0);
  EXPECT_EQ(rec(), "2 0301 0000");
  const std::string bad = store_file("factor_0302") + ".d";  // the factor cannot be stored
  g_failing_suffix = bad.c_str();
  ztpu::fileio::set_fault(fail_suffix);
  EXPECT_EQ(save_pf(payload(Bytes{}, factor(0x03, 0x02))), -1);
  ztpu::fileio::set_fault(nullptr);
  EXPECT_EQ(rec(), "2 0301 0000");
  u8 v[2] = {0x03, 0x01};
  ASSERT_EQ(security_load_keytable(v, 2), 0);  // the copy
  EXPECT_EQ(stat(), 111);
  board.dir.write(store_file("factor_0301"), "");  // an empty factor file no longer counts
  EXPECT_EQ(stat(), 110);
  // P (4 bytes), P filler bytes, F (2 bytes), F enciphered bytes naming 02 01.
  Bytes fac(16, 0x44), huge_p = {0xF0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  fac[0] = 2, fac[1] = 1;
  Bytes ok = payload(Bytes{}, fac), f0 = payload({}, {}), f1 = payload({}, {2});
  for (Bytes* b : {&ok, &f0, &f1}) b->at(0) = 100, b->insert(b->begin() + 4, 100, 0x33);
  Bytes longer = ok;
  longer.push_back(0);
  LogCapture cap;  // the texts tell which guard refused
  const std::tuple<const Bytes*, size_t, const char*> refused[] = {
      {&ok, 121, "invalid factor-len:16\n"},      {&longer, 123, "invalid factor-len:16\n"},
      {&f0, f0.size(), "invalid factor-len:0\n"}, {&ok, 4, "data too small\n"},
      {&ok, 0, "pf data len(0) is invalid"},      {&huge_p, 14, "invalid pcode-len:4294967280\n"},
      {&f1, f1.size(), "factor too short"}};  // one byte names no version
  for (const auto& [data, len, message] : refused) {
    EXPECT_EQ(security_save_pf2file(const_cast<u8*>(data->data()), u32(len)), -1);
    EXPECT_TRUE(cap.contains(message)) << message << cap.dump();
  }
  ASSERT_EQ(ok.size(), 122u);
  EXPECT_EQ(save_pf(ok), 0);
  EXPECT_EQ(rec(), "2 0201 0000");
  EXPECT_TRUE(exists_enc("pcode_0201") && exists_enc("factor_0201"));
}

TEST(Provisioning, VersionSwitchingRules) {
  Board board;
  provision_identity(2);
  store_version(factor(0x05, 0x01));
  u8 a[2] = {0x05, 0x01}, b[2] = {0x05, 0x02}, c[2] = {0x05, 0x03}, d[2] = {0x05, 0x04};
  auto now = [] {
    return std::to_string(security_is_need_remove_old_keytable()) + " " +
           std::to_string(security_get_ctx()->cur_table_num) + " " + rec() + " " +
           std::to_string(exists_enc("pcode_0501")) + std::to_string(exists_enc("pcode_0502")) +
           std::to_string(exists_enc("factor_0502") + fs::exists(store_file("factor_0502") + ".d"));
  };
  ASSERT_EQ(security_enable_pf(a), 0);  // from 00 00: nothing deleted, no mark
  EXPECT_EQ(now(), "0 1 2 0501 0501 100");
  store_version(factor(0x05, 0x02));
  DbCopy db = held();  // the saved version is the old one
  std::memcpy(db->savekeyver, a, 2);
  ASSERT_EQ(flush(db), 0);
  ASSERT_EQ(security_enable_pf(b), 0);
  EXPECT_EQ(now(), "0 2 2 0501 0502 112");
  // Switching from O to a saved V deletes O's files and digests, and marks O.
  store_version(factor(0x05, 0x03));
  ASSERT_EQ(security_enable_pf(c), 0);
  EXPECT_EQ(now(), "1 3 2 0503 0503 100");
  EXPECT_EQ(security_enable_pf(d), -1);  // a table that does not load changes nothing
  EXPECT_EQ(rec(), "2 0503 0503");
}

TEST(ProvisionTool, NewUnitToReady) {
  Board board;
  const std::string tool =
      ztpu_test::program_command(ztpu_test::build_dir() + "/bin/ztpu-provision");
  auto run = [&](const std::string& args) {
    int st = std::system((tool + " " + args + " >out.txt 2>err.txt").c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  };
  auto put = [&](const char* name, const Bytes& b) { board.dir.write(name, {b.begin(), b.end()}); };
  fs::remove_all("etc/poskey");  // the tool creates the store
  EXPECT_EQ(run("status") + run("identity D00102 5152"), 2);
  put("v0.bin", srv_encipher(kBaseKey));
  put("conf.txt", {'a', '=', '1', '\n'});
  put("keys.bin", payload(plugin_image(), factor(0x01, 0x02, 16)));
  for (const char* step : {"identity D00102030405060708090A0B0C0D0E0F 5152535455565758595A5B5C",
                           "v0 v0.bin", "config conf.txt", "keys keys.bin"})
    ASSERT_EQ(run(step), 0) << step;
  EXPECT_EQ(run("state 256") + run("keys missing.bin"), 2);
  ASSERT_EQ(run("state 2") + run("status"), 0);
  EXPECT_EQ(board.dir.read("out.txt"),
            "state: 2\nrunkeyver: 0102\nsavekeyver: 0102\nv0: 1\nconf: 1\npf: 1\nidentity: 1\n"
            "deviceid: D00102030405060708090A0B0C0D0E0F\ntpussn: 5152535455565758595A5B5C\n");
}

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
  board_.dir.write("victim", "precious");
  ASSERT_EQ(symlink((board_.dir.path() + "/victim").c_str(), "tmp/tpupcx.so"), 0);  // replaced
  ASSERT_EQ(load(1), 0);
  EXPECT_EQ(board_.dir.read("victim"), "precious");
  EXPECT_FALSE(fs::exists(fs::symlink_status("tmp/tpupcx.so")));
  for (int k = 2; k < 8; ++k) ASSERT_EQ(load(k), 0) << k;
  EXPECT_EQ(load(8), -1);  // room for eight
  fs::remove(store_file("pcode_0110"));
  EXPECT_EQ(load(0), 0);  // loaded already: the plug-in does not run
  EXPECT_EQ(tables(), "0:01234567");
}

TEST_F(KeyTables, LookupsAndRandomPicks) {
  store(0, 0x77);
  ASSERT_EQ(load(0), 0);
  security_key_row pick{};  // a row of the loaded table, lengths set
  int idl = 4, kl = 33;
  ASSERT_EQ(security_get_random_alg_and_key(pick.id, &idl, &pick.alg, pick.key, &kl), 0);
  EXPECT_EQ(idl * 100 + kl, 332);
  expect_lookup(pick.id, &pick);
  idl = 2;
  EXPECT_EQ(security_get_random_alg_and_key(pick.id, &idl, &pick.alg, pick.key, &kl), -1);
  LogCapture cap;
  const u8 id[3] = {0x77, 0x77, 9};
  expect_lookup(id, nullptr);
  EXPECT_TRUE(cap.contains("now use keyid[1]:77 keyid[2]:03\n", LOG_INFO));  // its only effect
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

TEST_F(TicketCrypto, VoucherSignatureInBothByteOrders) {
  const Bytes body = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0};
  for (u8 r : {0, 1, 5}) {  // modes 1, 2 and 6: stream and block
    for (bool high : {true, false}) {
      ASSERT_EQ(open(voucher(r, body, high), r), 15) << int(r) << high;
      EXPECT_EQ(Bytes(out_.begin(), out_.begin() + 13), body);
      EXPECT_EQ(open(voucher(r, body, high), r, 14), -1);  // too little room
    }
  }
  EXPECT_EQ(open(voucher(0, body, true, 0x1234), 0), -1);
  EXPECT_EQ(open(Bytes(SECURITY_VOUCHER_MAX + 1, 0), 0), -1);
  LogCapture cap;
  EXPECT_EQ(open(Bytes(1, 0), 2), -1);  // row 2: DES-CFB, one clear byte
  EXPECT_TRUE(cap.contains("voucher length 1 refused"));
}

TEST_F(TicketCrypto, EntryInformationTacRoomAndReplyForThePhone) {
  std::array<u8, 21> rec{}, enc{}, dec{};
  std::array<u8, 16> md{};
  for (size_t i = 0; i < rec.size(); ++i) rec[i] = static_cast<u8>(i * 11);
  int outl = 20;
  EXPECT_EQ(security_encrypt_enterinfo(1234567, rec.data(), 21, enc.data(), &outl), -1);
  outl = 21;
  ASSERT_EQ(security_encrypt_enterinfo(1234567, rec.data(), 21, enc.data(), &outl), 0);
  crypto_md5(rec.data(), 20, md.data());
  EXPECT_EQ(rec[20], crypto_crc8(md.data() + 4, 8));  // the sign code, put in place
  ASSERT_EQ(security_decrypt_enterinfo(1234567, enc.data(), 21, dec.data(), &outl), 0);
  EXPECT_EQ(dec, rec);
  EXPECT_EQ(security_decrypt_enterinfo(1234568, enc.data(), 21, dec.data(), &outl), -1);
  EXPECT_EQ(security_encrypt_enterinfo(1, rec.data(), 0, enc.data(), &outl), -1);
  u8 id[3];
  outl = 15;  // a TAC needs 16 bytes
  EXPECT_EQ(security_gen_tac(rec.data(), 21, id, md.data(), &outl), -1);
}
