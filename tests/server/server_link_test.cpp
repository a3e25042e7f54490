// The heartbeat thread against the back-end simulator: sign-in, the link
// status and its transitions, command queueing and the old key table.
#include <gtest/gtest.h>
#include <syslog.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "security_double.h"
#include "server_fixture.h"

namespace {

using namespace std::chrono_literals;
using server_test::wait_until;
using ztpu_backend::Bytes;
using Clock = std::chrono::steady_clock;

class ServerLink : public server_test::SimBoard {
 protected:
  // `set` as config_text; an offline server refuses every request.
  void start(const std::map<std::string, std::string>& set = {}, bool offline_server = false) {
    start_board(security_double::kDeviceId, set);
    sim.set_offline(offline_server);
    t0 = Clock::now();
    ASSERT_EQ(server_init(), 0);
  }
  // Position of the n-th (from 0) message containing `needle`, or -1.
  int find(const std::string& needle, int nth = 0) const {
    auto msgs = log.messages();
    for (std::size_t i = 0; i < msgs.size(); ++i) {
      if (msgs[i].second.find(needle) != std::string::npos && nth-- == 0)
        return static_cast<int>(i);
    }
    return -1;
  }
  // Number of heartbeats the server saw between its n-th and (n+1)-th sign-in.
  int heartbeats_after_signin(int n) const {
    int signins = 0, beats = 0;
    for (const auto& r : sim.requests()) {
      if (r.cmd == 0x10 && signins++ > n) break;
      if (r.cmd == 0x11 && signins == n + 1) ++beats;
    }
    return beats;
  }
  static int pending() {
    heartbeat_cmd q[4];
    return server_command_pending(q, 4);
  }

