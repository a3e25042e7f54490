#include "ztpu/mconf.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "failing_new.h"
#include "test_support.h"

namespace {

// Every item, in table order, with a value of the right type.
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

// The full configuration text, optionally without one item or with one
// item's line replaced.
std::string conf_text(const char* skip = nullptr, const char* replace_key = nullptr,
                      const std::string& replacement = "") {
  std::string s = "# board configuration\n";
  for (const auto& [k, v] : kItems) {
    if (skip != nullptr && std::string(k) == skip) continue;
    if (replace_key != nullptr && std::string(k) == replace_key) {
      s += replacement + "\n";
      continue;
    }
    s += std::string(k) + "=" + v + "\n";
  }
  return s;
}

int load(const std::string& text) {
  return mconf_load_from_buffer(text.data(), static_cast<int>(text.size()));
}

class MconfTest : public ::testing::Test {
 protected:
  void TearDown() override { mconf_exit(); }
  ztpu_test::ScratchDir dir;
  ztpu_test::LogCapture log;
};

TEST_F(MconfTest, MissingEmptyOrUnreadableFileFails) {
  EXPECT_EQ(mconf_init(), -1);
  EXPECT_TRUE(log.contains("[MCONF] failed to open ./etc/ztpu.conf", LOG_ERR)) << log.dump();
  dir.write("etc/ztpu.conf", "");
  EXPECT_EQ(mconf_init(), -1);
  EXPECT_TRUE(log.contains("[MCONF] empty file: ./etc/ztpu.conf", LOG_ERR));
  std::remove("etc/ztpu.conf");
  dir.mkdirs("etc/ztpu.conf");  // opens, but cannot be read
  EXPECT_EQ(mconf_init(), -1);
  EXPECT_TRUE(log.contains("[MCONF] failed to read ./etc/ztpu.conf", LOG_ERR)) << log.dump();
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), -1);  // nothing loaded
}

TEST_F(MconfTest, EveryItemIsRequiredAndFirstMissingIsNamed) {
  for (const auto& [k, v] : kItems) {
    log.clear();
    EXPECT_EQ(load(conf_text(k)), -1) << k;
    EXPECT_TRUE(log.contains(std::string("[MCONF] item '") + k + "' not found")) << log.dump();
    EXPECT_EQ(log.count("not found"), 1U);
  }
  EXPECT_EQ(mconf_get_int(MC_EXIT_FLAG), -1);
}

TEST_F(MconfTest, SkippedLinesDoNotDefineItems) {
  for (const char* line :
       {" tpu_code=X", "\ttpu_code=X", "#tpu_code=X", "tpu_code X", "1tpu_code=X", "_tpu_code=X"}) {
    log.clear();
    EXPECT_EQ(load(conf_text(nullptr, "tpu_code", line)), -1) << line;
    EXPECT_TRUE(log.contains("item 'tpu_code' not found")) << line << log.dump();
    EXPECT_FALSE(log.contains("unkown")) << line;
  }
}

TEST_F(MconfTest, IntegerValueFormsAndBadIntegers) {
  const auto station = [](const std::string& v) {
    return conf_text(nullptr, "default_station", "default_station=" + v);
  };
  const std::pair<const char*, int> good[] = {
      {"0x10", 16}, {"0X10", 16}, {"010", 10}, {"12abc", 12}, {"-5", -5}, {"0", 0}, {" 42 ;", 42}};
  for (const auto& [text, want] : good) {
    ASSERT_EQ(load(station(text)), 0) << text << log.dump();
    EXPECT_EQ(mconf_get_int(MC_DEFAULT_STATION), want) << text;
  }
  // A bad value leaves the item unset: the load fails, the set in force stays.
  for (const char* text : {"abc", "", "99999999999"}) {
    log.clear();
    EXPECT_EQ(load(station(text)), -1);
    EXPECT_TRUE(log.contains(
        std::string("[MCONF] bad value '") + text + "' for item 'default_station'", LOG_ERR))
        << log.dump();
    EXPECT_TRUE(log.contains("item 'default_station' not found"));
  }
  EXPECT_EQ(mconf_get_int(MC_DEFAULT_STATION), 42);
}

