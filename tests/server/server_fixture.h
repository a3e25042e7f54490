// Shared by the server link tests: a complete configuration pointing at
// the back-end simulator, and a bounded wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

}  // namespace server_test
