// The server link on a provisioned scratch board with the real security
// module and transaction core: a key file downloaded and applied through
// the server, and a torn record line cut before rotation.
#include <gtest/gtest.h>
#include <syslog.h>

#include "../security/sec_fixture.h"
#include "backend_sim.h"
#include "server_fixture.h"
#include "server_internal.h"
#include "ztpu/mconf.h"

namespace {

using namespace std::chrono_literals;
using namespace sectest;
using ztpu_backend::BackendSim;

class BoardLink : public ::testing::Test {
 protected:
  void SetUp() override {
    board.dir.mkdirs("var/ulocal");
    // A unit in service on key version 01 01.
    provision_identity(2);
    store_version(factor(0x01, 0x01, 4));
    u8 v1[2] = {0x01, 0x01};
    ASSERT_EQ(security_enable_pf(v1), 0);
    security_exit();

    ztpu_backend::Options o;
    o.check_device_id = true;
    std::copy(kDeviceId.begin(), kDeviceId.end(), o.device_id.begin());
    ASSERT_EQ(sim.start(o), 0);
    board.dir.write("etc/ztpu.conf",
                    server_test::config_text(sim.port(), {{"old_security_life", "2"}}));
    ASSERT_EQ(mconf_init(), 0);
    ASSERT_EQ(security_init(), 0);
  }
  void TearDown() override {
    server_exit();
    sim.stop();
    mconf_exit();
  }
  // Loaded tables and the second byte of the first one's version, read
  // under the table set's lock (the heartbeat thread removes tables).
  std::pair<int, int> tables() const {
    security_context* ctx = security_get_ctx();
    pthread_rwlock_rdlock(&ctx->lock);
    std::pair<int, int> out{ctx->cur_table_num,
                            ctx->cur_table_num > 0 ? ctx->table[0]->version[1] : -1};
    pthread_rwlock_unlock(&ctx->lock);
    return out;
  }

  Board board;
  ztpu_test::LogCapture log;
  BackendSim sim;
};

TEST_F(BoardLink, KeyFileIsDownloadedAppliedAndTheOldTableRetired) {
  Bytes f2 = factor(0x01, 0x02, 4, 0x77, 0x01);
  Bytes file = payload(plugin_image(), f2);
  ASSERT_GT(file.size(), 2 * SERVER_BLOCK_SIZE);
  sim.set_key_file(file, 0x0201, SERVER_BLOCK_SIZE);
  sim.push_heartbeat_command(HB_CMD_UPDATE_KEY, {2, 0, 0, 0, 0, 1}, {0x01, 0x02});
  sim.push_heartbeat_command(HB_CMD_APPLY_KEY, {2, 0, 0, 0, 0, 2}, {0x01, 0x02});
  ASSERT_EQ(server_init(), 0);

  ASSERT_TRUE(server_test::wait_until([&] { return sim.receipts().size() == 2; }, 10s))
      << log.dump();
  auto r = sim.receipts();
  EXPECT_EQ(r[0].cmd, HB_CMD_UPDATE_KEY);
  EXPECT_EQ(r[0].status, 0);
  EXPECT_EQ(r[1].cmd, HB_CMD_APPLY_KEY);
  EXPECT_EQ(r[1].status, 0) << log.dump();
  security_db db = read_db();
  EXPECT_EQ(db.savekeyver[1], 0x02);
  EXPECT_EQ(db.runkeyver[1], 0x02);

  // The new table serves lookups at once; the old one goes after its life.
  security_key_row want = predicted_row(f2, 0);
  u8 alg = 0, key[32] = {};
  int keylen = 32;
  EXPECT_EQ(security_get_algorithm_and_key(want.id, &alg, key, &keylen), 0);
  EXPECT_EQ(std::memcmp(key, want.key, 32), 0);
  ASSERT_TRUE(server_test::wait_until([&] { return tables().first == 1; }, 8s)) << log.dump();
  EXPECT_EQ(tables().second, 0x02);
  EXPECT_TRUE(log.contains("[SERVER] old_securit_life:2", LOG_ERR));
  auto v = sim.violations();
  EXPECT_TRUE(v.empty()) << v.front();
}

TEST_F(BoardLink, TornRecordLineIsCutBeforeRotation) {
  order_buffer orders;
  ASSERT_EQ(server_order_init(&orders), 0);
  board.dir.write("var/ulocal/ZEF_BIZRECORD.csv", "one,1\ntwo,2\nthr");
  ASSERT_EQ(server_order_add(&orders), 0);
  std::string name = list_entry<server_order>(order_list.next)->filename;
  EXPECT_EQ(board.dir.read("var/ulocal/upload/" + name), "one,1\ntwo,2\n");
  EXPECT_FALSE(board.dir.exists("var/ulocal/ZEF_BIZRECORD.csv"));
  EXPECT_TRUE(log.contains("cut torn order record", LOG_WARNING)) << log.dump();
}

}  // namespace
