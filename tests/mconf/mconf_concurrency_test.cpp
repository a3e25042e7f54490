// Readers race reloads and the store's exit; run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "test_support.h"
#include "ztpu/mconf.h"

TEST(MconfConcurrency, ReadersSeeWholeSetsOrNone) {
  ztpu_test::LogCapture log;
  std::string base = "server_ip=127.0.0.1\n";
  for (const char* k :
       {"config_ver", "ipaddr", "netmask", "gateway", "dns", "dns2", "time_server", "tpu_code",
        "merchant_code", "exit_flag", "upload_interval", "heartbeat_interval", "heartbeat_retries",
        "voucher_check_time", "file_block_size", "default_station", "use_default_station",
        "offline_delay", "old_security_life"})
    base += std::string(k) + "=1\n";
  const std::string text[2] = {base + "server_port=1000\n", base + "server_port=2000\n"};
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    char ip[32];
    while (!stop.load()) {
      const int port = mconf_get_int(MC_SERVER_PORT);
      if ((port != 1000 && port != 2000 && port != -1) ||
          (mconf_get_str(MC_SERVER_IP, ip, sizeof ip) == 0 && std::string(ip) != "127.0.0.1"))
        bad.fetch_add(1);
    }
  });
  for (int i = 0; i < 600; ++i) {
    EXPECT_EQ(mconf_load_from_buffer(text[i % 2].data(), static_cast<int>(text[i % 2].size())), 0);
    if (i % 7 == 0) mconf_exit();
  }
  stop.store(true);
  reader.join();
  mconf_exit();
  EXPECT_EQ(bad.load(), 0);
}
