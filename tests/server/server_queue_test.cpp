// The command queue: one pending command per code, in arrival order.
#include <gtest/gtest.h>
#include <syslog.h>

#include <cstring>

#include "server_internal.h"
#include "test_support.h"
#include "ztpu/list.h"

namespace {

heartbeat_cmd make_cmd(std::uint16_t code, std::uint8_t id) {
  heartbeat_cmd c{};
  std::memset(c.cmd_id, id, sizeof(c.cmd_id));
  c.cmd = code;
  c.arg.key.key_ver = static_cast<std::uint16_t>(0x100 + id);
  return c;
}

TEST(ServerQueue, FirstInFirstOutAndDuplicatesDropped) {
  ztpu_test::LogCapture log;
  server_command_add(make_cmd(0x19, 1));
  server_command_add(make_cmd(0x14, 2));
  server_command_add(make_cmd(0x19, 3));  // same code still pending
  server_command_add(make_cmd(0x17, 4));
  server_command_add(make_cmd(0x15, 5));
  server_command_add(make_cmd(0x14, 6));

  heartbeat_cmd q[8];
  ASSERT_EQ(server_command_pending(q, 8), 4);
  const std::uint16_t want_code[] = {0x19, 0x14, 0x17, 0x15};
  const std::uint8_t want_id[] = {1, 2, 4, 5};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(q[i].cmd, want_code[i]);
    EXPECT_EQ(q[i].cmd_id[5], want_id[i]);
    EXPECT_EQ(q[i].arg.key.key_ver, 0x100 + want_id[i]);
  }
  EXPECT_EQ(log.count("[SERVER] ignore the same command 0x19\n"), 1u);
  EXPECT_EQ(log.count("[SERVER] ignore the same command 0x14\n"), 1u);
  EXPECT_TRUE(log.contains("ignore the same command", LOG_INFO));

  EXPECT_EQ(server_command_get_buffer(0x10), nullptr);  // sign-in is never queued

  // Once the pending one is unlinked, the code's buffer takes a new delivery.
  {
    std::lock_guard<std::mutex> guard(command_lock);
    list_del(&server_command_get_buffer(0x19)->node);
  }
  server_command_add(make_cmd(0x19, 9));
  ASSERT_EQ(server_command_pending(q, 8), 4);
  EXPECT_EQ(q[3].cmd, 0x19);
  EXPECT_EQ(q[3].cmd_id[0], 9);
}

}  // namespace

TEST(ServerHeartbeat, ResponseShapes) {
  struct Row {
    std::size_t len;
    std::uint16_t cmd;
    int action;
  } const rows[] = {
      {20, 0x14, SERVER_HB_NONE},    {28, 0x19, SERVER_HB_QUEUE}, {28, 0x10, SERVER_HB_SIGNIN},
      {28, 0x14, SERVER_HB_INVALID}, {30, 0x15, SERVER_HB_QUEUE}, {30, 0x17, SERVER_HB_QUEUE},
      {30, 0x19, SERVER_HB_INVALID}, {44, 0x14, SERVER_HB_QUEUE}, {44, 0x15, SERVER_HB_INVALID},
      {0, 0, SERVER_HB_INVALID},     {21, 0, SERVER_HB_INVALID},  {36, 0x14, SERVER_HB_INVALID},
  };
  for (const Row& r : rows) {
    heartbeat_rsp rsp{};
    rsp.cmd.cmd = r.cmd;
    EXPECT_EQ(server_heartbeat_parse(&rsp, r.len), r.action) << r.len << " 0x" << std::hex << r.cmd;
  }
}