TEST_F(MconfTest, StringValuesAreTrimmedOfQuotesAndSemicolons) {
  ASSERT_EQ(load(conf_text(nullptr, "tpu_code", "tpu_code \t= \"A=B\";\r")), 0) << log.dump();
  char buf[16];
  ASSERT_EQ(mconf_get_str(MC_TPU_CODE, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "A=B");

  EXPECT_EQ(load(conf_text(nullptr, "tpu_code", "tpu_code=\"\";'")), -1);
  EXPECT_TRUE(log.contains("[MCONF] empty value for item 'tpu_code'", LOG_ERR));
}

TEST_F(MconfTest, RedefinitionKeepsFirstValidValueAndKeysAreCaseSensitive) {
  std::string text = conf_text() + "server_port=1\nServer_port=2\n";
  ASSERT_EQ(load(text), 0);
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), 9000);
  EXPECT_TRUE(log.contains("[MCONF] item 'server_port' redefined", LOG_WARNING));
  EXPECT_TRUE(log.contains("[MCONF] unkown configuration item 'Server_port'", LOG_WARNING));

  log.clear();
  text = conf_text(nullptr, "server_port", "server_port=x\nserver_port=8000");
  ASSERT_EQ(load(text), 0);
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), 8000);
  EXPECT_FALSE(log.contains("redefined"));
}

TEST_F(MconfTest, CrLfLinesAndUnterminatedBufferLoad) {
  std::string text = conf_text();
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  ASSERT_EQ(load(crlf), 0) << log.dump();
  char buf[16];
  ASSERT_EQ(mconf_get_str(MC_CONFIG_VER, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "V1.0.0");
  EXPECT_EQ(mconf_get_int(MC_OLD_SECURITY_LIFE), 600);

  // The last line has no line feed and the bytes after `size` are not read.
  std::string t = conf_text(nullptr, "old_security_life", "") + "old_security_life=5";
  const std::string padded = t + "99\n";
  ASSERT_EQ(mconf_load_from_buffer(padded.data(), static_cast<int>(t.size())), 0);
  EXPECT_EQ(mconf_get_int(MC_OLD_SECURITY_LIFE), 5);
  EXPECT_EQ(mconf_load_from_buffer(padded.data(), -1), -1);
}

TEST_F(MconfTest, AccessorsCheckSetKeyTypeAndWidth) {
  char buf[16];
  EXPECT_EQ(mconf_set_int(MC_SERVER_PORT, 1), -1);  // no set loaded
  EXPECT_EQ(mconf_set_str(MC_SERVER_IP, "x"), -1);
  ASSERT_EQ(load(conf_text(nullptr, "config_ver", "config_ver=0123456789ABCDEF")), 0);
  std::array<char, 17> wide{};
  wide.fill('#');
  ASSERT_EQ(mconf_get_str(MC_CONFIG_VER, wide.data(), 16), 0);
  EXPECT_EQ(std::string(wide.data(), 16), "0123456789ABCDEF");
  EXPECT_EQ(wide[16], '#');  // no terminator written past maxlen
  EXPECT_EQ(mconf_get_str(MC_CONFIG_VER, wide.data(), 15), -1);

  EXPECT_EQ(mconf_get_int(MC_CONFIG_VER), -1);
  EXPECT_EQ(mconf_get_str(MC_SERVER_PORT, buf, sizeof buf), -1);
  EXPECT_EQ(mconf_set_int(MC_CONFIG_VER, 3), -1);
  EXPECT_EQ(mconf_set_str(MC_SERVER_PORT, "3"), -1);
  for (int k : {-1, int{MC_ITEMS}, MC_ITEMS + 1, 1000}) {
    const auto key = static_cast<mconf_key>(k);
    EXPECT_EQ(mconf_get_int(key), -1) << k;
    EXPECT_EQ(mconf_set_int(key, 5), -1) << k;
    EXPECT_EQ(mconf_get_str(key, buf, sizeof buf), -1) << k;
    EXPECT_EQ(mconf_set_str(key, "x"), -1) << k;
  }

  ASSERT_EQ(mconf_set_int(MC_SERVER_PORT, 7000), 0);
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), 7000);
  ASSERT_EQ(mconf_set_str(MC_SERVER_IP, "10.0.0.9"), 0);
  ASSERT_EQ(mconf_get_str(MC_SERVER_IP, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "10.0.0.9");
  mconf_exit();
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), -1);
  EXPECT_EQ(mconf_get_str(MC_SERVER_IP, buf, sizeof buf), -1);
}

