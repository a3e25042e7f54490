// The server link against the back-end simulator and a double of the
// security module.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

#include "backend_sim.h"
#include "server_internal.h"
#include "test_support.h"
#include "ztpu/list.h"
#include "ztpu/mconf.h"
#include "ztpu/paths.h"
#include "ztpu/security.h"
#include "ztpu/ztpu.h"

// The double; its record-file repair counts the calls made with the lock held.
namespace sd {
std::atomic<bool> need_remove{false};
std::atomic<int> remove_calls{0}, enable_result{0}, repair_calls{0}, repair_calls_locked{0};
std::vector<std::vector<std::uint8_t>> saved;  // only the test thread carries out key commands
std::vector<std::array<std::uint8_t, 2>> enabled;
}  // namespace sd

int security_get_deviceid(u8* id, int len) {
  std::memset(id, 0xD7, static_cast<std::size_t>(len));
  return 0;
}
int security_gen_tac(u8*, int, u8* key_id, u8* out, int* outl) {
  std::memset(out, 0x5A, *outl = 16);
  key_id[0] = 1, key_id[1] = 2, key_id[2] = 3;
  return 0;
}
int security_is_need_remove_old_keytable() { return sd::need_remove ? 1 : 0; }
int security_remove_keytable() {
  return sd::need_remove.exchange(false) ? ++sd::remove_calls, 0 : -1;
}
int security_save_pf2file(u8* data, u32 len) {
  sd::saved.emplace_back(data, data + len);
  return 0;
}
int security_enable_pf(u8* ver) {
  sd::enabled.push_back({ver[0], ver[1]});
  return sd::enable_result;
}
int ztpu_repair_record_file() {
  ++sd::repair_calls;
  int fd = open(ztpu::path::record_lock, O_RDWR | O_CLOEXEC);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) ++sd::repair_calls_locked;
  close(fd);
  return 0;
}

namespace {

using namespace std::chrono_literals;
using ztpu_backend::Bytes;
using ztpu_backend::Fault;
using ztpu_backend::FaultKind;
using Clock = std::chrono::steady_clock;
using Names = std::vector<std::string>;
namespace fs = std::filesystem;

const std::string kRecord = "var/ulocal/ZEF_BIZRECORD.csv";
const std::string kUpload = "var/ulocal/upload/";
const std::string kBackup = "var/ulocal/backup/";

// The 21 items for a board talking to 127.0.0.1:port; `set` replaces values.
std::string config_text(std::uint16_t port, const std::map<std::string, std::string>& set = {}) {
  std::string text =
      "config_ver=T-0001\nipaddr=127.0.0.2\nnetmask=255.0.0.0\ngateway=127.0.0.1\n"
      "dns=127.0.0.1\ndns2=127.0.0.1\ntime_server=127.0.0.1\ntpu_code=T01\n"
      "merchant_code=M01\nexit_flag=1\nserver_ip=127.0.0.1\nserver_port=" +
      std::to_string(port) +
      "\nupload_interval=1\nheartbeat_interval=1\nheartbeat_retries=3\n"
      "voucher_check_time=60\nfile_block_size=1024\ndefault_station=1\n"
      "use_default_station=0\noffline_delay=30\nold_security_life=600\n";
  for (const auto& [key, value] : set) {
    const std::size_t at = text.find(key + "=");
    text.replace(at, text.find('\n', at) - at, key + "=" + value);
  }
  return text;
}

template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit) {
  for (auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(20ms))
    if (pred()) return true;
  return pred();
}

std::string order_name(std::time_t t, int nr) {
  struct tm tm_t {};
  char name[48];
  std::strftime(name, sizeof(name), "ZEF%Y%m%d%H%M%S", localtime_r(&t, &tm_t));
  return name + std::to_string(1000 + nr).substr(1) + ".csv";
}