  Clock::time_point t0;
};

Bytes heartbeat_area(std::size_t len, std::uint16_t cmd) {
  Bytes a(len, 0);
  if (len >= 28) {
    a[26] = static_cast<std::uint8_t>(cmd);
    a[27] = static_cast<std::uint8_t>(cmd >> 8);
  }
  return a;
}

TEST_F(ServerLink, StopsPromptlyRightAfterInit) {
  start({});
  EXPECT_EQ(server_is_offline(), 1);
  EXPECT_EQ(server_init(), -1);  // already running
  EXPECT_TRUE(log.contains("[SERVER] server link already started\n", LOG_ERR));
  auto t = Clock::now();
  server_exit();
  EXPECT_LT(Clock::now() - t, 500ms);
  EXPECT_EQ(sim.requests().size(), 0u);
  server_exit();                // a second stop is harmless
  EXPECT_EQ(server_init(), 0);  // and the link can start again
}

TEST_F(ServerLink, SignsInThenSendsHeartbeats) {
  start({});
  ASSERT_TRUE(sim.wait_for_count(0x10, 1, 5s)) << log.dump();
  auto signed_in = Clock::now();
  ASSERT_TRUE(sim.wait_for_count(0x11, 2, 5s)) << log.dump();
  ASSERT_TRUE(wait_until([] { return server.status.load() == SERVER_STATUS_SIGNED_IN; }, 1s));
  EXPECT_EQ(server_is_offline(), 0);

  // First cycle after 2 s; the first heartbeat 1 s after the sign-in.
  EXPECT_GT(signed_in - t0, 1500ms);
  EXPECT_LT(signed_in - t0, 3000ms);
  EXPECT_EQ(find("[SERVER] server status: signed in\n"), 0) << log.dump();

  auto reqs = sim.requests();
  ASSERT_GE(reqs.size(), 2u);
  const Bytes& req = reqs[0].data;
  ASSERT_EQ(req.size(), 39u);
  EXPECT_EQ(req[16], security_double::kTacByte);
  EXPECT_EQ(req[31], security_double::kTacByte);
  EXPECT_EQ(Bytes(req.begin() + 36, req.end()), Bytes({1, 2, 3}));
  std::uint32_t t =
      req[32] | req[33] << 8 | req[34] << 16 | static_cast<std::uint32_t>(req[35]) << 24;
  EXPECT_LE(std::abs(static_cast<long>(t) - static_cast<long>(std::time(nullptr))), 5);
  expect_no_violations();

  auto stop = Clock::now();
  server_exit();
  EXPECT_LT(Clock::now() - stop, 500ms);
}

// A stop does not wait for a server that is slow to answer: the exchange
// in progress is cut short.
TEST_F(ServerLink, StopCutsAnExchangeInProgressShort) {
  sim.add_fault(0x10, ztpu_backend::Fault{ztpu_backend::FaultKind::delay, 3000, 1});
  start({});
  ASSERT_TRUE(sim.wait_for_count(0x10, 1, 5s)) << log.dump();
  std::this_thread::sleep_for(100ms);  // the heartbeat thread waits for the answer
  auto stop = Clock::now();
  server_exit();
  EXPECT_LT(Clock::now() - stop, 500ms);
  EXPECT_TRUE(log.contains("[SERVER] signin request failed\n", LOG_ERR)) << log.dump();
  EXPECT_EQ(server_is_offline(), 1);
}

TEST_F(ServerLink, UnreachableServerStaysOfflineAndKeepsTrying) {
  start({}, true);
  bool always_offline = true;
  ASSERT_TRUE(wait_until(
      [&] {
        always_offline = always_offline && server_is_offline() == 1;
        return log.count("[SERVER] signin request failed\n") >= 2;
      },
      5s))
      << log.dump();
  EXPECT_TRUE(always_offline);
  EXPECT_EQ(find("server status"), -1) << log.dump();  // offline from the start: no change
  EXPECT_TRUE(log.contains("ERROR sockfd = ", LOG_ERR));
}

TEST_F(ServerLink, PrivilegedPortIsRefusedBeforeAnyExchange) {
  start({{"server_port", "80"}});
  ASSERT_TRUE(wait_until([&] { return log.count("[SERVER] init connection failed\n") >= 1; }, 4s));
  int first = find("[SERVER] failed to initialize connection\n");
  ASSERT_GE(first, 0);
  EXPECT_EQ(find("[SERVER] init connection failed\n"), first + 1);
  EXPECT_EQ(server_is_offline(), 1);
  EXPECT_EQ(sim.requests().size(), 0u);
}

TEST_F(ServerLink, RetriesAreUsedUpAndResetBySuccess) {
  start({{"heartbeat_retries", "1"}});
  sim.push_heartbeat_raw(heartbeat_area(36, 0));     // failure: retries 1 -> 0
  sim.push_heartbeat_raw(heartbeat_area(20, 0));     // success: back to 1
  sim.push_heartbeat_raw(heartbeat_area(28, 0x14));  // failure: 0
  sim.push_heartbeat_raw(heartbeat_area(36, 0));     // failure: below 0 -> online
  ASSERT_TRUE(sim.wait_for_count(0x10, 2, 10s)) << log.dump();

  EXPECT_EQ(heartbeats_after_signin(0), 4);
  EXPECT_EQ(log.count("[SERVER] hearbeat failed: cmd:0, len:36\n"), 2u) << log.dump();
  EXPECT_EQ(log.count("[SERVER] hearbeat failed: cmd:20, len:28\n"), 1u);
  int online = find("[SERVER] server status: online\n");
  ASSERT_GE(online, 0);
  EXPECT_GT(online, find("hearbeat failed", 2));
  EXPECT_EQ(log.count("server status: online"), 1u);
  ASSERT_TRUE(wait_until([&] { return log.count("server status: signed in") == 2; }, 2s));
  EXPECT_GT(find("server status: signed in", 1), online);
  expect_no_violations();
}

TEST_F(ServerLink, SigninCommandSignsInAgainAtOnce) {
  start({});
  sim.push_heartbeat_command(0x10, {0, 0, 0, 0, 0, 7});
  ASSERT_TRUE(sim.wait_for_count(0x10, 2, 6s)) << log.dump();
  EXPECT_EQ(heartbeats_after_signin(0), 1);
  EXPECT_EQ(log.count("server status: online"), 1u);
  EXPECT_EQ(find("hearbeat failed"), -1) << log.dump();
  EXPECT_EQ(pending(), 0);  // not a queued command
}

TEST_F(ServerLink, OfflineOnlyAfterTheDeadlineThenSignsInAgain) {
  start({{"offline_delay", "2"}});
  sim.push_heartbeat_command(0x10, {0, 0, 0, 0, 0, 1});
  ASSERT_TRUE(sim.wait_for_count(0x11, 1, 5s)) << log.dump();
  sim.set_offline(true);
  ASSERT_TRUE(wait_until([&] { return server_is_offline() == 1; }, 6s)) << log.dump();

  int online = find("server status: online");
  int offline = find("[SERVER] server status: offline\n");
  ASSERT_GE(online, 0);
  ASSERT_GT(offline, online);
  // The first failure lies before the deadline and keeps the status.
  int first_fail = find("[SERVER] signin request failed\n");
  int second_fail = find("[SERVER] signin request failed\n", 1);
  EXPECT_GT(first_fail, online);
  EXPECT_GT(second_fail, first_fail);
  EXPECT_LT(second_fail, offline);

  sim.set_offline(false);
  ASSERT_TRUE(wait_until([&] { return log.count("server status: signed in") == 2; }, 4s))
      << log.dump();
  EXPECT_EQ(server_is_offline(), 0);
}

TEST_F(ServerLink, DeliveredCommandsAreQueuedOncePerCode) {
  // The first log upload is held up at its notification, so it is still
  // running when the same command comes again.
  dir.write("var/log/messages", "boot\n");
  sim.add_fault(0x18, ztpu_backend::Fault{ztpu_backend::FaultKind::delay, 5000, 1});
  start({});
  sim.push_heartbeat_command(0x19, {1, 1, 1, 1, 1, 1});
  sim.push_heartbeat_command(0x19, {2, 2, 2, 2, 2, 2});
  sim.push_heartbeat_command(0x15, {3, 3, 3, 3, 3, 3}, {0x02, 0x01});
  ASSERT_TRUE(sim.wait_for_count(0x11, 3, 7s)) << log.dump();
  ASSERT_TRUE(wait_until([] { return pending() == 2; }, 1s));

  heartbeat_cmd q[4];
  ASSERT_EQ(server_command_pending(q, 4), 2);
  EXPECT_EQ(q[0].cmd, 0x19);
  EXPECT_EQ(q[0].cmd_id[0], 1);
  EXPECT_EQ(q[1].cmd, 0x15);
  EXPECT_EQ(q[1].arg.key.key_ver, 0x0102);
  EXPECT_EQ(log.count("[SERVER] ignore the same command 0x19\n"), 1u) << log.dump();
  EXPECT_EQ(server.status.load(), SERVER_STATUS_SIGNED_IN);
}

TEST_F(ServerLink, OldKeyTableRemovedAfterItsLife) {
  start({{"old_security_life", "2"}});
  ASSERT_TRUE(sim.wait_for_count(0x11, 1, 5s)) << log.dump();
  security_double::set_need_remove(true);
  int marked_at = sim.count(0x11);
  ASSERT_TRUE(wait_until([] { return security_double::remove_calls() == 1; }, 6s)) << log.dump();
  int removed_at = sim.count(0x11);
  EXPECT_GE(removed_at - marked_at, 2);

  int a = find("[SERVER] old_securit_life:2,old_securit_cnt:1,old_securit_cnt * delay:1\n");
  int b = find("[SERVER] old_securit_life:2,old_securit_cnt:2,old_securit_cnt * delay:2\n");
  int d = find("[SERVER] old_securit_life:2,old_securit_cnt:0,old_securit_cnt * delay:0\n");
  ASSERT_GE(a, 0) << log.dump();
  EXPECT_GT(b, a);
  EXPECT_GT(d, b);

  // No mark, no counting.
  ASSERT_TRUE(sim.wait_for_count(0x11, removed_at + 1, 3s));
  EXPECT_EQ(log.count("old_securit_life"), 3u);
}

}  // namespace
