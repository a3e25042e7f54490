// Shared by the server link tests: a complete configuration pointing at
// the back-end simulator, a scratch board that talks to it, and a bounded
// wait.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "backend_sim.h"
#include "server_internal.h"
#include "test_support.h"
#include "ztpu/mconf.h"

namespace server_test {

// The 21 items with values for a test board talking to 127.0.0.1:port;
// `set` replaces values, an empty value leaves the item out.
inline std::string config_text(std::uint16_t port,
                               const std::map<std::string, std::string>& set = {}) {
  std::vector<std::pair<std::string, std::string>> items = {
      {"config_ver", "T-0001"},     {"ipaddr", "127.0.0.2"},
      {"netmask", "255.0.0.0"},     {"gateway", "127.0.0.1"},
      {"dns", "127.0.0.1"},         {"dns2", "127.0.0.1"},
      {"time_server", "127.0.0.1"}, {"tpu_code", "T01"},
      {"merchant_code", "M01"},     {"exit_flag", "1"},
      {"server_ip", "127.0.0.1"},   {"server_port", std::to_string(port)},
      {"upload_interval", "1"},     {"heartbeat_interval", "1"},
      {"heartbeat_retries", "3"},   {"voucher_check_time", "60"},
      {"file_block_size", "1024"},  {"default_station", "1"},
      {"use_default_station", "0"}, {"offline_delay", "30"},
      {"old_security_life", "600"},
  };
  std::string text;
  for (auto& [key, value] : items) {
    auto it = set.find(key);
    const std::string& v = it != set.end() ? it->second : value;
    if (!v.empty()) text += key + "=" + v + "\n";
  }
  return text;
}

template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pred();
}

// A scratch board whose configuration points at a strict simulator that
// expects `device_id`; the link is stopped after each test.
class SimBoard : public ::testing::Test {
 protected:
  template <typename Id>
  void start_board(const Id& device_id, const std::map<std::string, std::string>& set = {}) {
    ztpu_backend::Options o;
    o.check_device_id = true;
    std::copy(device_id.begin(), device_id.end(), o.device_id.begin());
    ASSERT_EQ(sim.start(o), 0);
    conf = config_text(sim.port(), set);
    dir.mkdirs("var/ulocal");
    dir.mkdirs("var/log");
    dir.write("etc/ztpu.conf", conf);
    ASSERT_EQ(mconf_init(), 0);
  }
  void TearDown() override {
    server_exit();
    sim.stop();
    mconf_exit();
  }
  void expect_no_violations() const {
    auto v = sim.violations();
    EXPECT_TRUE(v.empty()) << v.front();
  }

  ztpu_test::ScratchDir dir;
  ztpu_test::LogCapture log;
  ztpu_backend::BackendSim sim;
  std::string conf;
};

}  // namespace server_test