class Link : public ::testing::Test {
 protected:
  // With `link` the threads start, without it only the SP client is set up.
  void start(const std::map<std::string, std::string>& set = {}, bool link = false) {
    ztpu_backend::Options o;
    o.check_device_id = true;
    o.device_id.fill(0xD7);
    ASSERT_EQ(sim.start(o), 0);
    dir.mkdirs("var/log");
    dir.write("etc/ztpu.conf", conf = config_text(sim.port(), set));
    ASSERT_EQ(mconf_init(), 0);
    t0 = Clock::now();
    ASSERT_EQ(link ? server_init() : server_init_connection(), 0);
  }
  void TearDown() override {
    server_exit();
    sim.stop();
    mconf_exit();
  }
  Bytes first(std::uint16_t cmd) const {
    for (const auto& r : sim.requests())
      if (r.cmd == cmd) return r.data;
    return {};
  }
  Names logged(std::initializer_list<const char*> needles) const {
    Names out;
    for (const auto& m : log.messages()) {
      if (std::any_of(needles.begin(), needles.end(),
                      [&](const char* n) { return m.second.find(n) != std::string::npos; }))
        out.push_back(m.second);
    }
    return out;
  }
  // A stop never waits out a slow exchange or a period.
  static void stop_promptly() {
    auto t = Clock::now();
    server_exit();
    EXPECT_LT(Clock::now() - t, 500ms);
  }
  int run(std::uint16_t code, std::uint8_t id, std::uint16_t key_ver = 0) {
    heartbeat_cmd c{};
    std::memset(c.cmd_id, id, sizeof(c.cmd_id));
    c.cmd = code;
    c.arg.key.key_ver = key_ver;
    sim.note_delivered(c);
    return server_do_command(&c);
  }
  Names files(const std::string& rel) const {
    Names names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir.path() + "/" + rel, ec))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  void init() { ASSERT_EQ(server_order_init(&orders), 0); }
  void pass() { server_order_upload_pass(&orders, running); }
  Names queue() const {
    Names names;
    list_for_each(&order_list,
                  [&](list_node* n) { names.push_back(list_entry<server_order>(n)->filename); });
    return names;
  }
  std::string rotate() { return server_order_add(&orders) == 0 ? queue().back() : ""; }

  ztpu_test::ScratchDir dir;
  ztpu_test::LogCapture log;
  ztpu_backend::BackendSim sim;
  std::string conf;
  Clock::time_point t0;
  order_buffer orders;
  std::atomic<int> running{1};
};
using ServerLink = Link;
using Commands = Link;
using Orders = Link;

TEST(ServerHeartbeat, ResponseShapes) {
  const std::tuple<std::size_t, std::uint16_t, int> rows[] = {
      {20, 0x14, SERVER_HB_NONE},    {28, 0x19, SERVER_HB_QUEUE}, {28, 0x10, SERVER_HB_SIGNIN},
      {28, 0x14, SERVER_HB_INVALID}, {30, 0x15, SERVER_HB_QUEUE}, {30, 0x17, SERVER_HB_QUEUE},
      {30, 0x19, SERVER_HB_INVALID}, {44, 0x14, SERVER_HB_QUEUE}, {44, 0x15, SERVER_HB_INVALID},
      {0, 0, SERVER_HB_INVALID},     {21, 0, SERVER_HB_INVALID},  {36, 0x14, SERVER_HB_INVALID},
  };
  for (auto [len, cmd, action] : rows) {
    heartbeat_rsp rsp{};
    rsp.cmd.cmd = cmd;
    EXPECT_EQ(server_heartbeat_parse(&rsp, len), action) << len << " 0x" << std::hex << cmd;
  }
}

