// SP packets from the server: stream helpers, TCP and UDP readers on socket
// pairs. Input: the caller's capacity / 8, the bytes.
#include <sys/socket.h>

#include "fuzz_support.h"
#include "sp_internal.h"
#include "sproto/sp_common.h"

static void stream_helpers(const uint8_t* data, uint16_t n, size_t cap) {
  sp_protocol_header uh{}, ph{};
  std::unique_ptr<uint8_t[]> area(new uint8_t[cap]);  // exactly cap bytes, never null
  std::vector<uint8_t> packet(size_t{n});
  uint16_t area_len = static_cast<uint16_t>(cap), packet_len = n;
  if (sp_unpack(data, n, &uh, area.get(), &area_len) == 0 &&
      (area_len != uh.data_len || area_len > cap))
    ztpu_fuzz::fail("unpack length");
  if (sp_check_data(data, n, packet.data(), &packet_len) != 0) return;
  sp_parse_head(packet.data(), &ph);
  if (packet_len != ph.data_len + SP_OVERHEAD ||
      sp_checksum(&ph, packet.data() + SP_HEADER_LEN, ph.data_len) !=
          packet[SP_HEADER_LEN + ph.data_len])
    ztpu_fuzz::fail("packet length or checksum");
}

static void read_over(int type, const uint8_t* data, size_t n, size_t cap) {
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
  if ((type == SOCK_STREAM ? sp_tcp_read(&chan) : sp_udp_read(&chan)) == 0 &&
      (out_len > cap || out_len != chan.header.data_len))
    ztpu_fuzz::fail("read length");
  sock_close(&chan.sockfd);
  close(sv[1]);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  [[maybe_unused]] static const bool ready = ztpu_fuzz::init(false);
  if (size < 1 || size > 8192) return 0;
  const size_t cap = size_t{data[0]} * 8;
  stream_helpers(data + 1, static_cast<uint16_t>(size - 1), cap);
  read_over(SOCK_STREAM, data + 1, size - 1, cap);
  if (size - 1 <= SP_UDP_MAX) read_over(SOCK_DGRAM, data + 1, size - 1, cap);
  return 0;
}
