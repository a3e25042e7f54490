#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "sp_fixture.h"

namespace {

using ztpu_backend::Bytes;
using ztpu_backend::Fault;
using ztpu_backend::FaultKind;
using Clock = std::chrono::steady_clock;

using sp_test::make_config;

class SpChan : public sp_test::SimClient {
 protected:
  // A well-formed sign-in request carrying `tag` in its device identifier.
  static Bytes signin(std::uint8_t tag = 0x42) {
    Bytes req(39, 0);
    std::memset(req.data(), tag, 16);
    return req;
  }
  int tcp(std::uint16_t cmd, const Bytes& req, std::uint8_t* out, std::size_t* len) {
    return sp_tcp_chan(cmd, req.data(), req.size(), out, len);
  }
};

TEST_F(SpChan, MissingBuffersFailBeforeSending) {
  std::array<std::uint8_t, 4> out{};
  std::size_t len = out.size();
  EXPECT_EQ(sp_tcp_chan(0x10, nullptr, 0, out.data(), &len), -1);
  EXPECT_EQ(sp_udp_chan(0x11, out.data(), out.size(), nullptr, &len), -1);
  EXPECT_TRUE(sim.requests().empty());
}

TEST_F(SpChan, RefusedConnectionLogsTheError) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  socklen_t al = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &al);
  close(fd);  // nobody listens on that port now
  sp_config_t c = make_config(ntohs(a.sin_port));
  ASSERT_EQ(sp_init_conf(&c), 0);

  std::array<std::uint8_t, 64> out{};
  std::size_t len = out.size();
  EXPECT_EQ(tcp(0x10, signin(), out.data(), &len), -1);
  char want[32];
  std::snprintf(want, sizeof(want), "error %d ", ECONNREFUSED);
  EXPECT_TRUE(log.contains("ERROR sockfd = ", LOG_ERR)) << log.dump();
  EXPECT_TRUE(log.contains(want)) << log.dump();
}

TEST_F(SpChan, SilentServerFailsAfterTheReadTimeout) {
  sim.add_fault(0x10, Fault{FaultKind::delay, 5000, 1});
  std::array<std::uint8_t, 64> out{};
  std::size_t len = out.size();
  auto t0 = Clock::now();
  EXPECT_EQ(tcp(0x10, signin(), out.data(), &len), -1);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 3000);
  char want[48];
  std::snprintf(want, sizeof(want), "SP_ERROR read errno: %d ", EAGAIN);
  EXPECT_TRUE(log.contains(want, LOG_ERR)) << log.dump();
}

TEST_F(SpChan, OversizedTcpResponseNeverWritesPastTheBuffer) {
  std::array<std::uint8_t, 32> out{};
  out.fill(0xCC);
  std::size_t len = 10;
  EXPECT_EQ(tcp(0x10, signin(), out.data(), &len), -1);
  EXPECT_TRUE(log.contains("SP_ERROR to much data recv[20] bytes > max[10] bytes. \n", LOG_ERR));
  for (std::uint8_t b : out) ASSERT_EQ(b, 0xCC);
}