TEST_F(MconfTest, LoadStoreWritesFileOnlyAfterSuccessfulLoad) {
  EXPECT_EQ(mconf_do_store("x", 0), -1);
  const std::string good = conf_text();
  // No etc/ directory: the set loads, but nothing is written.
  EXPECT_EQ(mconf_load_store_from_buffer(good.data(), static_cast<int>(good.size())), -1);
  EXPECT_FALSE(dir.exists("etc/ztpu.conf"));
  dir.mkdirs("etc");
  ASSERT_EQ(mconf_load_store_from_buffer(good.data(), static_cast<int>(good.size())), 0);
  EXPECT_EQ(dir.read("etc/ztpu.conf"), good);
  EXPECT_FALSE(dir.exists("etc/ztpu.conf.tmp"));
  struct stat st {};
  ASSERT_EQ(stat("etc/ztpu.conf", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644U);

  const std::string bad = conf_text("dns");
  EXPECT_EQ(mconf_load_store_from_buffer(bad.data(), static_cast<int>(bad.size())), -1);
  EXPECT_EQ(dir.read("etc/ztpu.conf"), good);
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), 9000);

  // The stored file loads back.
  mconf_exit();
  ASSERT_EQ(mconf_init(), 0) << log.dump();
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), 9000);
  char buf[32];
  ASSERT_EQ(mconf_get_str(MC_SERVER_IP, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "127.0.0.1");
}

// A configuration file that is a symbolic link (a read-only root with the
// file elsewhere) is updated through it: the link stays, the file it leads
// to gets the text and keeps its mode.
TEST_F(MconfTest, StoreThroughSymbolicLinkKeepsLinkAndMode) {
  dir.mkdirs("etc");
  dir.write("data/ztpu.conf", "old");
  ASSERT_EQ(chmod("data/ztpu.conf", 0640), 0);
  ASSERT_EQ(symlink("../data/ztpu.conf", "etc/ztpu.conf"), 0);
  const std::string good = conf_text();
  ASSERT_EQ(mconf_load_store_from_buffer(good.data(), static_cast<int>(good.size())), 0);
  struct stat st {};
  ASSERT_EQ(lstat("etc/ztpu.conf", &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(dir.read("data/ztpu.conf"), good);
  ASSERT_EQ(stat("data/ztpu.conf", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640U);
  EXPECT_FALSE(dir.exists("data/ztpu.conf.tmp"));
}

// Each allocation of a load, failed in turn: -1 and the set in force stays.
TEST_F(MconfTest, AllocationFailureFailsTheLoadAndKeepsTheSet) {
  ASSERT_EQ(load(conf_text()), 0);
  const std::string other = conf_text(nullptr, "server_port", "server_port=9001");
  const int failures = ztpu_test::each_allocation_failure(
      64, [&] { return load(other); },
      [](int n) { EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), 9000) << n; });
  EXPECT_GE(failures, 12);  // the text, the set and each of the ten string items
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), 9001);

  ztpu_test::fail_nth_allocation(1);
  EXPECT_EQ(mconf_set_str(MC_SERVER_IP, "10.0.0.1"), -1);
  ztpu_test::fail_nth_allocation(0);
  char buf[32];
  ASSERT_EQ(mconf_get_str(MC_SERVER_IP, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "127.0.0.1");
}

}  // namespace
