// The simulator's own exchanges, driven through the SP client.
#include "backend_sim.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "sproto/sp_common.h"
#include "test_support.h"

namespace {

using ztpu_backend::BackendSim;
using ztpu_backend::Bytes;
using ztpu_backend::Fault;
using ztpu_backend::FaultKind;

constexpr std::array<std::uint8_t, 6> kCmdId = {9, 8, 7, 6, 5, 4};

std::array<std::uint8_t, 16> md5(const Bytes& b) {
  std::array<std::uint8_t, 16> out{};
  unsigned n = 0;
  std::uint8_t dummy = 0;
  EVP_Digest(b.empty() ? &dummy : b.data(), b.size(), out.data(), &n, EVP_md5(), nullptr);
  return out;
}

template <typename T>
Bytes bytes_of(const T& rec, std::size_t len = sizeof(T)) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&rec);
  return Bytes(p, p + len);
}

class BackendSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sim.start({}), 0);
    sp_config_t c{};
    std::strcpy(c.tcp_ip, "127.0.0.1");
    std::strcpy(c.udp_ip, "127.0.0.1");
    c.tcp_port = c.udp_port = sim.port();
    c.conn_timeout_sec = c.rw_timeout_sec = 1;
    c.apiver = 2;
    ASSERT_EQ(sp_init_conf(&c), 0);
  }
  // One TCP exchange; the response data area, or empty on failure.
  Bytes tcp(std::uint16_t cmd, const Bytes& req, std::size_t cap = 2048) {
    Bytes out(cap);
    std::size_t len = cap;
    if (sp_tcp_chan(cmd, req.data(), req.size(), out.data(), &len) != 0) return {};
    out.resize(len);
    return out;
  }
  // Fetches one heartbeat so that a scripted command counts as delivered.
  Bytes heartbeat() {
    Bytes req(20, 0), out(44);
    std::size_t len = out.size();
    EXPECT_EQ(sp_udp_chan(0x11, req.data(), req.size(), out.data(), &len), 0);
    out.resize(len);
    return out;
  }

  BackendSim sim;
  ztpu_test::LogCapture log;
};

TEST_F(BackendSimTest, OrderFileUploadedInOrderedBlocks) {
  Bytes file(1500);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i * 7);
  const char* name = "ZEF20261206183000000.csv";

  upload_order_notify_req n{};
  n.type = 1;
  std::memcpy(n.filename, name, 24);
  n.blocks = 2;
  auto h = md5(file);
  std::memcpy(n.hash, h.data(), 16);
  Bytes rsp = tcp(0x12, bytes_of(n));
  ASSERT_EQ(rsp.size(), 42u);
  EXPECT_EQ(rsp[16], 1);
  EXPECT_EQ(rsp[41], 0);

  auto block = [&](std::uint16_t nr, std::size_t from, std::size_t len) {
    upload_order_req b{};
    std::memcpy(b.filename, name, 24);
    b.block_nr = nr;
    b.data_len = static_cast<std::uint16_t>(len);
    std::memcpy(b.data, file.data() + from, len);
    return tcp(0x13, bytes_of(b, 44 + len));
  };
  rsp = block(2, 1024, 476);  // out of order: refused in the record's status
  ASSERT_EQ(rsp.size(), 43u);
  EXPECT_EQ(rsp[42], 1);
  ASSERT_EQ(sim.violations().size(), 1u);

  EXPECT_EQ(block(1, 0, 1024).at(42), 0);
  EXPECT_FALSE(sim.order_files().at(name).complete);
  EXPECT_EQ(block(2, 1024, 476).at(42), 0);
  auto f = sim.order_files().at(name);
  EXPECT_TRUE(f.complete);
  EXPECT_EQ(f.data, file);

  // A refused announcement (record status fault) and a new one restart the file.
  sim.add_fault(0x12, Fault{FaultKind::record_status, 3, 1});
  EXPECT_EQ(tcp(0x12, bytes_of(n)).at(41), 3);
  EXPECT_EQ(sim.order_files().at(name).notifications, 2);
  EXPECT_FALSE(sim.order_files().at(name).complete);
}

