// The SP packet helpers and the client configuration; the client's TCP
// and UDP channels against the back-end simulator.
#include <gtest/gtest.h>
#include <syslog.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <thread>

#include "backend_sim.h"
#include "sproto/sp_common.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using ztpu_backend::Bytes;
using ztpu_backend::Fault;
using ztpu_backend::FaultKind;

// A request packet of `cmd` with n data bytes 0x30, 0x31, ...
Bytes pack(std::uint16_t cmd, std::uint16_t n) {
  Bytes data(n), packet(n + SP_OVERHEAD);
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(0x30 + i);
  sp_protocol_header h{SP_HEADER_IDENT, 1, 1, n, SP_PTL_TYPE, cmd, 2, 0, 0, 0};
  std::uint16_t len = 0;
  EXPECT_EQ(sp_pack(&h, data.data(), packet.data(), &len), 0);
  EXPECT_EQ(len, packet.size());
  return packet;
}

// sp_unpack of the first n bytes of `stream`: its result, and the data area.
int unpack(const Bytes& stream, std::size_t n, Bytes* area = nullptr) {
  sp_protocol_header h{};
  std::array<std::uint8_t, 64> out{};
  std::uint16_t len = out.size();
  int rc = sp_unpack(stream.data(), static_cast<std::uint16_t>(n), &h, out.data(), &len);
  if (area) area->assign(out.begin(), out.begin() + (rc == 0 ? len : 0));
  return rc;
}

// Packed, then found again behind junk and ahead of trailing bytes.
TEST(SpPacket, RoundTripWithExactBytes) {
  const Bytes p = pack(0x11, 20);
  EXPECT_EQ(Bytes(p.begin(), p.begin() + 13),
            (Bytes{0xEE, 0xAA, 0x01, 0x00, 0x01, 0x00, 0x14, 0x00, 0x00, 0x02, 0x11, 0x00, 0x02}));
  unsigned sum = 0;
  for (std::size_t i = 0; i < 40; ++i) sum += p[i];
  EXPECT_EQ(p[40], static_cast<std::uint8_t>(sum));
  Bytes stream = {0x12, 0xEE}, area, whole(64);
  stream.insert(stream.end(), p.begin(), p.end());
  stream.push_back(0x99);
  ASSERT_EQ(unpack(stream, stream.size(), &area), 0);
  EXPECT_EQ(area, Bytes(p.begin() + 20, p.end() - 1));
  std::uint16_t whole_len = whole.size();
  ASSERT_EQ(sp_check_data(stream.data(), stream.size(), whole.data(), &whole_len), 0);
  EXPECT_EQ(Bytes(whole.begin(), whole.begin() + whole_len), p);
  EXPECT_EQ(sp_check_prefix(p.data()) + sp_check_prefix(stream.data()) + sp_check_prefix(nullptr),
            -2);
  const Bytes e = pack(0x10, 0);  // no data area
  ASSERT_EQ(e.size(), 21u);
  EXPECT_EQ(unpack(e, e.size(), &area), 0);
  EXPECT_TRUE(area.empty());
}

// Each malformed stream is refused, with its message where it has one,
// and none is read past its end.
TEST(SpPacket, MalformedStreamsAreRefused) {
  ztpu_test::LogCapture log;
  const Bytes p = pack(0x11, 20);
  Bytes no_ident(30, 0x11), bad = p, tail(24, 0), huge = pack(0x11, 0);
  no_ident.back() = 0xEE;
  bad.back() ^= 0x5A;
  char checksum[64];  // the received byte first, the computed one second
  std::snprintf(checksum, sizeof(checksum), "SP_ERROR checksum(%02x != %02x) \n", bad.back(),
                p.back());
  tail[19] = 0xEE;
  tail[20] = 0xAA;
  huge[6] = huge[7] = 0xFF;
  huge.resize(100, 0);
  // stream, its length, the message ("": none; nullptr: not checked)
  const std::tuple<const Bytes*, std::size_t, const char*> rows[] = {
      {&no_ident, 30, "SP_ERROR have no header identifiers"},  // only 0xEE is the last byte
      {&p, 19, ""},                                            // refused before looking
      {&p, 40, "SP_ERROR data_length = 40 less than needed_length = 41 \n"},
      {&bad, 41, checksum},
      {&tail, 24, nullptr},   // the identifier 5 bytes before the end: no whole header
      {&huge, 100, nullptr},  // a data_len of 65535 must not wrap the needed length to 20
  };
  for (auto [stream, n, message] : rows) {
    log.clear();
    EXPECT_EQ(unpack(*stream, n), -1) << n;
    EXPECT_TRUE(!message || (*message ? log.contains(message) : log.messages().empty())) << n;
  }
  // A data area or packet larger than the caller's buffer is refused untouched.
  sp_protocol_header h{};
  Bytes small(41, 0xCC);
  std::uint16_t small_len = 10, packet_len = 40;
  EXPECT_EQ(sp_unpack(p.data(), 41, &h, small.data(), &small_len), -1);
  EXPECT_EQ(sp_check_data(p.data(), 41, small.data(), &packet_len), -1);
  EXPECT_EQ(small, Bytes(41, 0xCC));
}

sp_config_t make_config(std::uint16_t port, std::uint32_t timeout = 1) {
  return sp_config_t{"127.0.0.1", "127.0.0.1", port, port, timeout, timeout, 2};
}

