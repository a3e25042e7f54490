// The module table: start order and the roll-back of the modules already
// started when a later one fails. A full start is the passage test's.
#include <gtest/gtest.h>
#include <syslog.h>

#include <string>

#include "../../core/security_store.h"
#include "test_support.h"
#include "txn_fixture.h"
#include "ztpu/mconf.h"
#include "ztpu/ztpu.h"

namespace {

TEST(ModuleTable, UnprovisionedUnitStopsAtSecurityAndStopsConfiguration) {
  sectest::Board board;
  board.dir.write("etc/ztpu.conf", txntest::conf_text());
  ztpu_test::LogCapture log;
  EXPECT_EQ(ztpu_init(), -1);
  EXPECT_TRUE(log.contains("module 'security' initialization failed\n", LOG_ERR)) << log.dump();
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), -1);  // configuration stopped again
  EXPECT_FALSE(log.contains("bluetooth"));       // phone never started
}

TEST(ModuleTable, MissingBluetoothPortStopsAtPhoneAndRollsBack) {
  sectest::Board board;
  ASSERT_NO_FATAL_FAILURE(txntest::provision());
  board.dir.write("etc/ztpu.conf", txntest::conf_text());
  ztpu_test::LogCapture log;
  EXPECT_EQ(ztpu_init(), -1);
  const auto msgs = log.messages();
  std::vector<std::string> texts;
  for (const auto& m : msgs) texts.push_back(m.second);
  const auto at = [&](const std::string& needle) {
    for (size_t i = 0; i < texts.size(); ++i)
      if (texts[i].find(needle) != std::string::npos) return static_cast<int>(i);
    return -1;
  };
  // In this order; the audio device is never opened.
  const int serial = at("[SERIAL] failed to open device");
  const int bt = at("failed to open bluetooth device\n");
  const int mod = at("failed to initialize bluetooth module\n");
  const int table = at("module 'phone' initialization failed\n");
  EXPECT_GE(serial, 0) << log.dump();
  EXPECT_LT(serial, bt);
  EXPECT_LT(bt, mod);
  EXPECT_LT(mod, table);
  for (const char* m :
       {"failed to open bluetooth device\n", "failed to initialize bluetooth module\n"})
    EXPECT_TRUE(log.contains(m, LOG_ERR)) << m;
  EXPECT_FALSE(log.contains("sound"));
  EXPECT_EQ(security_get_ctx()->cur_table_num, 0);  // security stopped
  EXPECT_EQ(mconf_get_int(MC_SERVER_PORT), -1);
}

}  // namespace