TEST_F(SpChan, ResponseFailureClasses) {
  std::array<std::uint8_t, 64> out{};
  std::size_t len = 0;
  auto run = [&] {
    len = out.size();
    return tcp(0x10, signin(), out.data(), &len);
  };

  sim.add_fault(0x10, Fault{FaultKind::sp_status, 5, 1});
  EXPECT_EQ(run(), -1);
  EXPECT_TRUE(log.contains("SP_ERROR business service error. status: 5 \n", LOG_ERR));

  log.clear();
  sim.set_response(0x10, Bytes{0x01});  // intact, checksum right, too short
  EXPECT_EQ(run(), -1);
  EXPECT_TRUE(log.messages().empty()) << log.dump();

  sim.add_fault(0x10, Fault{FaultKind::bad_checksum, 0, 1});
  EXPECT_EQ(run(), -1);

  sim.add_fault(0x10, Fault{FaultKind::truncate, 30, 1});  // header and part of the data
  EXPECT_EQ(run(), -1);
  EXPECT_TRUE(log.contains("SP_ERROR read errno: 0 ")) << log.dump();

  sim.add_fault(0x10, Fault{FaultKind::drop, 0, 1});
  EXPECT_EQ(run(), -1);

  sim.set_offline(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(run(), -1);
  sim.set_offline(false);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(run(), 0) << log.dump();  // faults are used up; the server is back
  EXPECT_TRUE(sim.violations().empty());
}

TEST_F(SpChan, UdpBoundsAreChecked) {
  std::array<std::uint8_t, 64> out{};
  out.fill(0xCC);
  Bytes big(SP_UDP_MAX - SP_OVERHEAD + 1, 0x42);
  std::size_t len = out.size();
  EXPECT_EQ(sp_udp_chan(0x11, big.data(), big.size(), out.data(), &len), -1);
  EXPECT_TRUE(log.contains("SP_ERROR datagram too long: 1473 bytes > max[1472] bytes. \n"));

  // Response larger than the capacity.
  Bytes hb(20, 0x42);
  len = 10;
  EXPECT_EQ(sp_udp_chan(0x11, hb.data(), hb.size(), out.data(), &len), -1);
  EXPECT_TRUE(log.contains("SP_ERROR to much data recv[20] bytes > max[10] bytes. \n"));
  for (std::uint8_t b : out) ASSERT_EQ(b, 0xCC);

  // A datagram shorter than 21 + its data_len.
  sim.add_fault(0x11, Fault{FaultKind::truncate, 35, 1});
  len = 44;
  EXPECT_EQ(sp_udp_chan(0x11, hb.data(), hb.size(), out.data(), &len), -1);
  EXPECT_TRUE(log.contains("SP_ERROR short datagram: 35 bytes < needed 41 bytes. \n"));

  // No answer: the receive time-out ends it.
  sim.add_fault(0x11, Fault{FaultKind::drop, 0, 1});
  len = 44;
  EXPECT_EQ(sp_udp_chan(0x11, hb.data(), hb.size(), out.data(), &len), -1);
  EXPECT_TRUE(log.contains("SP_ERROR recv data..r_len: -1, ", LOG_ERR));

  // The oversized request never left: the server saw the three others only.
  EXPECT_EQ(sim.count(0x11), 3);
}

TEST_F(SpChan, TwoThreadsExchangeAtOnce) {
  // Both answers are held back so that the two connections overlap.
  sim.add_fault(0x10, Fault{FaultKind::delay, 300, 2});
  std::atomic<int> ok{0};
  auto worker = [&](std::uint8_t tag) {
    std::array<std::uint8_t, 64> out{};
    std::size_t len = out.size();
    if (sp_tcp_chan(0x10, signin(tag).data(), 39, out.data(), &len) == 0 && len == 20 &&
        out[0] == tag && out[15] == tag) {
      ++ok;
    }
  };
  auto t0 = Clock::now();
  std::thread a(worker, 0x11), b(worker, 0x22);
  a.join();
  b.join();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  EXPECT_EQ(ok.load(), 2) << log.dump();
  EXPECT_LT(ms, 550);  // served side by side, not one after the other
}

TEST_F(SpChan, ConfigurationReplacedWhileExchangesRun) {
  std::atomic<bool> done{false};
  std::thread replacer([&] {
    for (int i = 0; i < 2000 && !done; ++i) {
      sp_config_t c = make_config(sim.port());
      c.conn_timeout_sec = 1 + static_cast<std::uint32_t>(i % 2);
      sp_init_conf(&c);
    }
  });
  int ok = 0;
  for (int i = 0; i < 20; ++i) {
    std::array<std::uint8_t, 64> out{};
    std::size_t len = out.size();
    ok += tcp(0x10, signin(), out.data(), &len) == 0 ? 1 : 0;
  }
  done = true;
  replacer.join();
  EXPECT_EQ(ok, 20) << log.dump();
}

}  // namespace