// Never signed in: offline, and no rotation.
TEST_F(ServerLink, StopsPromptlyAndCutsAnExchangeShort) {
  dir.write(kRecord, "kept\n");
  sim.add_fault(0x10, Fault{FaultKind::delay, 3000, 1});
  start({}, true);
  EXPECT_EQ(server_is_offline(), 1);
  EXPECT_EQ(server_init(), -1);
  EXPECT_TRUE(log.contains("[SERVER] server link already started\n", LOG_ERR));
  stop_promptly();
  EXPECT_EQ(sim.requests().size(), 0u);
  server_exit();  // a second stop is harmless, and the link starts again
  ASSERT_EQ(server_init(), 0);
  ASSERT_TRUE(sim.wait_for_count(0x10, 1, 5s)) << log.dump();
  std::this_thread::sleep_for(100ms);  // the heartbeat thread waits for the answer
  stop_promptly();
  EXPECT_TRUE(log.contains("[SERVER] signin request failed\n", LOG_ERR)) << log.dump();
  EXPECT_EQ(server_is_offline(), 1);
  EXPECT_EQ(dir.read(kRecord), "kept\n");
  EXPECT_EQ(sd::repair_calls, 0);
}

TEST_F(ServerLink, SigninRetriesOldKeyTableAndOfflineDeadline) {
  sd::need_remove = true;
  start({{"heartbeat_retries", "1"}, {"offline_delay", "2"}, {"old_security_life", "2"}}, true);
  // Failure: retries 1 -> 0; success: 1; failure: 0; failure: online.
  for (auto [len, cmd] : {std::pair{36, 0}, {20, 0}, {28, 0x14}, {36, 0}}) {
    Bytes a(len, 0);
    if (len == 28) a[26] = cmd;
    sim.push_heartbeat_raw(a);
  }
  sim.push_heartbeat_command(0x10, {0, 0, 0, 0, 0, 7});
  ASSERT_TRUE(sim.wait_for_count(0x10, 1, 5s)) << log.dump();
  EXPECT_GT(Clock::now() - t0, 1500ms);  // the first cycle after 2 s
  EXPECT_LT(Clock::now() - t0, 3000ms);
  const Bytes req = sim.requests().at(0).data;
  ASSERT_EQ(req.size(), 39u);
  EXPECT_EQ(Bytes(req.begin() + 16, req.begin() + 32), Bytes(16, 0x5A));
  EXPECT_EQ(Bytes(req.begin() + 36, req.end()), Bytes({1, 2, 3}));
  std::int64_t t = req[32] | req[33] << 8 | req[34] << 16 | std::int64_t{req[35]} << 24;
  EXPECT_LE(std::abs(t - std::time(nullptr)), 5);
  ASSERT_TRUE(wait_until([&] { return log.count("status: signed in") == 3; }, 12s)) << log.dump();
  const std::string old = "[SERVER] old_securit_life:2,old_securit_cnt:",
                    fail = "[SERVER] hearbeat failed: cmd:",
                    in = "[SERVER] server status: signed in\n",
                    online = "[SERVER] server status: online\n";
  EXPECT_EQ(logged({"status", "hearbeat failed", "old_securit"}),
            (Names{in, old + "1,old_securit_cnt * delay:1\n", fail + "0, len:36\n",
                   old + "2,old_securit_cnt * delay:2\n", old + "0,old_securit_cnt * delay:0\n",
                   fail + "20, len:28\n", fail + "0, len:36\n", online, in, online, in}));
  EXPECT_EQ(sd::remove_calls, 1);
  EXPECT_EQ(sim.count(0x11), 5);
  heartbeat_cmd q[4];
  EXPECT_EQ(server_command_pending(q, 4), 0);

  // Online once more, then the server goes away.
  sim.push_heartbeat_command(0x10, {0, 0, 0, 0, 0, 8});
  ASSERT_TRUE(wait_until([&] { return log.count("server status: online") == 3; }, 5s));
  sim.set_offline(true);
  ASSERT_TRUE(wait_until([&] { return server_is_offline() == 1; }, 6s)) << log.dump();
  Names v = logged({"status", "signin request failed"});
  auto first_fail = std::find(v.begin(), v.end(), "[SERVER] signin request failed\n");
  auto offline = std::find(v.begin(), v.end(), "[SERVER] server status: offline\n");
  ASSERT_NE(offline, v.end());
  EXPECT_EQ(first_fail[-1], online);
  EXPECT_LT(first_fail + 1, offline);  // the first failure lies before the deadline
  sim.set_offline(false);
  ASSERT_TRUE(wait_until([&] { return server_is_offline() == 0; }, 4s)) << log.dump();
  EXPECT_EQ(sim.violations(), Names{});
}