// Ports 1 to 1023 are refused, 0 passes; time-outs default to 3 s.
TEST(SpConfig, PortsAndTimeouts) {
  EXPECT_EQ(sp_init_conf(nullptr), -1);
  const std::tuple<std::uint16_t, std::uint16_t, std::uint32_t, int> rows[] = {
      {80, 5000, 0, -1}, {1, 5000, 0, -1}, {5000, 1023, 0, -1}, {5000, 1024, 0, 0}, {0, 0, 7, 0}};
  for (auto [tcp, udp, timeout, rc] : rows) {
    sp_config_t c{"", "", tcp, udp, timeout, 0, 2};
    EXPECT_EQ(sp_init_conf(&c), rc) << tcp << "/" << udp;
    EXPECT_TRUE(rc || (c.conn_timeout_sec == (timeout ? timeout : 3) && c.rw_timeout_sec == 3));
  }
}

class SpChan : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sim.start({}), 0);
    sp_config_t c = make_config(sim.port());
    ASSERT_EQ(sp_init_conf(&c), 0);
  }
  void TearDown() override { sim.stop(); }
  // A sign-in (TCP) or heartbeat (UDP) answered into `out` of capacity `cap`.
  int signin(std::size_t cap = 64) {
    len = cap;
    return sp_tcp_chan(0x10, Bytes(39, 0x42).data(), 39, out.data(), &len);
  }
  int heartbeat(std::size_t req_len, std::size_t cap) {
    len = cap;
    return sp_udp_chan(0x11, Bytes(req_len, 0x42).data(), req_len, out.data(), &len);
  }
  ztpu_backend::BackendSim sim;
  ztpu_test::LogCapture log;
  Bytes out = Bytes(64, 0xCC);
  std::size_t len = 0;
};

TEST_F(SpChan, TcpFailures) {
  EXPECT_EQ(sp_tcp_chan(0x10, nullptr, 0, out.data(), &len), -1);
  EXPECT_EQ(sp_udp_chan(0x11, out.data(), out.size(), nullptr, &len), -1);
  EXPECT_TRUE(sim.requests().empty());
  EXPECT_EQ(signin(10), -1);  // an answer larger than the buffer never writes past it
  EXPECT_TRUE(log.contains("SP_ERROR to much data recv[20] bytes > max[10] bytes. \n", LOG_ERR));
  EXPECT_EQ(out, Bytes(64, 0xCC));
  sim.add_fault(0x10, Fault{FaultKind::sp_status, 5, 1});
  EXPECT_EQ(signin(), -1);
  EXPECT_TRUE(log.contains("SP_ERROR business service error. status: 5 \n", LOG_ERR));
  log.clear();
  sim.set_response(0x10, Bytes{0x01});  // intact, checksum right, too short
  EXPECT_EQ(signin(), -1);
  EXPECT_TRUE(log.messages().empty()) << log.dump();
  sim.add_fault(0x10, Fault{FaultKind::bad_checksum, 0, 1});
  EXPECT_EQ(signin(), -1);
  sim.add_fault(0x10, Fault{FaultKind::truncate, 30, 1});  // header and part of the data
  EXPECT_EQ(signin(), -1);
  EXPECT_TRUE(log.contains("SP_ERROR read errno: 0 ")) << log.dump();
  sim.add_fault(0x10, Fault{FaultKind::drop, 0, 1});
  EXPECT_EQ(signin(), -1);
  sim.add_fault(0x10, Fault{FaultKind::delay, 5000, 1});  // the read time-out ends it
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(signin(), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 900ms);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3000ms);
  EXPECT_TRUE(log.contains("SP_ERROR read errno: " + std::to_string(EAGAIN) + " ", LOG_ERR));
  sim.set_offline(true);  // nobody listens: the error is logged
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(signin(), -1);
  EXPECT_TRUE(log.contains("ERROR sockfd = ", LOG_ERR)) << log.dump();
  EXPECT_TRUE(log.contains("error " + std::to_string(ECONNREFUSED) + " ")) << log.dump();
  sim.set_offline(false);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(signin(), 0) << log.dump();  // faults are used up; the server is back
  EXPECT_TRUE(sim.violations().empty());
}

TEST_F(SpChan, UdpBoundsAreChecked) {
  EXPECT_EQ(heartbeat(SP_UDP_MAX - SP_OVERHEAD + 1, out.size()), -1);
  EXPECT_TRUE(log.contains("SP_ERROR datagram too long: 1473 bytes > max[1472] bytes. \n"));
  EXPECT_EQ(heartbeat(20, 10), -1);  // an answer larger than the capacity
  EXPECT_TRUE(log.contains("SP_ERROR to much data recv[20] bytes > max[10] bytes. \n"));
  EXPECT_EQ(out, Bytes(64, 0xCC));
  sim.add_fault(0x11, Fault{FaultKind::truncate, 35, 1});  // shorter than 21 + data_len
  EXPECT_EQ(heartbeat(20, 44), -1);
  EXPECT_TRUE(log.contains("SP_ERROR short datagram: 35 bytes < needed 41 bytes. \n"));
  sim.add_fault(0x11, Fault{FaultKind::drop, 0, 1});  // the receive time-out ends it
  EXPECT_EQ(heartbeat(20, 44), -1);
  EXPECT_TRUE(log.contains("SP_ERROR recv data..r_len: -1, ", LOG_ERR));
  EXPECT_EQ(sim.count(0x11), 3);  // the oversized request never left
}

// The configuration replaced while exchanges run.
TEST_F(SpChan, ConfigurationReplacedWhileExchangesRun) {
  std::atomic<bool> done{false};
  std::thread replacer([&] {
    for (std::uint32_t i = 0; i < 2000 && !done; ++i) {
      sp_config_t c = make_config(sim.port(), 1 + i % 2);
      sp_init_conf(&c);
    }
  });
  int served = 0;
  for (int i = 0; i < 20; ++i) served += signin() == 0 && len == 20 ? 1 : 0;
  done = true;
  replacer.join();
  EXPECT_EQ(served, 20) << log.dump();
}

}  // namespace
