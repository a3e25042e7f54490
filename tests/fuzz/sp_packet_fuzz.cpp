// SP packets as they arrive from the server: the stream helpers (header
// search, unpack, whole-packet copy) and the TCP and UDP readers on socket
// pairs that play the server's end.
//
// Input: one byte giving the caller's data capacity (times 8), then the
// received bytes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "sp_internal.h"
#include "sproto/sp_common.h"

namespace {

void stream_helpers(const uint8_t* data, uint16_t n, size_t cap) {
  sp_protocol_header h{};
  uint16_t start = 0;
  (void)sp_parse_header(data, n, &h, &start);

  // new[] of 0 still gives a buffer, of no bytes: the public calls refuse a null one.
  std::unique_ptr<uint8_t[]> area(new uint8_t[cap]);
  uint16_t area_len = static_cast<uint16_t>(cap);
  sp_protocol_header uh{};
  const bool unpacked = sp_unpack(data, n, &uh, area.get(), &area_len) == 0;
  if (unpacked && (area_len != uh.data_len || area_len > cap)) ztpu_fuzz::fail("unpack length");

  std::vector<uint8_t> packet(size_t{n});
  uint16_t packet_len = n;
  const bool whole = sp_check_data(data, n, packet.data(), &packet_len) == 0;
  if (unpacked && !whole) ztpu_fuzz::fail("unpack took a packet the check refused");
  if (whole) {
    sp_protocol_header ph{};
    sp_parse_head(packet.data(), &ph);
    if (packet_len != ph.data_len + SP_OVERHEAD) ztpu_fuzz::fail("packet length");
    if (sp_checksum(&ph, packet.data() + SP_HEADER_LEN, ph.data_len) !=
        packet[SP_HEADER_LEN + ph.data_len])
      ztpu_fuzz::fail("packet checksum");
  }
}

void read_over(int type, const uint8_t* data, size_t n, size_t cap) {
  int sv[2];
  if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, sv) != 0) ztpu_fuzz::fail("socketpair");
  if (send(sv[1], data, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) ztpu_fuzz::fail("send");
  shutdown(sv[1], SHUT_WR);

  std::unique_ptr<uint8_t[]> out(new uint8_t[cap]);
  size_t out_len = cap;
  sp_buff_t buff{nullptr, 0, out.get(), &out_len};
  sp_chan_t chan{};
  chan.buff = &buff;
  chan.sockfd = sv[0];
  const int rc = type == SOCK_STREAM ? sp_tcp_read(&chan) : sp_udp_read(&chan);
  if (rc == 0 && (out_len > cap || out_len != chan.header.data_len)) ztpu_fuzz::fail("read length");
  // What the exchange checks next.
  if (rc == 0) (void)sp_checksum(&chan.header, out.get(), chan.header.data_len);
  sock_close(&chan.sockfd);
  close(sv[1]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ztpu_fuzz::quiet_log();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 8192) return 0;
  const size_t cap = size_t{data[0]} * 8;
  const uint8_t* stream = data + 1;
  const size_t n = size - 1;
  stream_helpers(stream, static_cast<uint16_t>(n), cap);
  read_over(SOCK_STREAM, stream, n, cap);
  if (n <= SP_UDP_MAX) read_over(SOCK_DGRAM, stream, n, cap);
  return 0;
}