TEST_F(Commands, CarriedOutDirectly) {
  start({{"config_ver", "CFG-2026-12-06-LONG-VERSION"}});
  EXPECT_EQ(run(HB_CMD_UPLOAD_LOG, 1), -1);  // no log: fails quietly
  EXPECT_TRUE(log.messages().empty()) << log.dump();
  // Logs already uploaded under the names of this second and the next few.
  for (std::time_t t = std::time(nullptr), end = t + 4; t < end; ++t) {
    struct tm tm_t {};
    char name[32];
    std::strftime(name, sizeof(name), "var/log/%Y%m%d%H%M%S.log", localtime_r(&t, &tm_t));
    dir.write(name, "earlier log\n");
  }
  dir.write("var/log/messages", "new\n");
  EXPECT_EQ(run(HB_CMD_UPLOAD_LOG, 1), -1);
  EXPECT_TRUE(log.contains("already exists", LOG_ERR)) << log.dump();
  for (const std::string& n : files("var/log"))
    EXPECT_EQ(dir.read("var/log/" + n), n == "messages" ? "new\n" : "earlier log\n");
  EXPECT_TRUE(sim.requests().empty());
  fs::remove_all(dir.path() + "/var/log");
  dir.write("var/log/messages", "x");
  sim.add_fault(SERVER_SP_UPLOAD_LOG_NOTIFY, Fault{FaultKind::record_status, 3, 1});
  EXPECT_EQ(run(HB_CMD_UPLOAD_LOG, 1), -1);
  EXPECT_TRUE(log.contains("[SERVER] upload log notification response status: 3\n", LOG_ERR));
  EXPECT_EQ(sim.count(SERVER_SP_UPLOAD_LOG), 0);

  std::string next = config_text(sim.port(), {{"heartbeat_interval", "7"}}) + "# kept\n";
  sim.set_config(next, "T-0002");
  EXPECT_EQ(run(HB_CMD_UPDATE_CFG, 4), 0) << log.dump();
  EXPECT_EQ(mconf_get_int(MC_HEARTBEAT_INTERVAL), 7);
  // The version too long for its field went out as its first 16 characters.
  const Bytes req = first(SERVER_SP_UPDATE_CFG);
  EXPECT_EQ(std::string(req.begin() + 22, req.end()), "CFG-2026-12-06-L");
  EXPECT_EQ(sim.receipts().at(0).cmd_id[0], 4);
  // No content, or content that does not match its digest: nothing changes.
  sim.set_response(SERVER_SP_UPDATE_CFG, Bytes(64, 0));
  EXPECT_EQ(run(HB_CMD_UPDATE_CFG, 5), 0);
  EXPECT_TRUE(log.contains("[SERVER] no configuration content response\n", LOG_ERR));
  std::string bad = std::string(64, '\0') + conf;  // a zero digest
  sim.set_response(SERVER_SP_UPDATE_CFG, Bytes(bad.begin(), bad.end()));
  EXPECT_EQ(run(HB_CMD_UPDATE_CFG, 5), 0);
  EXPECT_TRUE(log.contains("[SERVER] update config md5 check failed\n", LOG_ERR));
  EXPECT_EQ(dir.read("etc/ztpu.conf"), next);
  EXPECT_EQ(mconf_get_int(MC_HEARTBEAT_INTERVAL), 7);

  Bytes file(180);  // a block of 100, then a shorter one of 80
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i * 31 + 7);
  sim.set_key_file(file, 0x0203, 100);
  EXPECT_EQ(run(HB_CMD_UPDATE_KEY, 6, 0x0203), 0) << log.dump();
  EXPECT_EQ(sd::saved, std::vector<Bytes>{file});
  EXPECT_EQ(sim.count(SERVER_SP_DOWNLOAD_KEY), 2);
  EXPECT_EQ(sim.receipts().at(3).cmd, HB_CMD_UPDATE_KEY);
  const Bytes key = first(SERVER_SP_UPDATE_KEY);  // names the command's version
  EXPECT_EQ(key[22] | key[23] << 8, 0x0203);
  EXPECT_EQ(sim.violations(), Names{});
  // 3 blocks of 0 bytes, 1025 of 1024 (just above 1 MiB): refused unfetched.
  Bytes sizes(sizeof(update_key_rsp), 0);
  sizes[offsetof(update_key_rsp, blocks)] = 3;
  sim.set_response(SERVER_SP_UPDATE_KEY, sizes);
  EXPECT_EQ(run(HB_CMD_UPDATE_KEY, 7, 0x0203), 0);
  sizes[50] = 1, sizes[51] = 4, sizes[53] = 4;
  sim.set_response(SERVER_SP_UPDATE_KEY, sizes);
  EXPECT_EQ(run(HB_CMD_UPDATE_KEY, 7, 0x0203), 0);
  EXPECT_EQ(log.count("[SERVER] update key: refused"), 2u) << log.dump();
  EXPECT_EQ(sim.count(SERVER_SP_DOWNLOAD_KEY), 2);
  // A block's data_len not its length; a wrong digest; a short answer.
  Bytes block(18 + 100, 0);
  block[16] = 99;
  sim.set_response(SERVER_SP_DOWNLOAD_KEY, block);
  EXPECT_EQ(run(HB_CMD_UPDATE_KEY, 7, 0x0203), 0);
  EXPECT_TRUE(log.contains("[SERVER] downlod key block 1 failed\n", LOG_ERR));
  block[16] = 100;
  sim.set_response(SERVER_SP_DOWNLOAD_KEY, block, 2);
  EXPECT_EQ(run(HB_CMD_UPDATE_KEY, 7, 0x0203), 0);
  EXPECT_TRUE(log.contains("[SERVER] download key md5 check failed\n", LOG_ERR));
  sim.set_response(SERVER_SP_UPDATE_KEY, Bytes(53, 0));
  EXPECT_EQ(run(HB_CMD_UPDATE_KEY, 7, 0x0203), 0);
  EXPECT_TRUE(log.contains("[SERVER] update key failed\n", LOG_ERR));
  EXPECT_EQ(sd::saved.size(), 1u);
  EXPECT_EQ(run(HB_CMD_APPLY_KEY, 8, 0x0302), 0);
  sd::enable_result = -1;
  EXPECT_EQ(run(HB_CMD_APPLY_KEY, 8, 0x0302), 0);
  EXPECT_EQ(sd::enabled, (std::vector<std::array<std::uint8_t, 2>>{{2, 3}, {2, 3}}));
  std::vector<int> statuses;
  for (const receipt_cmd& r : sim.receipts()) statuses.push_back(r.status);
  EXPECT_EQ(statuses, (std::vector<int>{0, 1, 1, 0, 1, 1, 1, 1, 1, 0, 1}));
  sim.set_response(SERVER_SP_RECEIPT, Bytes(24, 0));
  EXPECT_EQ(run(HB_CMD_APPLY_KEY, 9), -1);
  EXPECT_TRUE(log.contains("[SERVER] receipt failed (cmd:0x17\n\n", LOG_ERR)) << log.dump();
  sim.add_fault(SERVER_SP_RECEIPT, Fault{FaultKind::drop, 0, 1});
  EXPECT_EQ(run(HB_CMD_APPLY_KEY, 9), -1);
  EXPECT_TRUE(log.contains("[SERVER] receipt request failed\n", LOG_ERR));
  EXPECT_EQ(sim.count(SERVER_SP_RECEIPT), 13);  // each sent once
}

