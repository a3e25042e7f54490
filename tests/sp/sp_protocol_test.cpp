#include <gtest/gtest.h>
#include <syslog.h>

#include <array>
#include <vector>

#include "sproto/sp_common.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

sp_protocol_header request_header(std::uint16_t cmd, std::uint16_t data_len) {
  sp_protocol_header h{};
  h.header = SP_HEADER_IDENT;
  h.version = 1;
  h.sequence = 1;
  h.data_len = data_len;
  h.ptl_type = SP_PTL_TYPE;
  h.cmd = cmd;
  h.api_version = 2;
  return h;
}

Bytes pack(std::uint16_t cmd, const Bytes& data) {
  sp_protocol_header h = request_header(cmd, static_cast<std::uint16_t>(data.size()));
  Bytes packet(data.size() + SP_OVERHEAD);
  std::uint16_t len = 0;
  EXPECT_EQ(sp_pack(&h, data.data(), packet.data(), &len), 0);
  EXPECT_EQ(len, packet.size());
  return packet;
}

Bytes heartbeat_data() {
  Bytes d(20);
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(0x30 + i);
  return d;
}

TEST(SpPacket, HeaderBytesAndChecksum) {
  Bytes p = pack(0x11, heartbeat_data());
  const Bytes head = {0xEE, 0xAA, 0x01, 0x00, 0x01, 0x00, 0x14,
                      0x00, 0x00, 0x02, 0x11, 0x00, 0x02};  // ... api_version low byte
  EXPECT_EQ(Bytes(p.begin(), p.begin() + 13), head);
  unsigned sum = 0;
  for (std::size_t i = 0; i < 40; ++i) sum += p[i];
  EXPECT_EQ(p[40], static_cast<std::uint8_t>(sum));
  EXPECT_EQ(cal_checksum(2, p.data(), 10), 0x11);

  // No data area: the checksum is the header's sum.
  Bytes e = pack(0x10, {});
  ASSERT_EQ(e.size(), 21u);
  EXPECT_EQ(e[20], cal_checksum(20, e.data(), 0));
  sp_protocol_header h{};
  std::uint8_t area[4];
  std::uint16_t area_len = sizeof(area);
  EXPECT_EQ(sp_unpack(e.data(), static_cast<std::uint16_t>(e.size()), &h, area, &area_len), 0);
  EXPECT_EQ(area_len, 0);
}

TEST(SpPacket, JunkBeforeIdentifierAndTrailingBytesIgnored) {
  Bytes data = heartbeat_data();
  Bytes p = pack(0x11, data);
  Bytes stream = {0x12, 0xEE};
  stream.insert(stream.end(), p.begin(), p.end());
  stream.push_back(0x99);

  sp_protocol_header h{};
  std::array<std::uint8_t, 64> area{};
  std::uint16_t area_len = area.size();
  ASSERT_EQ(sp_unpack(stream.data(), static_cast<std::uint16_t>(stream.size()), &h, area.data(),
                      &area_len),
            0);
  EXPECT_EQ(h.cmd, 0x11);
  EXPECT_EQ(h.data_len, 20);
  ASSERT_EQ(area_len, 20);
  EXPECT_EQ(Bytes(area.begin(), area.begin() + 20), data);

  std::array<std::uint8_t, 64> whole{};
  std::uint16_t whole_len = whole.size();
  ASSERT_EQ(sp_check_data(stream.data(), static_cast<std::uint16_t>(stream.size()), whole.data(),
                          &whole_len),
            0);
  EXPECT_EQ(Bytes(whole.begin(), whole.begin() + whole_len), p);

  sp_protocol_header h2{};
  EXPECT_EQ(sp_parse_head(p.data(), &h2), 0);
  EXPECT_EQ(h2.cmd, 0x11);
  EXPECT_EQ(sp_check_prefix(p.data()), 0);
  EXPECT_EQ(sp_check_prefix(stream.data()), -1);
  EXPECT_EQ(sp_check_prefix(nullptr), -1);
}

