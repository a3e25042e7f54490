// The whole system as its users see it: two real daemons on simulated
// boards, provisioned with ztpu-provision, driven by the gate controller,
// the phone, the air and the back end of the simulated station.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
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
  // Starts a station (its back ends answering or not) on a made board pair.
  std::unique_ptr<st::LiveStation> live(bool online = true) {
    st::RunOptions o = options();
    o.offline_at_start = !online;
    auto s =
        std::make_unique<st::LiveStation>(o, [this](const std::string& l) { lines_ += l + "\n"; });
    std::string why;
    EXPECT_EQ(s->start(online, &why), 0) << why;
    return s;
  }
  // One passage through lane `l` with key row `row`, admitted or refused.
  bool pass(st::LiveStation& s, st::Lane& l, st::Passenger& p, int row, bool admit,
            std::chrono::milliseconds window = 3s) {
    const auto problem = [this](const std::string& t) { lines_ += "PROBLEM: " + t + "\n"; };
    return s.through(l, p, s.keys().versions[0].rows[static_cast<size_t>(row)], admit, problem,
                     window);
  }
  static bool logged(st::Lane& l, const std::string& text) {
    return st::read_text(l.log()).find(text) != std::string::npos;
  }
  // Both daemons still run and printed nothing (no sanitizer report).
  static void expect_alive(st::LiveStation& s) {
    for (st::Lane* l : {&s.entry(), &s.exit()}) {
      EXPECT_TRUE(l->daemon.running()) << l->role();
      EXPECT_EQ(st::read_text(l->info.dir + "/ztpud.out"), "") << l->role();
    }
  }

  ztpu_test::ScratchDir dir_;
  std::string lines_;
};

TEST_F(E2e, DemoPathServesEveryPassageAcrossAKeySwitch) {
  make();
  st::RunOptions o = options();
  o.passengers = 3;
  st::RunSummary sum;
  EXPECT_EQ(st::run_station(
                o, [this](const std::string& l) { lines_ += l + "\n"; }, &sum),
            0)
      << lines_;
  EXPECT_TRUE(sum.problems.empty()) << lines_;
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
  // Exit orders carry the entry station, the fare and the balance after it
  // (passenger 1001 holds 5250).
  EXPECT_NE(lines_.find(",101,"), std::string::npos);
  EXPECT_NE(lines_.find(",205,"), std::string::npos);
  EXPECT_NE(lines_.find(",3,5247,"), std::string::npos) << lines_;
  EXPECT_GT(sum.rss_kb[0], 0);
}

// The command line, through the build's emulator if any, in noisy air.
TEST_F(E2e, CommandLineStationRunsProvisionedBoards) {
  const auto tool = [](std::vector<std::string> args) {
    std::vector<std::string> argv = ztpu_test::program_argv(bindir() + "/ztpu-station");
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  };
  std::string out;
  ASSERT_EQ(st::run_in(dir_.path(), tool({"init", station()}), &out), 0) << out;
  std::string why;
  ASSERT_EQ(st::provision_station(station(), bindir(), &why, ztpu_test::emulator()), 0) << why;
  out.clear();
  std::vector<std::string> run = {"run",     station(), "--passengers",   "2",
                                  "--noise", "4000",    "--no-key-switch"};  // a third of the peak
  std::string emulator;
  for (const std::string& w : ztpu_test::emulator()) emulator += (emulator.empty() ? "" : " ") + w;
  if (!emulator.empty()) run.insert(run.end(), {"--emulator", emulator});
  EXPECT_EQ(st::run_in(dir_.path(), tool(run), &out), 0) << out;
  EXPECT_NE(out.find("passages served:       2 of 2"), std::string::npos) << out;
  EXPECT_NE(out.find("of 4, valid TAC: 4"), std::string::npos) << out;
  EXPECT_NE(out.find("result: OK"), std::string::npos) << out;
  // A bad option is refused before anything starts.
  EXPECT_EQ(st::run_in(dir_.path(), tool({"run", station(), "--bogus"}), nullptr), 2);
}

