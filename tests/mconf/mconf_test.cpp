#include "ztpu/mconf.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>

#include "failing_new.h"
#include "test_support.h"

namespace {

using Ints = std::vector<int>;

// clang-format off
const std::array<std::pair<const char*, const char*>, MC_ITEMS> kItems{{
    {"config_ver", "V1.0.0"}, {"ipaddr", "192.168.1.20"}, {"netmask", "255.255.255.0"},
    {"gateway", "192.168.1.1"}, {"dns", "8.8.8.8"}, {"dns2", "8.8.4.4"},
    {"time_server", "pool.example"}, {"tpu_code", "TPU0001"}, {"merchant_code", "M123"},
    {"exit_flag", "1"}, {"server_ip", "127.0.0.1"}, {"server_port", "9000"},
    {"upload_interval", "60"}, {"heartbeat_interval", "10"}, {"heartbeat_retries", "3"},
    {"voucher_check_time", "120"}, {"file_block_size", "1024"}, {"default_station", "77"},
    {"use_default_station", "1"}, {"offline_delay", "30"}, {"old_security_life", "600"}}};
// clang-format on

// `key`'s line left out, or replaced by `line` if given.
std::string conf(const std::string& key = "", const std::string& line = "",
                 const char* eol = "\n") {
  std::string s = "# board configuration" + std::string(eol);
  for (const auto& [k, v] : kItems)
    s += k != key ? k + ("=" + std::string(v)) + eol : line.empty() ? "" : line + eol;
  return s;
}

int load(const std::string& text) {
  return mconf_load_from_buffer(text.data(), static_cast<int>(text.size()));
}
int load_store(const std::string& text) {
  return mconf_load_store_from_buffer(text.data(), static_cast<int>(text.size()));
}
std::string str(mconf_key key) {
  char buf[32];
  return mconf_get_str(key, buf, sizeof buf) == 0 ? buf : "<fails>";
}
int mode(const char* path) {
  struct stat st {};
  return stat(path, &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

class MconfTest : public ::testing::Test {
 protected:
  void TearDown() override { mconf_exit(); }
  void expect_load(const std::string& text, int rc, const std::string& message) {
    log.clear();
    EXPECT_EQ(load(text), rc) << message;
    EXPECT_TRUE(log.contains(message)) << log.dump();
  }
  ztpu_test::ScratchDir dir;
  ztpu_test::LogCapture log;
};

TEST_F(MconfTest, BadFilesMissingItemsAndSkippedLinesFail) {
  const int missing = mconf_init();
  dir.write("etc/ztpu.conf", "");
  const int empty = mconf_init();
  ASSERT_EQ(unlink("etc/ztpu.conf"), 0);
  dir.mkdirs("etc/ztpu.conf");  // opens, but cannot be read
  EXPECT_EQ((Ints{missing, empty, mconf_init(), mconf_get_int(MC_SERVER_PORT)}),
            (Ints{-1, -1, -1, -1}));
  for (const char* m : {"failed to open", "empty file:", "failed to read"})
    EXPECT_TRUE(log.contains(std::string(m) + " ./etc/ztpu.conf")) << m;
  for (const auto& [k, v] : kItems)
    expect_load(conf(k), -1, std::string("item '") + k + "' not found");
  for (const char* line :
       {" tpu_code=X", "\ttpu_code=X", "#tpu_code=X", "tpu_code X", "1tpu_code=X", "_tpu_code=X"}) {
    expect_load(conf("tpu_code", line), -1, "item 'tpu_code' not found");
    EXPECT_FALSE(log.contains("unkown")) << line;
  }
  expect_load(conf("tpu_code", "tpu_code=\"\";'"), -1, "empty value for item 'tpu_code'");
}

TEST_F(MconfTest, ValueFormsRedefinitionCaseAndLineEnds) {
  Ints got;
  for (const char* text : {"0x10", "0X10", "010", "12abc", "-5", "0", " 42 ;"}) {
    ASSERT_EQ(load(conf("default_station", "default_station=" + std::string(text))), 0) << text;
    got.push_back(mconf_get_int(MC_DEFAULT_STATION));
  }
  EXPECT_EQ(got, (Ints{16, 16, 10, 12, -5, 0, 42}));
  // A bad value leaves the item unset: the load fails, the set in force stays.
  for (const std::string text : {"abc", "", "99999999999"})
    expect_load(conf("default_station", "default_station=" + text), -1, "bad value '" + text + "'");
  EXPECT_EQ(mconf_get_int(MC_DEFAULT_STATION), 42);
  ASSERT_EQ(load(conf("tpu_code", "tpu_code \t= \"A=B\";\r")), 0) << log.dump();
  EXPECT_EQ(str(MC_TPU_CODE), "A=B");
  expect_load(conf() + "server_port=1\nServer_port=2\n", 0, "item 'server_port' redefined");
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), 9000);
  EXPECT_TRUE(log.contains("unkown configuration item 'Server_port'"));
  expect_load(conf("server_port", "server_port=x\nserver_port=8000"), 0, "bad value 'x'");
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), 8000);
  ASSERT_EQ(load(conf("", "", "\r\n")), 0) << log.dump();
  EXPECT_EQ(str(MC_CONFIG_VER) + str(MC_OLD_SECURITY_LIFE), "V1.0.0<fails>");
  EXPECT_EQ(mconf_get_int(MC_OLD_SECURITY_LIFE), 600);
  // The last line has no line feed and the bytes after `size` are not read.
  const std::string t = conf("old_security_life") + "old_security_life=5", padded = t + "99\n";
  ASSERT_EQ(mconf_load_from_buffer(padded.data(), static_cast<int>(t.size())), 0);
  EXPECT_EQ(mconf_get_int(MC_OLD_SECURITY_LIFE), 5);
  EXPECT_EQ(mconf_load_from_buffer(padded.data(), -1), -1);
}

