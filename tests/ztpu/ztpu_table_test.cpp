// The module table and the refusals standing in for the transaction core.
#include <gtest/gtest.h>
#include <syslog.h>

#include <string>

#include "test_support.h"
#include "ztpu/mconf.h"
#include "ztpu/ztpu.h"

namespace {

std::string full_conf() {
  std::string s;
  for (const char* k : {"config_ver", "ipaddr", "netmask", "gateway", "dns", "dns2", "time_server",
                        "tpu_code", "merchant_code", "server_ip"})
    s += std::string(k) + "=x\n";
  for (const char* k :
       {"exit_flag", "server_port", "upload_interval", "heartbeat_interval", "heartbeat_retries",
        "voucher_check_time", "file_block_size", "default_station", "use_default_station",
        "offline_delay", "old_security_life"})
    s += std::string(k) + "=5\n";
  return s;
}

TEST(ModuleTable, ConfigurationStartsFirstAndStops) {
  ztpu_test::ScratchDir dir;
  ztpu_test::LogCapture log;
  dir.write("etc/ztpu.conf", full_conf());
  ASSERT_EQ(ztpu_init(), 0) << log.dump();
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), 5);
  ztpu_exit();
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), -1);
}

TEST(ModuleTable, MissingConfigurationFailsStartUpByName) {
  ztpu_test::ScratchDir dir;
  ztpu_test::LogCapture log;
  EXPECT_EQ(ztpu_init(), -1);
  EXPECT_TRUE(log.contains("module 'mconf' initialization failed\n", LOG_ERR)) << log.dump();
}

TEST(TransactionCore, RefusesUntilBuiltIn) {
  ztpu_test::LogCapture log;
  ztpu_query_rsp q{};
  EXPECT_EQ(ztpu_query(&q), -1);
  ztpu_pay_cmd c{};
  ztpu_pay_rsp p{};
  EXPECT_EQ(ztpu_pay(&c, &p), -1);
  EXPECT_EQ(log.count("transaction core not built in"), 2U);
}

}  // namespace