TEST_F(Orders, StartScanQueuesOrderFilesInNameOrder) {
  start();
  Names names;
  for (int i = 0; i < 70; ++i) names.push_back(order_name(1700000000 + 3600 * (i % 7), i));
  for (auto it = names.rbegin(); it != names.rend(); ++it) dir.write(kUpload + *it, *it + "\n");
  for (const char* junk :
       {"ZEF_BIZRECORD.csv", "ZEF2026120610000000.csv", "ABC20261206100000000.csv",
        "ZEF20261206100000000.txt", "ZEF20261206100000000.csvx", "zef20261206100000000.csv",
        "ZEF20261206100000000_csv"})
    dir.write(kUpload + junk, "junk\n");
  init();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(orders.size, 70);
  EXPECT_EQ(queue(), names);
  // A full table stops rotation, not upload.
  dir.write(kRecord, "order\n");
  EXPECT_EQ(rotate(), "");
  EXPECT_TRUE(log.contains("[SERVER] server order buffer is full\n", LOG_ERR));
  EXPECT_TRUE(dir.exists(kRecord));
  pass();
  EXPECT_EQ(files(kBackup), names) << log.dump();
  EXPECT_TRUE(queue().empty());
  EXPECT_EQ(sim.order_files().size(), 70u);
  EXPECT_NE(rotate(), "");
  EXPECT_EQ(files(kUpload).size(), 8u);  // the junk and the new order file
  EXPECT_EQ(sim.violations(), Names{});
}

