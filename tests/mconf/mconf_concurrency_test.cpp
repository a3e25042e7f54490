// Readers race reloads and the store's exit; run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "ztpu/mconf.h"

namespace {

std::string text(int port) {
  std::string s;
  const char* strs[] = {"config_ver", "ipaddr",      "netmask",  "gateway",      "dns",
                        "dns2",       "time_server", "tpu_code", "merchant_code"};
  for (const char* k : strs) s += std::string(k) + "=v\n";
  s += "exit_flag=0\nserver_ip=127.0.0.1\nserver_port=" + std::to_string(port) + "\n";
  const char* ints[] = {"upload_interval",     "heartbeat_interval", "heartbeat_retries",
                        "voucher_check_time",  "file_block_size",    "default_station",
                        "use_default_station", "offline_delay",      "old_security_life"};
  for (const char* k : ints) s += std::string(k) + "=1\n";
  return s;
}

TEST(MconfConcurrency, ReadersSeeWholeSetsOrNone) {
  ztpu_test::LogCapture log;
  const std::string a = text(1000), b = text(2000);
  ASSERT_EQ(mconf_load_from_buffer(a.data(), static_cast<int>(a.size())), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      char ip[32];
      while (!stop.load()) {
        const int port = mconf_get_int(MC_SERVER_PORT);
        if (port != 1000 && port != 2000 && port != -1) bad.fetch_add(1);
        const int rc = mconf_get_str(MC_SERVER_IP, ip, sizeof ip);
        if (rc == 0 && std::string(ip) != "127.0.0.1") bad.fetch_add(1);
      }
    });
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  for (int i = 0; i < 2000 && std::chrono::steady_clock::now() < until; ++i) {
    const std::string& t = (i % 2) ? a : b;
    EXPECT_EQ(mconf_load_from_buffer(t.data(), static_cast<int>(t.size())), 0);
    if (i % 7 == 0) mconf_exit();
  }
  stop.store(true);
  for (auto& t : readers) t.join();
  mconf_exit();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