// One online station: configuration update, the exit's entry-information
// check, the same-ticket bar, and last the log upload (it moves the log).
TEST_F(E2e, OnlineStationCommandsAndRefusals) {
  make();
  const auto s = live();
  ASSERT_FALSE(HasFailure());
  st::Lane& in = s->entry();
  st::Lane& out = s->exit();

  const std::string conf = in.info.dir + "/etc/ztpu.conf";
  std::string text = st::read_text(conf);
  const std::size_t at = text.find("voucher_check_time=300");
  ASSERT_NE(at, std::string::npos) << text;
  text.replace(at, 22, "voucher_check_time=120");
  text.replace(text.find("CFG-entry-1"), 11, "CFG-entry-2");
  in.backend.set_config(text, "CFG-entry-2");
  const std::string ver = "CFG-entry-2";
  EXPECT_EQ(s->command(in, st::kCmdUpdateConfig, st::Bytes(ver.begin(), ver.end()), 20s), 0);
  EXPECT_EQ(st::read_text(conf), text);
  // A configuration that lacks an item is refused and changes nothing.
  std::string broken = text;
  const std::size_t item = broken.find("merchant_code=");
  broken.erase(item, broken.find('\n', item) - item + 1);
  in.backend.set_config(broken, "CFG-entry-3");
  EXPECT_EQ(s->command(in, st::kCmdUpdateConfig, {}, 20s), 1);
  EXPECT_EQ(st::read_text(conf), text);

  // Without entry information (and no default station) the exit refuses;
  // with it, past the exit gate's same-ticket bar, the passenger leaves.
  st::Passenger p;
  p.user_id = 6002;
  EXPECT_TRUE(pass(*s, out, p, 3, false)) << lines_;
  EXPECT_TRUE(logged(out, "exit's tpu, need enter info."));
  EXPECT_TRUE(pass(*s, in, p, 3, true)) << lines_;  // under the new configuration
  std::this_thread::sleep_for(3s);
  EXPECT_TRUE(pass(*s, out, p, 3, true)) << lines_;

  // The same ticket within 3 s is refused (whatever the gate polls), past
  // the bar it passes again. The bar counts whole seconds: the replay must
  // come well within two seconds of the admission.
  st::Passenger q;
  q.user_id = 7007;
  ASSERT_TRUE(pass(*s, in, q, 1, true)) << lines_;
  const auto admitted = std::chrono::steady_clock::now();
  q.entry_info.clear();
  EXPECT_TRUE(pass(*s, in, q, 1, false, 1200ms)) << lines_;
  EXPECT_TRUE(logged(in, "the same ticket can't be used in 3s"));
  std::this_thread::sleep_until(admitted + 4s);
  EXPECT_TRUE(pass(*s, in, q, 1, true)) << lines_;

  in.backend.push_heartbeat_command(st::kCmdUploadLog, {0, 0, 0, 0, 0, 0x77});
  std::map<std::string, ztpu_backend::UploadedFile> logs;
  for (int i = 0; i < 200 && (logs.empty() || !logs.begin()->second.complete); ++i) {
    std::this_thread::sleep_for(100ms);
    logs = in.backend.log_files();
  }
  ASSERT_EQ(logs.size(), 1u);
  const auto& [name, file] = *logs.begin();
  EXPECT_TRUE(file.complete);
  EXPECT_EQ(name.size(), 18u);
  const std::string uploaded(file.data.begin(), file.data.end());
  EXPECT_NE(uploaded.find("[SERVER] server status: signed in"), std::string::npos) << uploaded;
  // The uploaded log stays on the board under its new name.
  EXPECT_EQ(st::read_text(in.info.dir + "/var/log/" + name), uploaded);
  EXPECT_TRUE(out.backend.log_files().empty());
  expect_alive(*s);
}

// Back ends silent at start: polls are refused until the sign-in. Then an
// exit without entry information takes the default station.
TEST_F(E2e, OfflineStartThenExitWithoutEntryTakesTheDefaultStation) {
  st::InitOptions io;
  io.default_station = 77;
  io.use_default_station = true;
  make(io);
  const auto s = live(false);
  ASSERT_FALSE(HasFailure());
  st::Lane& in = s->entry();
  st::Passenger p;
  p.user_id = 5150;
  EXPECT_TRUE(pass(*s, in, p, 0, false)) << lines_;
  EXPECT_EQ(in.backend.count(0x10), 0);
  EXPECT_FALSE(logged(in, "signed in"));
  for (st::Lane* l : {&in, &s->exit()}) {
    l->backend.set_offline(false);
    ASSERT_TRUE(st::wait_for_text(l->log(), "[SERVER] server status: signed in", 20s));
  }
  p.user_id = 5151;
  EXPECT_TRUE(pass(*s, in, p, 1, true)) << lines_;

  st::Passenger q;  // never went through the entry gate
  q.user_id = 6001;
  q.ticket_id = 4;
  ASSERT_TRUE(pass(*s, s->exit(), q, 2, true)) << lines_ << st::read_text(s->exit().log());
  EXPECT_NE(lines_.find("card 6001, entry station 77 "), std::string::npos) << lines_;
  EXPECT_TRUE(logged(s->exit(), "exit's tpu, no enter info, use default."));
  std::vector<std::string> got;
  for (int i = 0; i < 150 && got.empty(); ++i) {
    std::this_thread::sleep_for(100ms);
    got = s->orders(s->exit());
  }
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].find(",6001,0,M001,77,19700101080000,"), std::string::npos) << got[0];
  // Its TAC is checked against the key row it names: any change is refused.
  const auto& keys = s->keys().versions;
  std::string line = got[0];
  EXPECT_TRUE(st::order_tac_valid(line, keys)) << line;
  const std::string unnamed = line.substr(0, line.rfind(','));
  EXPECT_FALSE(st::order_tac_valid(unnamed, keys));
  EXPECT_FALSE(st::order_tac_valid(unnamed + ",00ff05", keys));
  line.replace(line.find(",6001,"), 6, ",6002,");
  EXPECT_FALSE(st::order_tac_valid(line, keys));
  expect_alive(*s);
}

}  // namespace
