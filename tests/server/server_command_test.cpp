// Server commands carried out against the back-end simulator, each called
// directly (the command thread itself is covered at the end).
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "security_double.h"
#include "server_fixture.h"

namespace {

using namespace std::chrono_literals;
using ztpu_backend::Bytes;
using ztpu_backend::Fault;
using ztpu_backend::FaultKind;

class Commands : public server_test::SimBoard {
 protected:
  void SetUp() override {
    start_board(security_double::kDeviceId, {{"config_ver", "CFG-2026-12-06-LONG-VERSION"}});
    ASSERT_EQ(server_init_connection(), 0);
  }
  heartbeat_cmd deliver(std::uint16_t code, std::uint8_t id, std::uint16_t key_ver = 0) {
    heartbeat_cmd c{};
    std::memset(c.cmd_id, id, sizeof(c.cmd_id));
    c.cmd = code;
    c.arg.key.key_ver = key_ver;
    sim.note_delivered(c);
    return c;
  }
  // The receipts' statuses, in order.
  std::vector<int> receipt_statuses() const {
    std::vector<int> out;
    for (const receipt_cmd& r : sim.receipts()) out.push_back(r.status);
    return out;
  }
  std::size_t log_file_count() const {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(dir.path() + "/var/log"), {}));
  }
};

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7) % 26);
  return s;
}

// ---- Log upload ----

TEST_F(Commands, UploadLogSendsTheRenamedLogInBlocks) {
  std::string text = pattern(2500);
  dir.write("var/log/messages", text);
  heartbeat_cmd c = deliver(HB_CMD_UPLOAD_LOG, 1);
  EXPECT_EQ(server_do_command(&c), 0);

  auto files = sim.log_files();
  ASSERT_EQ(files.size(), 1u) << log.dump();
  const auto& [name, f] = *files.begin();
  EXPECT_TRUE(f.complete);
  EXPECT_EQ(f.blocks, 3);
  EXPECT_EQ(std::string(f.data.begin(), f.data.end()), text);
  ASSERT_EQ(name.size(), 18u);
  EXPECT_EQ(name.substr(14), ".log");
  // Renamed in place and left there; the next message starts a new log.
  EXPECT_FALSE(dir.exists("var/log/messages"));
  EXPECT_EQ(dir.read("var/log/" + name), text);
  EXPECT_TRUE(sim.receipts().empty());
  EXPECT_TRUE(log.contains("[SERVER] uploading syslog ./var/log/" + name + " (2500 B)\n", LOG_INFO))
      << log.dump();
  expect_no_violations();
}

TEST_F(Commands, UploadLogEdgeSizes) {
  // No log: fails quietly, nothing sent, no receipt.
  heartbeat_cmd c = deliver(HB_CMD_UPLOAD_LOG, 2);
  EXPECT_EQ(server_do_command(&c), -1);
  EXPECT_TRUE(sim.requests().empty());
  EXPECT_TRUE(log.messages().empty()) << log.dump();

  // Empty: announced with no blocks.
  dir.write("var/log/messages", "");
  EXPECT_EQ(server_do_command(&c), 0) << log.dump();
  auto files = sim.log_files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files.begin()->second.blocks, 0);
  EXPECT_TRUE(files.begin()->second.complete);
  EXPECT_EQ(sim.count(SERVER_SP_UPLOAD_LOG), 0);

  // One byte: one block of one byte (under the next second's name).
  std::this_thread::sleep_for(1100ms);
  dir.write("var/log/messages", "x");
  EXPECT_EQ(server_do_command(&c), 0) << log.dump();
  EXPECT_EQ(sim.count(SERVER_SP_UPLOAD_LOG), 1);
  const Bytes last = sim.requests().back().data;
  ASSERT_EQ(last.size(), 39u);
  EXPECT_EQ(last[34], 1);  // block 1
  EXPECT_EQ(last[36], 1);  // of 1 byte
  EXPECT_EQ(last[38], 'x');
  EXPECT_EQ(log_file_count(), 2u);
  EXPECT_TRUE(sim.receipts().empty());
  expect_no_violations();
}