TEST(SpPacket, MalformedStreamsFailWithTheirMessages) {
  ztpu_test::LogCapture log;
  sp_protocol_header h{};
  std::array<std::uint8_t, 64> area{};
  std::uint16_t area_len = area.size();

  // Only EE is the very last byte: no identifier.
  Bytes no_ident(30, 0x11);
  no_ident.back() = 0xEE;
  EXPECT_EQ(sp_unpack(no_ident.data(), 30, &h, area.data(), &area_len), -1);
  EXPECT_TRUE(log.contains("SP_ERROR have no header identifiers", LOG_INFO));

  // 19 bytes: fails before looking, without a message.
  log.clear();
  Bytes p = pack(0x11, heartbeat_data());
  EXPECT_EQ(sp_unpack(p.data(), 19, &h, area.data(), &area_len), -1);
  EXPECT_TRUE(log.messages().empty());

  // One byte short of data_len + 21.
  EXPECT_EQ(sp_unpack(p.data(), 40, &h, area.data(), &area_len), -1);
  EXPECT_TRUE(log.contains("SP_ERROR data_length = 40 less than needed_length = 41 \n"));

  // Last byte altered: received byte first, computed second.
  log.clear();
  Bytes bad = p;
  std::uint8_t good = bad.back();
  bad.back() = static_cast<std::uint8_t>(good ^ 0x5A);
  char want[64];
  std::snprintf(want, sizeof(want), "SP_ERROR checksum(%02x != %02x) \n", bad.back(), good);
  EXPECT_EQ(sp_unpack(bad.data(), 41, &h, area.data(), &area_len), -1);
  EXPECT_TRUE(log.contains(want)) << log.dump();
}

TEST(SpPacket, NeverReadsOrWritesPastItsBuffers) {
  sp_protocol_header h{};
  // Identifier 5 bytes before the end of a 24-byte stream: no whole header.
  Bytes tail(24, 0);
  tail[19] = 0xEE;
  tail[20] = 0xAA;
  std::array<std::uint8_t, 64> area{};
  std::uint16_t area_len = area.size();
  EXPECT_EQ(sp_unpack(tail.data(), 24, &h, area.data(), &area_len), -1);

  // A data_len of 65535 must not wrap the needed length to 20.
  Bytes huge = pack(0x11, {});
  huge[6] = 0xFF;
  huge[7] = 0xFF;
  huge.resize(100, 0);
  EXPECT_EQ(sp_unpack(huge.data(), 100, &h, area.data(), &area_len), -1);

  // A data area larger than the caller's buffer is refused.
  Bytes p = pack(0x11, heartbeat_data());
  std::array<std::uint8_t, 24> small{};
  small.fill(0xCC);
  std::uint16_t small_len = 10;
  EXPECT_EQ(sp_unpack(p.data(), 41, &h, small.data(), &small_len), -1);
  EXPECT_EQ(small[0], 0xCC);
  std::uint16_t packet_len = 40;
  std::array<std::uint8_t, 41> whole{};
  EXPECT_EQ(sp_check_data(p.data(), 41, whole.data(), &packet_len), -1);
}

TEST(SpConfig, PortsAndTimeouts) {
  EXPECT_EQ(sp_init_conf(nullptr), -1);
  sp_config_t c{};
  c.tcp_port = 80;
  c.udp_port = 5000;
  EXPECT_EQ(sp_init_conf(&c), -1);
  c.tcp_port = 5000;
  c.udp_port = 1023;
  EXPECT_EQ(sp_init_conf(&c), -1);
  c.udp_port = 1024;
  EXPECT_EQ(sp_init_conf(&c), 0);
  EXPECT_EQ(c.conn_timeout_sec, 3u);
  EXPECT_EQ(c.rw_timeout_sec, 3u);
  c = sp_config_t{};
  c.conn_timeout_sec = 7;
  EXPECT_EQ(sp_init_conf(&c), 0);  // port 0 passes
  EXPECT_EQ(c.conn_timeout_sec, 7u);
  EXPECT_EQ(c.rw_timeout_sec, 3u);
}

}  // namespace
