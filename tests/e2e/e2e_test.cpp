// The whole system as its users see it: two real daemons on simulated
// boards, provisioned with ztpu-provision, driven by the gate controller,
// the phone, the air and the back end of the simulated station.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "run.h"
#include "test_support.h"

namespace {

namespace st = ztpu_station;
using namespace std::chrono_literals;

class E2e : public ::testing::Test {
 protected:
  std::string station() const { return dir_.path() + "/station"; }
  static std::string bindir() { return ztpu_test::build_dir() + "/bin"; }

  void make(st::InitOptions o = {}) {
    o.station = station();
    std::string why;
    ASSERT_EQ(st::init_station(o, &why), 0) << why;
    ASSERT_EQ(st::provision_station(station(), bindir(), &why, ztpu_test::emulator()), 0) << why;
  }

  st::RunOptions options() const {
    st::RunOptions o;
    o.station = station();
    o.bindir = bindir();
    o.emulator = ztpu_test::emulator();
    return o;
  }

  // Starts the station, its back ends answering (`online`) or not.
  static void start(st::LiveStation& s, bool online = true) {
    std::string why;
    ASSERT_EQ(s.start(online, &why), 0) << why;
  }

  st::Say say() {
    return [this](const std::string& line) { lines_.push_back(line); };
  }
  std::function<void(const std::string&)> problem() {
    return [this](const std::string& text) { problems_.push_back(text); };
  }
  std::string transcript() const {
    std::string s;
    for (const auto& l : lines_) s += l + "\n";
    for (const auto& p : problems_) s += "PROBLEM: " + p + "\n";
    return s;
  }
  static std::string log_of(st::Lane& l) { return st::read_text(l.log()); }
  // Both daemons still run and printed nothing (no sanitizer report).
  static void expect_alive(st::LiveStation& s) {
    for (st::Lane* l : {&s.entry(), &s.exit()}) {
      EXPECT_TRUE(l->daemon.running()) << l->role();
      EXPECT_EQ(st::read_text(l->info.dir + "/ztpud.out"), "") << l->role();
    }
  }

  // Order lines of one board once `n` have reached its back end.
  static std::vector<std::string> orders(st::LiveStation& s, st::Lane& l, std::size_t n) {
    std::vector<std::string> got;
    for (int i = 0; i < 150 && got.size() < n; ++i) {
      got = s.orders(l);
      if (got.size() < n) std::this_thread::sleep_for(100ms);
    }
    return got;
  }