TEST_F(Commands, UploadLogNeverReplacesAnEarlierLog) {
  // Logs already uploaded under the names of this second and the next few.
  std::time_t now = std::time(nullptr);
  for (std::time_t t = now; t < now + 4; ++t) {
    struct tm tm_t {};
    localtime_r(&t, &tm_t);
    char name[32];
    std::strftime(name, sizeof(name), "%Y%m%d%H%M%S.log", &tm_t);
    dir.write(std::string("var/log/") + name, "earlier log\n");
  }
  dir.write("var/log/messages", "new\n");
  heartbeat_cmd c = deliver(HB_CMD_UPLOAD_LOG, 10);
  EXPECT_EQ(server_do_command(&c), -1);
  EXPECT_TRUE(log.contains("already exists", LOG_ERR)) << log.dump();
  EXPECT_EQ(dir.read("var/log/messages"), "new\n");
  for (const auto& e : std::filesystem::directory_iterator(dir.path() + "/var/log")) {
    const std::string n = e.path().filename().string();
    if (n != "messages") {
      EXPECT_EQ(dir.read("var/log/" + n), "earlier log\n");
    }
  }
  EXPECT_TRUE(sim.requests().empty());
}

TEST_F(Commands, UploadLogFailures) {
  heartbeat_cmd c = deliver(HB_CMD_UPLOAD_LOG, 3);
  dir.write("var/log/messages", pattern(1500));
  sim.add_fault(SERVER_SP_UPLOAD_LOG_NOTIFY, Fault{FaultKind::record_status, 3, 1});
  EXPECT_EQ(server_do_command(&c), -1);
  EXPECT_TRUE(log.contains("[SERVER] upload log notification response status: 3\n", LOG_ERR));

  dir.write("var/log/messages", pattern(1500));
  sim.add_fault(SERVER_SP_UPLOAD_LOG, Fault{FaultKind::none, 0, 1});
  sim.add_fault(SERVER_SP_UPLOAD_LOG, Fault{FaultKind::drop, 0, 1});
  std::this_thread::sleep_for(1s);  // a new log name
  EXPECT_EQ(server_do_command(&c), -1);
  EXPECT_TRUE(log.contains("[SERVER] upload log block 2 failed\n", LOG_ERR)) << log.dump();

  EXPECT_TRUE(sim.receipts().empty());
}

// ---- Configuration update ----

TEST_F(Commands, ConfigurationIsInForceAtOnceAndWrittenByteForByte) {
  std::string next =
      server_test::config_text(sim.port(), {{"config_ver", "T-0002"}, {"heartbeat_interval", "7"}});
  next += "# comment kept as sent\n";
  sim.set_config(next, "T-0002");
  heartbeat_cmd c = deliver(HB_CMD_UPDATE_CFG, 4);
  EXPECT_EQ(server_do_command(&c), 0) << log.dump();

  EXPECT_EQ(mconf_get_int(MC_HEARTBEAT_INTERVAL), 7);
  EXPECT_EQ(dir.read("etc/ztpu.conf"), next);
  auto r = sim.receipts();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].cmd, HB_CMD_UPDATE_CFG);
  EXPECT_EQ(r[0].status, 0);
  EXPECT_EQ(r[0].cmd_id[0], 4);
  // The version too long for its field went out as its first 16 characters.
  auto reqs = sim.requests();
  ASSERT_EQ(reqs[0].cmd, SERVER_SP_UPDATE_CFG);
  EXPECT_EQ(std::string(reqs[0].data.begin() + 22, reqs[0].data.end()), "CFG-2026-12-06-L");
  expect_no_violations();
}

