#include <sys/wait.h>

#include <filesystem>

#include "sec_fixture.h"

using namespace sectest;
namespace fs = std::filesystem;

namespace {
bool exists_enc(const std::string& logical) { return fs::exists(store_file(logical)); }
}  // namespace

TEST(Provisioning, NewBoardThenStartedUnitGettersAndSetters) {
  Board board;
  u8 state = 0;
  EXPECT_EQ(security_get_tpustate(&state) + state, 1);
  EXPECT_EQ(security_init(), -1);  // not provisioned
  EXPECT_TRUE(security_get_ctx()->dbFd == -1 && security_get_pdb() == nullptr);
  EXPECT_TRUE(exists_enc("tpu.db"));
  start_unit(factor(0x01, 0x01));
  std::array<u8, 16> id{}, cv{}, back{};
  EXPECT_EQ(security_get_deviceid(id.data(), 16), 0);
  EXPECT_EQ(id, kDeviceId);
  id.fill(0xFF);
  EXPECT_EQ(security_get_deviceid(id.data(), 8), -1);
  EXPECT_EQ(Bytes(id.begin(), id.begin() + 9), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0xFF}));
  // Device type 110000 (little-endian, 4 bytes), then the fuse serial number.
  Bytes info(12);
  EXPECT_EQ(security_get_device_info(info.data()), 12);
  EXPECT_EQ(info, (Bytes{0xB0, 0xAD, 1, 0, 1, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
  cv.fill(0xC1);
  EXPECT_EQ(security_set_confver(cv.data(), 15), -1);
  ASSERT_EQ(security_set_confver(cv.data(), 16), 0);
  EXPECT_EQ(security_get_confver(back.data(), 16), 16);
  EXPECT_TRUE(back == cv && !std::memcmp(read_db().confVer, cv.data(), 16));
  const auto before = fs::last_write_time(store_file("tpu.db"));
  ASSERT_EQ(security_set_confver(cv.data(), 16), 0);  // the same value: no rewrite
  EXPECT_EQ(fs::last_write_time(store_file("tpu.db")), before);
  u8 sv[2] = {0x09, 0x09}, rv[2] = {0x01, 0x02};
  EXPECT_EQ(security_set_savekeyver(sv, 2) + security_set_runkeyver(sv, 3), -1);
  EXPECT_EQ(security_set_tpustate(5), 0);  // held copy: written with its next write
  EXPECT_EQ(rec(), "2 0909 0101");
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
  EXPECT_EQ(board.dir.read("etc/ztpu.conf"), text);
  // Without a plug-in the saved one is copied; none saved yet: refused.
  const Bytes none = payload(Bytes{}, factor(0x03, 0x01));
  EXPECT_EQ(save_pf(none), -1);
  ASSERT_EQ(security_set_tpustate(2), 0);
  store_version(factor(0x03, 0x00));
  ASSERT_EQ(save_pf(none), 0);
  EXPECT_EQ(rec(), "2 0301 0000");
  u8 v[2] = {0x03, 0x01};
  ASSERT_EQ(security_load_keytable(v, 2), 0);  // the copy
  EXPECT_EQ(security_get_ctx()->table[0]->nRow, 8);
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
  EXPECT_EQ(rec(), "2 0301 0000");
  ASSERT_EQ(ok.size(), 122u);
  EXPECT_EQ(save_pf(ok), 0);
  EXPECT_EQ(rec(), "2 0201 0000");
  EXPECT_TRUE(exists_enc("pcode_0201") && exists_enc("factor_0201"));
}

// A store from before digests gains them; then a flipped factor bit stops the start.
TEST(Provisioning, DigestsComeToOldStoresAndStopARottenStart) {
  Board board;
  start_unit(factor(0x01, 0x01));
  security_exit();
  for (const auto& e : fs::directory_iterator("etc/poskey"))
    if (e.path().extension() == ".d") fs::remove(e.path());
  ASSERT_EQ(security_init(), 0);
  std::array<u8, 16> cv{};
  ASSERT_EQ(security_set_confver(cv.data(), 16), 0);
  store_version(factor(0x01, 0x01));
  for (const char* item : {"tpu.db", "pcode_0101", "factor_0101"})
    EXPECT_TRUE(fs::exists(store_file(item) + ".d")) << item;
  security_exit();
  const std::string path = store_file("factor_0101");
  std::string rotten = board.dir.read(path);
  rotten[rotten.size() / 2] = static_cast<char>(rotten[rotten.size() / 2] ^ 0x04);
  board.dir.write(path, rotten);
  EXPECT_EQ(security_init(), -1);
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
  ASSERT_EQ(security_enable_pf(a), 0);  // the version in use: nothing changes
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
  EXPECT_EQ(security_get_ctx()->need_remove_ver.ver[1], 0x02);
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
  auto put = [&](const char* name, const Bytes& b) {
    board.dir.write(name, std::string(b.begin(), b.end()));
  };
  fs::remove_all("etc/poskey");  // the tool creates the store
  EXPECT_EQ(run("status") + run("identity D00102 5152"), 2);
  const Bytes f = factor(0x01, 0x02, 16);
  put("v0.bin", srv_encipher(kBaseKey));
  put("conf.txt", {'a', '=', '1', '\n'});
  put("keys.bin", payload(plugin_image(), f));
  for (const char* step : {"identity D00102030405060708090A0B0C0D0E0F 5152535455565758595A5B5C",
                           "v0 v0.bin", "config conf.txt", "keys keys.bin"})
    ASSERT_EQ(run(step), 0) << step;
  EXPECT_EQ(run("state 256") + run("keys missing.bin"), 2);
  ASSERT_EQ(run("state 2") + run("status"), 0);
  EXPECT_FALSE(fs::exists("tmp/tpupcx.so"));
  EXPECT_EQ(board.dir.read("out.txt"),
            "state: 2\nrunkeyver: 0102\nsavekeyver: 0102\nv0: 1\nconf: 1\npf: 1\nidentity: 1\n"
            "deviceid: D00102030405060708090A0B0C0D0E0F\ntpussn: 5152535455565758595A5B5C\n");
  EXPECT_EQ(board.dir.read("etc/ztpu.conf"), "a=1\n");
  ASSERT_EQ(security_init(), 0);
  for (u32 r = 0; r < 16; ++r) {
    const security_key_row want = predicted_row(f, r);
    expect_lookup(want.id, &want);
  }
}
