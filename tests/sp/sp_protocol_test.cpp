// The SP packet helpers and the client configuration.
#include <gtest/gtest.h>
#include <syslog.h>

#include <array>
#include <cstdio>
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

// sp_unpack of the first n bytes of `stream` into a 64-byte area.
int unpack(const Bytes& stream, std::size_t n, sp_protocol_header* h = nullptr,
           Bytes* area = nullptr) {
  sp_protocol_header head{};
  std::array<std::uint8_t, 64> out{};
  std::uint16_t len = out.size();
  int rc = sp_unpack(stream.data(), static_cast<std::uint16_t>(n), h ? h : &head, out.data(), &len);
  if (area) area->assign(out.begin(), out.begin() + (rc == 0 ? len : 0));
  return rc;
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

  // No data area.
  Bytes e = pack(0x10, {});
  ASSERT_EQ(e.size(), 21u);
  Bytes area;
  EXPECT_EQ(unpack(e, e.size(), nullptr, &area), 0);
  EXPECT_TRUE(area.empty());
}

TEST(SpPacket, JunkBeforeIdentifierAndTrailingBytesIgnored) {
  Bytes data = heartbeat_data();
  Bytes p = pack(0x11, data);
  Bytes stream = {0x12, 0xEE};
  stream.insert(stream.end(), p.begin(), p.end());
  stream.push_back(0x99);

  sp_protocol_header h{};
  Bytes area;
  ASSERT_EQ(unpack(stream, stream.size(), &h, &area), 0);
  EXPECT_EQ(h.cmd, 0x11);
  EXPECT_EQ(h.data_len, 20);
  EXPECT_EQ(area, data);

  std::array<std::uint8_t, 64> whole{};
  std::uint16_t whole_len = whole.size();
  ASSERT_EQ(sp_check_data(stream.data(), static_cast<std::uint16_t>(stream.size()), whole.data(),
                          &whole_len),
            0);
  EXPECT_EQ(Bytes(whole.begin(), whole.begin() + whole_len), p);
  EXPECT_EQ(sp_check_prefix(p.data()), 0);
  EXPECT_EQ(sp_check_prefix(stream.data()), -1);
  EXPECT_EQ(sp_check_prefix(nullptr), -1);
}

// Each malformed stream is refused, with its message where it has one,
// and none is read past its end.
TEST(SpPacket, MalformedStreamsAreRefused) {
  ztpu_test::LogCapture log;
  const Bytes p = pack(0x11, heartbeat_data());
  Bytes no_ident(30, 0x11);
  no_ident.back() = 0xEE;
  Bytes bad = p;
  bad.back() = static_cast<std::uint8_t>(p.back() ^ 0x5A);
  char checksum[64];  // the received byte first, the computed one second
  std::snprintf(checksum, sizeof(checksum), "SP_ERROR checksum(%02x != %02x) \n", bad.back(),
                p.back());
  Bytes tail(24, 0);
  tail[19] = 0xEE;
  tail[20] = 0xAA;
  Bytes huge = pack(0x11, {});
  huge[6] = huge[7] = 0xFF;
  huge.resize(100, 0);

  struct Row {
    const Bytes& stream;
    std::size_t n;
    const char* message;  // "": no message; nullptr: not checked
  };
  const Row rows[] = {
      {no_ident, 30, "SP_ERROR have no header identifiers"},  // only 0xEE is the last byte
      {p, 19, ""},                                            // refused before looking
      {p, 40, "SP_ERROR data_length = 40 less than needed_length = 41 \n"},
      {bad, 41, checksum},
      {tail, 24, nullptr},   // the identifier 5 bytes before the end: no whole header
      {huge, 100, nullptr},  // a data_len of 65535 must not wrap the needed length to 20
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.n);
    log.clear();
    EXPECT_EQ(unpack(r.stream, r.n), -1);
    if (r.message == nullptr) continue;
    if (*r.message == '\0') {
      EXPECT_TRUE(log.messages().empty()) << log.dump();
    } else {
      EXPECT_TRUE(log.contains(r.message)) << log.dump();
    }
  }

  // A data area or packet larger than the caller's buffer is refused untouched.
  sp_protocol_header h{};
  std::array<std::uint8_t, 41> small{};
  small.fill(0xCC);
  std::uint16_t small_len = 10;
  EXPECT_EQ(sp_unpack(p.data(), 41, &h, small.data(), &small_len), -1);
  EXPECT_EQ(small[0], 0xCC);
  std::uint16_t packet_len = 40;
  EXPECT_EQ(sp_check_data(p.data(), 41, small.data(), &packet_len), -1);
}

TEST(SpConfig, PortsAndTimeouts) {
  EXPECT_EQ(sp_init_conf(nullptr), -1);
  // Ports below 1024 are refused, 0 passes; time-outs default to 3 s.
  const struct {
    std::uint16_t tcp, udp;
    int rc;
  } rows[] = {{80, 5000, -1}, {5000, 1023, -1}, {5000, 1024, 0}, {0, 0, 0}};
  for (const auto& r : rows) {
    sp_config_t c{};
    c.tcp_port = r.tcp;
    c.udp_port = r.udp;
    EXPECT_EQ(sp_init_conf(&c), r.rc) << r.tcp << "/" << r.udp;
    if (r.rc == 0) {
      EXPECT_TRUE(c.conn_timeout_sec == 3 && c.rw_timeout_sec == 3);
    }
  }
  sp_config_t c{};
  c.conn_timeout_sec = 7;
  EXPECT_EQ(sp_init_conf(&c), 0);
  EXPECT_EQ(c.conn_timeout_sec, 7u);
}

}  // namespace
