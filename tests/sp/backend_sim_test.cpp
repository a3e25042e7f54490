// The simulator's strictness, driven through the SP client: requests out of
// place or out of shape are recorded as violations. Its well-formed
// exchanges are covered by the server link tests.
#include "backend_sim.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "sp_fixture.h"

namespace {

using ztpu_backend::Bytes;

constexpr std::array<std::uint8_t, 6> kCmdId = {9, 8, 7, 6, 5, 4};

template <typename T>
Bytes bytes_of(const T& rec, std::size_t len = sizeof(T)) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&rec);
  return Bytes(p, p + len);
}

class BackendSimTest : public sp_test::SimClient {
 protected:
  // One TCP exchange; the response data area, or empty on failure.
  Bytes tcp(std::uint16_t cmd, const Bytes& req) {
    Bytes out(2048);
    std::size_t len = out.size();
    if (sp_tcp_chan(cmd, req.data(), req.size(), out.data(), &len) != 0) return {};
    out.resize(len);
    return out;
  }
};

TEST_F(BackendSimTest, RecordsEveryViolation) {
  // An order block before block 1: refused in the record's status.
  const char* name = "ZEF20261206183000000.csv";
  upload_order_notify_req n{};
  std::memcpy(n.filename, name, 24);
  n.blocks = 2;
  ASSERT_EQ(tcp(0x12, bytes_of(n)).size(), 42u);
  upload_order_req b{};
  std::memcpy(b.filename, name, 24);
  b.block_nr = 2;
  b.data_len = 1;
  Bytes rsp = tcp(0x13, bytes_of(b, 45));
  ASSERT_EQ(rsp.size(), 43u);
  EXPECT_EQ(rsp[42], 1);
  EXPECT_FALSE(sim.order_files().at(name).complete);

  // A log upload for a command never delivered, announcing an empty file
  // with a digest that is not the empty file's.
  upload_log_notify_req l{};
  l.cmd_id[0] = 0x55;
  std::memcpy(l.filename, "20261206183000.log", 18);
  tcp(0x18, bytes_of(l));

  // A key request naming another version than its command.
  sim.set_key_file(Bytes(10, 1), 3, 1024);
  sim.push_heartbeat_command(0x15, kCmdId, Bytes{0x03, 0x00});
  Bytes hb_req(20, 0), hb(44);
  std::size_t hb_len = hb.size();
  ASSERT_EQ(sp_udp_chan(0x11, hb_req.data(), hb_req.size(), hb.data(), &hb_len), 0);
  EXPECT_EQ(hb_len, 30u);  // the command delivered
  update_key_req q{};
  std::memcpy(q.cmd_id, kCmdId.data(), 6);
  q.key_ver = 0x1234;
  EXPECT_EQ(tcp(0x15, bytes_of(q)).size(), 54u);

  // Another api_version (refused with SP status 1), a record of the wrong
  // size, a heartbeat over TCP.
  sp_config_t c = sp_test::make_config(sim.port(), 3);
  ASSERT_EQ(sp_init_conf(&c), 0);
  EXPECT_TRUE(tcp(0x10, Bytes(39, 0)).empty());
  EXPECT_TRUE(log.contains("SP_ERROR business service error. status: 1 \n"));
  c = sp_test::make_config(sim.port());
  ASSERT_EQ(sp_init_conf(&c), 0);
  EXPECT_TRUE(tcp(0x10, Bytes(38, 0)).empty());
  EXPECT_TRUE(tcp(0x11, Bytes(20, 0)).empty());

  const char* want[] = {
      "block 2 out of order", "never delivered",    "empty file announced with a wrong MD5",
      "key_ver 4660",         "api_version 3 != 2", "record of 38 bytes, expected 39",
      "wrong transport"};
  auto v = sim.violations();
  ASSERT_EQ(v.size(), std::size(want)) << ::testing::PrintToString(v);
  for (std::size_t i = 0; i < v.size(); ++i)
    EXPECT_NE(v[i].find(want[i]), std::string::npos) << v[i];
}

}  // namespace