TEST_F(BackendSimTest, LogUploadOfAnEmptyFileAndCommandIds) {
  sim.push_heartbeat_command(0x19, kCmdId);
  EXPECT_EQ(heartbeat().size(), 28u);

  upload_log_notify_req n{};
  std::memcpy(n.cmd_id, kCmdId.data(), 6);
  std::memcpy(n.filename, "20261206183000.log", 18);
  auto h = md5({});
  std::memcpy(n.hash, h.data(), 16);
  Bytes rsp = tcp(0x18, bytes_of(n));
  ASSERT_EQ(rsp.size(), 35u);
  EXPECT_EQ(rsp[34], 0);
  EXPECT_TRUE(sim.log_files().at("20261206183000.log").complete);
  EXPECT_TRUE(sim.violations().empty());

  n.cmd_id[0] = 0x55;  // never delivered
  tcp(0x18, bytes_of(n));
  ASSERT_EQ(sim.violations().size(), 1u);
  EXPECT_NE(sim.violations()[0].find("never delivered"), std::string::npos);
}

TEST_F(BackendSimTest, ConfigurationDeliveredWithItsDigest) {
  std::string text = "config_ver=NEW\nserver_port=9000\n";
  sim.set_config(text, "NEW");
  sim.push_heartbeat_command(0x14, kCmdId, Bytes{'N', 'E', 'W'});
  Bytes hb = heartbeat();
  ASSERT_EQ(hb.size(), 44u);
  EXPECT_EQ(hb[28], 'N');

  update_cfg_req q{};
  std::memcpy(q.cmd_id, kCmdId.data(), 6);
  Bytes rsp = tcp(0x14, bytes_of(q), 10304);
  ASSERT_EQ(rsp.size(), 64 + text.size());
  Bytes content(rsp.begin() + 64, rsp.end());
  EXPECT_EQ(std::string(content.begin(), content.end()), text);
  auto h = md5(content);
  EXPECT_TRUE(std::equal(h.begin(), h.end(), rsp.begin() + 48));
  EXPECT_TRUE(sim.violations().empty());
}

TEST_F(BackendSimTest, KeyFileDeliveredInBlocksAndKeyVersionChecked) {
  Bytes key(2500);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i ^ 0x3C);
  sim.set_key_file(key, 3, 1024);
  sim.push_heartbeat_command(0x15, kCmdId, Bytes{0x03, 0x00});
  EXPECT_EQ(heartbeat().size(), 30u);

  update_key_req q{};
  std::memcpy(q.cmd_id, kCmdId.data(), 6);
  q.key_ver = 3;
  Bytes rsp = tcp(0x15, bytes_of(q));
  ASSERT_EQ(rsp.size(), 54u);
  update_key_rsp k{};
  std::memcpy(&k, rsp.data(), sizeof(k));
  EXPECT_EQ(k.blocks, 3);
  EXPECT_EQ(k.block_size, 1024);
  auto h = md5(key);
  EXPECT_EQ(std::memcmp(k.hash, h.data(), 16), 0);

  Bytes got;
  for (std::uint16_t nr = 1; nr <= 3; ++nr) {
    download_key_req d{};
    std::memcpy(d.cmd_id, kCmdId.data(), 6);
    d.block_nr = nr;
    Bytes b = tcp(0x16, bytes_of(d), 1024 + 54);
    ASSERT_GE(b.size(), 18u);
    std::uint16_t n = static_cast<std::uint16_t>(b[16] | b[17] << 8);
    ASSERT_EQ(n, b.size() - 18);
    got.insert(got.end(), b.begin() + 18, b.end());
  }
  EXPECT_EQ(got, key);
  EXPECT_TRUE(sim.violations().empty());

  q.key_ver = 0x1234;  // not the version the command named
  tcp(0x15, bytes_of(q));
  ASSERT_EQ(sim.violations().size(), 1u);
  EXPECT_NE(sim.violations()[0].find("key_ver"), std::string::npos);
}

TEST_F(BackendSimTest, ReceiptEchoedAndRecorded) {
  sim.push_heartbeat_command(0x17, kCmdId, Bytes{0x02, 0x00});
  heartbeat();
  receipt_cmd r{};
  std::memcpy(r.cmd_id, kCmdId.data(), 6);
  r.cmd = 0x17;
  r.status = 1;
  Bytes rsp = tcp(0xAA, bytes_of(r));
  EXPECT_EQ(rsp, bytes_of(r));
  ASSERT_EQ(sim.receipts().size(), 1u);
  EXPECT_EQ(sim.receipts()[0].status, 1);
  EXPECT_TRUE(sim.violations().empty());
}

}  // namespace
