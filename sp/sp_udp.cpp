// UDP transport: one datagram out, one datagram back.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

#include "sp_internal.h"
#include "ztpu/log.h"

int sock_udp_init(sp_chan_t* chan, sockaddr_in* addr) {
  const sp_config_t& cfg = chan->config;
  chan->sockfd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (chan->sockfd < 0) return -1;
  if (sock_recv_timeout_opt(chan->sockfd, cfg.rw_timeout_sec) != 0) return -1;
  if (sock_tcp_reuseaddr(chan->sockfd) != 0) return -1;

  *addr = sockaddr_in{};
  addr->sin_family = AF_INET;
  addr->sin_port = htons(cfg.udp_port);
  if (cfg.udp_port == 0 || inet_pton(AF_INET, cfg.udp_ip, &addr->sin_addr) != 1) return -1;
  return 0;
}

int sp_udp_connect(sp_chan_t* chan) {
  if (sock_udp_init(chan, chan->udp_serv_addr) != 0) return -1;
  chan->state = SP_CHAN_CONNECTED;
  return 0;
}

int sp_udp_send(sp_chan_t* chan) {
  std::size_t in_len = chan->buff->in_len;
  if (in_len + SP_OVERHEAD > SP_UDP_MAX) {
    ztpu_log(LOG_ERR, "SP_ERROR datagram too long: %d bytes > max[%d] bytes. \n",
             static_cast<int>(in_len + SP_OVERHEAD), static_cast<int>(SP_UDP_MAX));
    return -1;
  }
  std::array<std::uint8_t, SP_UDP_MAX> packet{};
  std::memcpy(packet.data(), &chan->header, SP_HEADER_LEN);
  if (in_len > 0) std::memcpy(packet.data() + SP_HEADER_LEN, chan->buff->in, in_len);
  packet[SP_HEADER_LEN + in_len] = chan->checksum;

  chan->state = SP_CHAN_SENDING;
  ssize_t n = sendto(chan->sockfd, packet.data(), in_len + SP_OVERHEAD, 0,
                     reinterpret_cast<const sockaddr*>(chan->udp_serv_addr), sizeof(sockaddr_in));
  if (n < 0) {
    int err = errno;
    std::array<char, 128> buf{};
    ztpu_log(LOG_ERR, "SP_ERROR send data..errno: %d %s\n", err,
             sp_strerror(err, buf.data(), buf.size()));
    return -1;
  }
  chan->nw_bytes = static_cast<int>(n);
  chan->state = SP_CHAN_SENT;
  return 0;
}

int sp_udp_read(sp_chan_t* chan) {
  chan->state = SP_CHAN_READING;
  std::array<std::uint8_t, SP_UDP_MAX> packet{};
  ssize_t n;
  do {
    n = sock_wait(chan->sockfd, POLLIN, SOCK_WAIT_RECV_TIMEOUT) > 0
            ? recvfrom(chan->sockfd, packet.data(), packet.size(), 0, nullptr, nullptr)
            : -1;
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    int err = errno;
    std::array<char, 128> buf{};
    ztpu_log(LOG_ERR, "SP_ERROR recv data..r_len: %d, errno: %d %s\n", static_cast<int>(n), err,
             sp_strerror(err, buf.data(), buf.size()));
    return -1;
  }
  chan->nr_bytes = static_cast<int>(n);
  chan->state = SP_CHAN_READED;

  std::size_t got = static_cast<std::size_t>(n);
  if (got < SP_OVERHEAD || sp_check_prefix(packet.data()) != 0) return -1;
  std::memcpy(&chan->header, packet.data(), SP_HEADER_LEN);

  std::size_t data_len = chan->header.data_len;
  if (got < data_len + SP_OVERHEAD) {
    ztpu_log(LOG_ERR, "SP_ERROR short datagram: %d bytes < needed %d bytes. \n",
             static_cast<int>(got), static_cast<int>(data_len + SP_OVERHEAD));
    return -1;
  }
  std::size_t capacity = *chan->buff->out_len;
  if (data_len > capacity) {
    ztpu_log(LOG_ERR, "SP_ERROR to much data recv[%d] bytes > max[%d] bytes. \n",
             static_cast<int>(data_len), static_cast<int>(capacity));
    return -1;
  }
  if (data_len > 0) std::memcpy(chan->buff->out, packet.data() + SP_HEADER_LEN, data_len);
  *chan->buff->out_len = data_len;
  chan->checksum = packet[SP_HEADER_LEN + data_len];
  return 0;
}

void sp_udp_disconnect(sp_chan_t* chan) { sock_close(&chan->sockfd); }