TEST_F(Orders, RotationNamesSkipTakenNamesUnderTheLock) {
  start();
  bool done = false;  // each attempt must stay within one second
  for (int attempt = 0; attempt < 5 && !done; ++attempt) {
    std::time_t now = std::time(nullptr);
    for (const std::string& d : {kUpload, kBackup}) fs::remove_all(dir.path() + "/" + d);
    init();  // an empty queue again
    Names got;
    for (const char* text : {"first\n", "second\n", "third\n"}) {
      // Then taken in the backup directory (002..004) and waiting for upload (005).
      for (int nr = 2; got.size() == 2 && nr < 5; ++nr)
        dir.write(kBackup + order_name(now, nr), "");
      if (got.size() == 2) dir.write(kUpload + order_name(now, 5), "waiting\n");
      dir.write(kRecord, text);
      got.push_back(rotate());
    }
    if (std::time(nullptr) != now) continue;
    done = true;
    EXPECT_EQ(got, (Names{order_name(now, 0), order_name(now, 1), order_name(now, 6)}));
    EXPECT_EQ(dir.read(kUpload + order_name(now, 5)), "waiting\n");
    EXPECT_EQ(dir.read(kUpload + got[2]), "third\n");
    EXPECT_FALSE(dir.exists(kRecord));
  }
  ASSERT_TRUE(done);
  EXPECT_GE(sd::repair_calls, 3);
  EXPECT_EQ(sd::repair_calls_locked, sd::repair_calls);
}