TEST_F(Commands, ConfigurationFailuresChangeNothing) {
  heartbeat_cmd c = deliver(HB_CMD_UPDATE_CFG, 5);
  // A text lacking an item: refused by the store.
  sim.set_config(server_test::config_text(sim.port(), {{"heartbeat_interval", ""}}));
  EXPECT_EQ(server_do_command(&c), 0);  // the receipt went through
  // No content at all.
  sim.set_response(SERVER_SP_UPDATE_CFG, Bytes(64, 0));
  EXPECT_EQ(server_do_command(&c), 0);
  EXPECT_TRUE(log.contains("[SERVER] no configuration content response\n", LOG_ERR));
  // Content that does not match its digest.
  Bytes bad(64, 0);
  std::string text = server_test::config_text(sim.port(), {{"heartbeat_interval", "9"}});
  bad.insert(bad.end(), text.begin(), text.end());
  sim.set_response(SERVER_SP_UPDATE_CFG, bad);
  EXPECT_EQ(server_do_command(&c), 0);
  EXPECT_TRUE(log.contains("[SERVER] update config md5 check failed\n", LOG_ERR));

  EXPECT_EQ(receipt_statuses(), (std::vector<int>{1, 1, 1}));
  EXPECT_EQ(dir.read("etc/ztpu.conf"), conf);
  EXPECT_EQ(mconf_get_int(MC_HEARTBEAT_INTERVAL), 1);
}

// ---- Key download and apply (key store of the double) ----

Bytes key_file(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return b;
}

TEST_F(Commands, KeyFileIsDownloadedInBlocksAndStored) {
  Bytes file = key_file(180);  // a block of 100, then a shorter one of 80
  sim.set_key_file(file, 0x0203, 100);
  heartbeat_cmd c = deliver(HB_CMD_UPDATE_KEY, 6, 0x0203);
  EXPECT_EQ(server_do_command(&c), 0) << log.dump();
  EXPECT_EQ(security_double::saved_payloads(), std::vector<Bytes>{file});
  EXPECT_EQ(sim.count(SERVER_SP_DOWNLOAD_KEY), 2);
  auto r = sim.receipts();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].cmd, HB_CMD_UPDATE_KEY);
  EXPECT_EQ(r[0].status, 0);
  // The request names the command's version (the simulator checks it).
  auto reqs = sim.requests();
  ASSERT_EQ(reqs[0].cmd, SERVER_SP_UPDATE_KEY);
  EXPECT_EQ(reqs[0].data[22], 0x03);
  EXPECT_EQ(reqs[0].data[23], 0x02);
  expect_no_violations();
}

TEST_F(Commands, KeyDownloadFailuresStoreNothing) {
  heartbeat_cmd c = deliver(HB_CMD_UPDATE_KEY, 7, 0x0204);
  const std::size_t saved_before = security_double::saved_payloads().size();
  auto key_rsp = [](std::uint16_t blocks, std::uint16_t block_size) {
    update_key_rsp a{};
    a.blocks = blocks;
    a.block_size = block_size;
    const auto* p = reinterpret_cast<const std::uint8_t*>(&a);
    return Bytes(p, p + sizeof(a));
  };
  // Sizes refused before anything is fetched.
  sim.set_response(SERVER_SP_UPDATE_KEY, key_rsp(3, 0));
  EXPECT_EQ(server_do_command(&c), 0);
  sim.set_response(SERVER_SP_UPDATE_KEY, key_rsp(1025, 1024));  // just above 1 MiB
  EXPECT_EQ(server_do_command(&c), 0);
  EXPECT_EQ(log.count("[SERVER] update key: refused"), 2u) << log.dump();
  EXPECT_EQ(sim.count(SERVER_SP_DOWNLOAD_KEY), 0);

  // A block whose data_len does not match the bytes it carries.
  sim.set_key_file(key_file(150), 0x0204, 100);
  Bytes lying(18 + 100, 0);
  lying[16] = 99;
  sim.set_response(SERVER_SP_DOWNLOAD_KEY, lying);
  EXPECT_EQ(server_do_command(&c), 0);
  EXPECT_TRUE(log.contains("[SERVER] downlod key block 1 failed\n", LOG_ERR));

  // A file that does not match its digest.
  Bytes wrong(18 + 100, 0);
  wrong[16] = 100;
  sim.set_response(SERVER_SP_DOWNLOAD_KEY, wrong, 2);
  EXPECT_EQ(server_do_command(&c), 0);
  EXPECT_TRUE(log.contains("[SERVER] download key md5 check failed\n", LOG_ERR));

  // A short key answer.
  sim.set_response(SERVER_SP_UPDATE_KEY, Bytes(53, 0));
  EXPECT_EQ(server_do_command(&c), 0);
  EXPECT_TRUE(log.contains("[SERVER] update key failed\n", LOG_ERR));

  EXPECT_EQ(security_double::saved_payloads().size(), saved_before);
  EXPECT_EQ(receipt_statuses(), (std::vector<int>{1, 1, 1, 1, 1}));
}