TEST_F(MconfTest, AccessorsCheckSetKeyTypeAndWidth) {
  std::string b(17, '#');
  EXPECT_EQ(mconf_set_int(MC_SERVER_PORT, 1) + mconf_set_str(MC_SERVER_IP, "x"), -2);  // no set
  ASSERT_EQ(load(conf("config_ver", "config_ver=0123456789ABCDEF")), 0);
  ASSERT_EQ(mconf_get_str(MC_CONFIG_VER, b.data(), 16), 0);
  EXPECT_EQ(b, "0123456789ABCDEF#");  // no terminator past maxlen
  Ints got = {mconf_get_str(MC_CONFIG_VER, b.data(), 15), mconf_get_int(MC_CONFIG_VER),
              mconf_get_str(MC_SERVER_PORT, b.data(), 16), mconf_set_int(MC_CONFIG_VER, 3),
              mconf_set_str(MC_SERVER_PORT, "3")};
  for (const auto k : {mconf_key(-1), mconf_key(MC_ITEMS)})
    got.insert(got.end(), {mconf_get_int(k), mconf_set_int(k, 5), mconf_get_str(k, b.data(), 16),
                           mconf_set_str(k, "x")});
  EXPECT_EQ(got, Ints(got.size(), -1));
  ASSERT_EQ(mconf_set_int(MC_SERVER_PORT, 7000) + mconf_set_str(MC_SERVER_IP, "10.0.0.9"), 0);
  EXPECT_EQ(str(MC_SERVER_IP) + std::to_string(mconf_get_int(MC_SERVER_PORT)), "10.0.0.97000");
  mconf_exit();
  EXPECT_EQ(str(MC_SERVER_IP) + std::to_string(mconf_get_int(MC_SERVER_PORT)), "<fails>-1");
}

// Written only after a successful load; through a symbolic link (a read-only
// root with the file elsewhere) the link stays and the file keeps its mode.
TEST_F(MconfTest, LoadStoreWritesFileOnlyAfterSuccessfulLoad) {
  const std::string good = conf();
  EXPECT_EQ((Ints{mconf_do_store("x", 0), load_store(good)}), (Ints{-1, -1}));  // no etc/
  dir.mkdirs("etc");
  ASSERT_EQ(load_store(good), 0);
  EXPECT_EQ(mode("etc/ztpu.conf"), 0644);
  EXPECT_EQ(load_store(conf("dns")), -1);
  EXPECT_EQ(dir.read("etc/ztpu.conf"), good);
  dir.write("data/ztpu.conf", "old");
  ASSERT_EQ(chmod("data/ztpu.conf", 0640) + unlink("etc/ztpu.conf"), 0);
  ASSERT_EQ(symlink("../data/ztpu.conf", "etc/ztpu.conf"), 0);
  ASSERT_EQ(load_store(good), 0);
  EXPECT_EQ(dir.read("data/ztpu.conf"), good);
  EXPECT_EQ(mode("data/ztpu.conf"), 0640);
  struct stat st {};
  EXPECT_TRUE(lstat("etc/ztpu.conf", &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_FALSE(dir.exists("data/ztpu.conf.tmp") || dir.exists("etc/ztpu.conf.tmp"));
}

TEST_F(MconfTest, AllocationFailureFailsTheLoadAndKeepsTheSet) {
  ASSERT_EQ(load(conf()), 0);
  const std::string other = conf("server_port", "server_port=9001");
  const int failures = ztpu_test::each_allocation_failure(
      64, [&] { return load(other); },
      [](int n) { EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), 9000) << n; });
  EXPECT_GE(failures, 12);  // the text, the set and each of the ten string items
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), 9001);
  ztpu_test::fail_nth_allocation(1);
  EXPECT_EQ(mconf_set_str(MC_SERVER_IP, "10.0.0.1"), -1);
  ztpu_test::fail_nth_allocation(0);
  EXPECT_EQ(str(MC_SERVER_IP), "127.0.0.1");
}

}  // namespace