// A file leaves for backup only once the server took all of it.
TEST_F(Orders, UploadPasses) {
  start();
  const std::string gone = order_name(1700000000, 0);
  dir.write(kUpload + gone, "a\n");
  init();
  EXPECT_EQ(orders.size, 64);  // never fewer slots than 64
  fs::remove(dir.path() + "/" + kUpload + gone);
  EXPECT_EQ(rotate(), "");  // no record file: nothing to do
  std::string text;
  for (int i = 0; i < 120; ++i) text += "order line " + std::to_string(i) + ",1,2,3\n";
  dir.write(kRecord, text);
  const std::string name = rotate();
  constexpr std::uint16_t kNotify = SERVER_SP_UPLOAD_ORDER_NOTIFY, kBlock = SERVER_SP_UPLOAD_ORDER;
  // message, command, fault, or > 0: an answer of this many zero bytes instead
  const std::tuple<const char*, std::uint16_t, Fault, std::size_t> steps[] = {
      {"order notification response status: 3\n", kNotify, {FaultKind::record_status, 3, 1}, 0},
      {"upload order notification request failed\n", kNotify, {FaultKind::drop, 0, 1}, 0},
      {"invalid upload order notification response\n", kNotify, {}, 41},
      {"upload order block 2 failed\n", kBlock, {FaultKind::drop, 0, 1}, 0},
      {"invalid upload order response\n", kBlock, {}, 10},
      {"upload order response status: 1\n", kBlock, {FaultKind::record_status, 1, 1}, 0},
  };
  for (auto [message, cmd, fault, raw] : steps) {
    log.clear();
    if (raw > 0) sim.set_response(cmd, Bytes(raw, 0));
    if (cmd == kBlock && fault.kind == FaultKind::drop) sim.add_fault(kBlock, Fault{});
    if (raw == 0) sim.add_fault(cmd, fault);
    pass();
    EXPECT_TRUE(log.contains(std::string("[SERVER] ") + message, LOG_ERR)) << log.dump();
    EXPECT_EQ(dir.read(kUpload + name), text);
    EXPECT_EQ(queue(), Names{name}) << message;
  }
  sim.clear_faults();
  dir.write(kRecord, "");
  const std::string empty = rotate();
  fs::remove(dir.path() + "/" + kBackup);
  dir.write("var/ulocal/backup", "not a directory");
  pass();
  EXPECT_TRUE(log.contains("[SERVER] move order " + empty + " to backup failed\n", LOG_ERR));
  EXPECT_EQ(queue(), (Names{name, empty}));
  fs::remove(dir.path() + "/var/ulocal/backup");
  fs::create_directory(dir.path() + "/" + kBackup);
  pass();
  EXPECT_TRUE(queue().empty());
  EXPECT_NE(server_order_get_buffer(&orders), nullptr);
  EXPECT_EQ(files(kBackup), (Names{name, empty}));
  auto f = sim.order_files();
  EXPECT_EQ(std::string(f[name].data.begin(), f[name].data.end()), text);
  EXPECT_EQ(f[name].notifications, 5);  // the ones that reached its handler
  EXPECT_TRUE(f[name].complete && f[empty].complete && f[empty].blocks == 0);
  EXPECT_EQ(sim.count(kNotify), 8);
  EXPECT_EQ(sim.requests()[0].data[16], 1);  // type: the exit flag's low byte
  EXPECT_EQ(sim.violations(), Names{});      // every pass began again at block 1
}

// A split a crash interrupted is finished at start under the same names, so
// nothing is lost or sent twice.
TEST_F(Orders, OversizeFilesAreSplitAndInterruptedSplitsFinished) {
  start();
  server_order_part_max = 100;
  const std::string src = "ZEF20260101000000000.csv", a = "ZEF20260101000001000.csv",
                    b = "ZEF20260101000001001.csv";
  std::string text = "line one\nline two\nline three\n";
  dir.write(kUpload + src, text);
  dir.write(kUpload + src + ".split", a + " 0 9\n" + b + " 9 20\n");
  dir.write(kUpload + a, "line one\n");
  dir.write(kUpload + b + ".tmp", "line t");
  init();
  EXPECT_EQ(files(kUpload), (Names{a, b}));
  EXPECT_EQ(queue(), (Names{a, b}));
  for (int i = 0; i < 30; ++i) text += "order " + std::to_string(i) + ",12345678\n";
  text += std::string(150, 'x') + "\nlast,1\n";  // one line over the limit
  dir.write(kRecord, text.substr(29));
  const std::string name = rotate();
  pass();
  EXPECT_TRUE(log.contains("[SERVER] splitting order " + name + " into ", LOG_INFO)) << log.dump();
  EXPECT_TRUE(files(kUpload).empty());
  EXPECT_TRUE(queue().empty());
  auto got = sim.order_files();
  EXPECT_EQ(got.count(name), 0u);  // the source itself is never announced
  std::string all;
  for (auto& [n, file] : got) {
    EXPECT_TRUE(file.complete && file.data.back() == '\n' && dir.exists(kBackup + n)) << n;
    EXPECT_TRUE(file.data.size() <= 100u || file.data.size() == 151u) << n;
    all.append(file.data.begin(), file.data.end());
  }
  EXPECT_EQ(all, text);
  EXPECT_GE(got.size(), 7u);
  dir.write(kUpload + src + ".split", a + " 0 9\n");  // a plan whose source is gone
  init();
  EXPECT_TRUE(files(kUpload).empty());
  EXPECT_EQ(sim.violations(), Names{});
}

}  // namespace