  ztpu_test::ScratchDir dir_;
  std::vector<std::string> lines_;
  std::vector<std::string> problems_;
};

TEST_F(E2e, DemoPathServesEveryPassageAcrossAKeySwitch) {
  make();
  st::RunOptions o = options();
  o.passengers = 3;
  st::RunSummary sum;
  EXPECT_EQ(st::run_station(o, say(), &sum), 0) << transcript();
  EXPECT_TRUE(sum.problems.empty()) << transcript();
  EXPECT_EQ(sum.served, 3);
  EXPECT_EQ(sum.orders_expected, 6);
  EXPECT_EQ(sum.orders_received, 6);
  EXPECT_EQ(sum.orders_valid, 6);
  EXPECT_TRUE(sum.key_switched);
  EXPECT_TRUE(sum.old_ticket_accepted);
  EXPECT_TRUE(sum.old_ticket_refused);
  // Every answer waits out the line's 0.1 s of silence, and no more than a
  // blink beyond it.
  ASSERT_FALSE(sum.gate_ms.empty());
  EXPECT_GE(*std::min_element(sum.gate_ms.begin(), sum.gate_ms.end()), 95.0);
  EXPECT_LT(st::percentile(sum.gate_ms, 99), 1000.0);
  // Exit orders carry the entry station, the fare and the balance after it.
  const std::string all = transcript();
  EXPECT_NE(all.find(",101,"), std::string::npos);
  const int balance = 5250;  // passenger 1001
  EXPECT_NE(all.find(",205,"), std::string::npos);
  EXPECT_NE(all.find(",3," + std::to_string(balance - 3) + ","), std::string::npos) << all;
  EXPECT_GT(sum.rss_kb[0], 0);
}

TEST_F(E2e, CommandLineStationRunsProvisionedBoards) {
  // The station and what it starts run through the build's emulator, if any.
  const auto tool = [this](std::vector<std::string> args) {
    std::vector<std::string> argv = ztpu_test::program_argv(bindir() + "/ztpu-station");
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  };
  std::string out;
  ASSERT_EQ(st::run_in(dir_.path(), tool({"init", station()}), &out), 0) << out;
  std::string why;
  ASSERT_EQ(st::provision_station(station(), bindir(), &why, ztpu_test::emulator()), 0) << why;
  out.clear();
  std::vector<std::string> run = {"run", station(), "--passengers", "1", "--no-key-switch"};
  std::string emulator;
  for (const std::string& w : ztpu_test::emulator()) emulator += (emulator.empty() ? "" : " ") + w;
  if (!emulator.empty()) run.insert(run.end(), {"--emulator", emulator});
  EXPECT_EQ(st::run_in(dir_.path(), tool(run), &out), 0) << out;
  EXPECT_NE(out.find("passages served:       1 of 1"), std::string::npos) << out;
  EXPECT_NE(out.find("result: OK"), std::string::npos) << out;
  // A bad option is refused before anything starts.
  EXPECT_EQ(st::run_in(dir_.path(), tool({"run", station(), "--bogus"}), nullptr), 2);
}

TEST_F(E2e, ConfigurationUpdateThroughTheServer) {
  make();
  st::LiveStation s(options(), say());
  ASSERT_NO_FATAL_FAILURE(start(s));
  st::Lane& in = s.entry();
  const std::string conf = in.info.dir + "/etc/ztpu.conf";
  std::string text = st::read_text(conf);
  const std::size_t at = text.find("voucher_check_time=300");
  ASSERT_NE(at, std::string::npos) << text;
  text.replace(at, 22, "voucher_check_time=120");
  text.replace(text.find("CFG-entry-1"), 11, "CFG-entry-2");
  in.backend.set_config(text, "CFG-entry-2");
  const std::string ver = "CFG-entry-2";
  EXPECT_EQ(s.command(in, st::kCmdUpdateConfig, st::Bytes(ver.begin(), ver.end()), 20s), 0);
  EXPECT_EQ(st::read_text(conf), text);

  // A configuration that lacks an item is refused and changes nothing.
  std::string broken = text;
  broken.erase(broken.find("merchant_code="), broken.find('\n', broken.find("merchant_code=")) -
                                                  broken.find("merchant_code=") + 1);
  in.backend.set_config(broken, "CFG-entry-3");
  EXPECT_EQ(s.command(in, st::kCmdUpdateConfig, {}, 20s), 1);
  EXPECT_EQ(st::read_text(conf), text);

  // The board still serves passengers under its new configuration.
  st::Passenger p;
  p.user_id = 4242;
  EXPECT_TRUE(s.through(in, p, s.keys().versions[0].rows[0], true, problem())) << transcript();
  expect_alive(s);
}

TEST_F(E2e, LogUploadReachesTheBackEnd) {
  make();
  st::LiveStation s(options(), say());
  ASSERT_NO_FATAL_FAILURE(start(s));
  st::Lane& in = s.entry();
  in.backend.push_heartbeat_command(st::kCmdUploadLog, {0, 0, 0, 0, 0, 0x77});
  std::map<std::string, ztpu_backend::UploadedFile> logs;
  for (int i = 0; i < 200; ++i) {
    logs = in.backend.log_files();
    if (!logs.empty() && logs.begin()->second.complete) break;
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_EQ(logs.size(), 1u);
  const auto& [name, file] = *logs.begin();
  EXPECT_TRUE(file.complete);
  EXPECT_EQ(name.size(), 18u);
  const std::string text(file.data.begin(), file.data.end());
  EXPECT_NE(text.find("[SERVER] server status: signed in"), std::string::npos) << text;
  // The uploaded log stays on the board under its new name.
  EXPECT_EQ(st::read_text(in.info.dir + "/var/log/" + name), text);
  EXPECT_TRUE(s.exit().backend.log_files().empty());
  expect_alive(s);
}

TEST_F(E2e, ServerOfflineAtStartRefusesPollsUntilTheSignIn) {
  make();
  st::RunOptions o = options();
  o.offline_at_start = true;
  st::LiveStation s(o, say());
  ASSERT_NO_FATAL_FAILURE(start(s, false));
  st::Lane& in = s.entry();
  const auto& rows = s.keys().versions[0].rows;
  st::Passenger p;
  p.user_id = 5150;
  EXPECT_TRUE(s.through(in, p, rows[0], false, problem())) << transcript();
  EXPECT_EQ(in.backend.count(0x10), 0);
  EXPECT_EQ(log_of(in).find("signed in"), std::string::npos);

  in.backend.set_offline(false);
  ASSERT_TRUE(st::wait_for_text(in.log(), "[SERVER] server status: signed in", 20s));
  st::Passenger q;
  q.user_id = 5151;
  EXPECT_TRUE(s.through(in, q, rows[1], true, problem())) << transcript();
  expect_alive(s);
}

TEST_F(E2e, ExitWithoutEntryInformationTakesTheDefaultStation) {
  st::InitOptions io;
  io.default_station = 77;
  io.use_default_station = true;
  make(io);
  st::LiveStation s(options(), say());
  ASSERT_NO_FATAL_FAILURE(start(s));
  st::Passenger p;  // never went through the entry gate
  p.user_id = 6001;
  p.ticket_id = 4;
  ASSERT_TRUE(s.through(s.exit(), p, s.keys().versions[0].rows[2], true, problem()))
      << transcript() << log_of(s.exit());
  EXPECT_NE(transcript().find("card 6001, entry station 77 "), std::string::npos) << transcript();
  const auto got = orders(s, s.exit(), 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].find(",6001,0,M001,77,19700101080000,"), std::string::npos) << got[0];
  EXPECT_NE(log_of(s.exit()).find("exit's tpu, no enter info, use default."), std::string::npos);
  expect_alive(s);
}

TEST_F(E2e, ExitWithoutEntryInformationRefusedWithoutDefault) {
  make();
  st::LiveStation s(options(), say());
  ASSERT_NO_FATAL_FAILURE(start(s));
  st::Passenger p;
  p.user_id = 6002;
  EXPECT_TRUE(s.through(s.exit(), p, s.keys().versions[0].rows[3], false, problem()))
      << transcript();
  EXPECT_NE(log_of(s.exit()).find("exit's tpu, need enter info."), std::string::npos);
  // With its entry information the same passenger leaves.
  EXPECT_TRUE(s.through(s.entry(), p, s.keys().versions[0].rows[3], true, problem()));
  std::this_thread::sleep_for(3s);  // the exit gate's same-ticket bar
  EXPECT_TRUE(s.through(s.exit(), p, s.keys().versions[0].rows[3], true, problem()))
      << transcript();
  expect_alive(s);
}

TEST_F(E2e, TicketReplayedWithinThreeSecondsIsRefused) {
  make();
  st::LiveStation s(options(), say());
  ASSERT_NO_FATAL_FAILURE(start(s));
  st::Lane& in = s.entry();
  const auto& row = s.keys().versions[0].rows[1];
  st::Passenger p;
  p.user_id = 7007;
  // The bar counts whole seconds: the replay must be heard well within two
  // seconds of the admission, so let the daemon's first second pass.
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(s.through(in, p, row, true, problem())) << transcript();
  const auto admitted = std::chrono::steady_clock::now();  // just after, in fact
  // The same ticket again at once: no card, whatever the gate polls.
  p.entry_info.clear();
  EXPECT_TRUE(s.through(in, p, row, false, problem(), 1200ms)) << transcript();
  EXPECT_NE(log_of(in).find("the same ticket can't be used in 3s"), std::string::npos);
  // Past the bar it passes again.
  std::this_thread::sleep_until(admitted + 4s);
  EXPECT_TRUE(s.through(in, p, row, true, problem())) << transcript();
  expect_alive(s);
}

TEST_F(E2e, NoisyAirStillPassesTickets) {
  make();
  st::RunOptions o = options();
  o.passengers = 2;
  o.key_switch = false;
  o.noise = 4000;  // a third of the phone's peak
  st::RunSummary sum;
  EXPECT_EQ(st::run_station(o, say(), &sum), 0) << transcript();
  EXPECT_EQ(sum.served, 2);
  EXPECT_EQ(sum.orders_valid, 4);
}

}  // namespace