TEST_F(Commands, ApplyKeyPassesTheVersionAndReportsItsResult) {
  heartbeat_cmd c = deliver(HB_CMD_APPLY_KEY, 8, 0x0302);
  const std::size_t before = security_double::enabled_versions().size();
  EXPECT_EQ(server_do_command(&c), 0);
  security_double::set_enable_result(-1);
  EXPECT_EQ(server_do_command(&c), 0);
  security_double::set_enable_result(0);
  auto v = security_double::enabled_versions();
  ASSERT_EQ(v.size(), before + 2);
  EXPECT_EQ(v[before], (std::array<std::uint8_t, 2>{0x02, 0x03}));
  EXPECT_EQ(receipt_statuses(), (std::vector<int>{0, 1}));
  EXPECT_EQ(sim.receipts()[1].cmd, HB_CMD_APPLY_KEY);
  EXPECT_TRUE(sim.count(SERVER_SP_UPDATE_KEY) == 0 && sim.count(SERVER_SP_DOWNLOAD_KEY) == 0);
}

TEST_F(Commands, ReceiptFailures) {
  heartbeat_cmd c = deliver(HB_CMD_APPLY_KEY, 9, 0x0101);
  sim.set_response(SERVER_SP_RECEIPT, Bytes(24, 0));
  EXPECT_EQ(server_do_command(&c), -1);
  EXPECT_TRUE(log.contains("[SERVER] receipt failed (cmd:0x17\n\n", LOG_ERR)) << log.dump();

  sim.add_fault(SERVER_SP_RECEIPT, Fault{FaultKind::drop, 0, 1});
  EXPECT_EQ(server_do_command(&c), -1);
  EXPECT_TRUE(log.contains("[SERVER] receipt request failed\n", LOG_ERR));
  EXPECT_EQ(sim.count(SERVER_SP_RECEIPT), 2);  // each sent once
}

// ---- The command thread ----

TEST_F(Commands, ThreadCarriesOutDeliveredCommandsInOrder) {
  sim.set_config(server_test::config_text(sim.port(), {{"config_ver", "T-0003"}}), "T-0003");
  dir.write("var/log/messages", "boot\n");
  sim.push_heartbeat_command(HB_CMD_UPDATE_CFG, {1, 0, 0, 0, 0, 1}, {'T'});
  sim.push_heartbeat_command(HB_CMD_UPLOAD_LOG, {1, 0, 0, 0, 0, 2});
  sim.push_heartbeat_command(HB_CMD_APPLY_KEY, {1, 0, 0, 0, 0, 3}, {0x05, 0x01});
  ASSERT_EQ(server_init(), 0);
  heartbeat_cmd q[4];
  ASSERT_TRUE(server_test::wait_until(
      [&] { return sim.receipts().size() == 2 && server_command_pending(q, 4) == 0; }, 10s))
      << log.dump();
  server_exit();

  auto r = sim.receipts();
  EXPECT_EQ(r[0].cmd, HB_CMD_UPDATE_CFG);
  EXPECT_EQ(r[1].cmd, HB_CMD_APPLY_KEY);
  EXPECT_EQ(r[1].cmd_id[5], 3);
  EXPECT_EQ(sim.log_files().size(), 1u);
  EXPECT_EQ(dir.read("etc/ztpu.conf").substr(0, 18), "config_ver=T-0003\n");
  // A receipt follows the command it acknowledges.
  auto reqs = sim.requests();
  auto first = [&](std::uint16_t cmd) {
    return std::find_if(reqs.begin(), reqs.end(), [&](const auto& x) { return x.cmd == cmd; });
  };
  EXPECT_LT(first(SERVER_SP_UPDATE_CFG), first(SERVER_SP_RECEIPT));
  expect_no_violations();
}

}  // namespace
