// TCP transport: connect with a time-out, send in three parts, read exactly.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>

#include "sp_internal.h"
#include "ztpu/log.h"

namespace {

int set_blocking(int sockfd, bool blocking) {
  int flags = fcntl(sockfd, F_GETFL, 0);
  if (flags < 0) return -1;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(sockfd, F_SETFL, flags) < 0 ? -1 : 0;
}

int set_timeout(int sockfd, int opt, std::uint32_t sec) {
  timeval tv{};
  // A 32-bit time_t would wrap a count above INT32_MAX to a negative
  // (refused) time-out: such a count means "for ever" anyway.
  tv.tv_sec = static_cast<time_t>(std::min<std::uint64_t>(
      sec, static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())));
  return setsockopt(sockfd, SOL_SOCKET, opt, &tv, sizeof(tv)) < 0 ? -1 : 0;
}

// Seconds to poll's milliseconds, worked out in 64 bits: in int the product
// overflows above 24 days.
int poll_ms(std::uint32_t sec) {
  return static_cast<int>(
      std::min<std::uint64_t>(std::uint64_t{sec} * 1000, std::numeric_limits<int>::max()));
}

int set_flag(int sockfd, int level, int opt) {
  int on = 1;
  return setsockopt(sockfd, level, opt, &on, sizeof(on)) < 0 ? -1 : 0;
}

constexpr int kWaitSliceMs = 100;

std::atomic<int> cancelled{0};

// The socket's receive time-out in milliseconds; -1 for none.
int recv_timeout_ms(int sockfd) {
  timeval tv{};
  socklen_t len = sizeof(tv);
  if (getsockopt(sockfd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len) != 0) return -1;
  const long long ms = static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
  return ms > 0 ? static_cast<int>(ms) : -1;
}

}  // namespace

void sp_cancel(int on) { cancelled.store(on != 0 ? 1 : 0); }

int sock_wait(int sockfd, short events, int timeout_ms) {
  if (timeout_ms == SOCK_WAIT_RECV_TIMEOUT) timeout_ms = recv_timeout_ms(sockfd);
  int left = timeout_ms;
  for (;;) {
    if (cancelled.load() != 0) {
      errno = ECANCELED;
      return -1;
    }
    const int slice = left < 0 || left > kWaitSliceMs ? kWaitSliceMs : left;
    pollfd pfd{sockfd, events, 0};
    const int rc = poll(&pfd, 1, slice);
    if (rc > 0) return 1;
    if (rc < 0 && errno != EINTR) return 1;  // the call that follows reports it
    if (left >= 0) {
      left -= slice;
      if (left <= 0) {
        errno = EAGAIN;
        return 0;
      }
    }
  }
}

const char* sp_strerror(int err, char* buf, std::size_t len) { return strerror_r(err, buf, len); }

void sock_close(int* sockfd) {
  if (*sockfd >= 0) {
    close(*sockfd);
    *sockfd = -1;
  }
}

int sock_tcp_nodelay(int sockfd) { return set_flag(sockfd, IPPROTO_TCP, TCP_NODELAY); }
int sock_tcp_reuseaddr(int sockfd) { return set_flag(sockfd, SOL_SOCKET, SO_REUSEADDR); }
int sock_send_timeout_opt(int sockfd, std::uint32_t sec) {
  return set_timeout(sockfd, SO_SNDTIMEO, sec);
}
int sock_recv_timeout_opt(int sockfd, std::uint32_t sec) {
  return set_timeout(sockfd, SO_RCVTIMEO, sec);
}

int sock_tcp_options(int sockfd, std::uint32_t rw_timeout_sec) {
  if (sockfd < 0) return -1;
  if (sock_tcp_nodelay(sockfd) != 0) return -1;
  if (sock_tcp_reuseaddr(sockfd) != 0) return -1;
  if (sock_send_timeout_opt(sockfd, rw_timeout_sec) != 0) return -1;
  if (sock_recv_timeout_opt(sockfd, rw_timeout_sec) != 0) return -1;
  return 0;
}

int sock_tcp_conn_select(int sockfd, std::uint32_t timeout_sec) {
  const int rc = sock_wait(sockfd, POLLIN | POLLOUT, poll_ms(timeout_sec));
  if (rc <= 0) return -1;  // no answer within the time-out, or cancelled
  // A failing poll is judged by the socket's pending error like a ready one.

  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(sockfd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return -1;
  if (err != 0) {
    std::array<char, 128> buf{};
    ztpu_log(LOG_ERR, "ERROR sockfd = %d, error %d %s \n", sockfd, err,
             sp_strerror(err, buf.data(), buf.size()));
    return -1;
  }
  return 0;
}

int sock_tcp_connect(int sockfd, const char* ip, std::uint16_t port, std::uint32_t timeout_sec) {
  if (ip == nullptr || ip[0] == '\0' || port == 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, ip, &addr.sin_addr) != 1) return -1;

  if (set_blocking(sockfd, false) != 0) return -1;
  if (connect(sockfd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
    return set_blocking(sockfd, true);
  }
  if (errno != EINPROGRESS) {
    // Loopback refusals are reported at once; name them as the select path does.
    int err = errno;
    std::array<char, 128> buf{};
    ztpu_log(LOG_ERR, "ERROR sockfd = %d, error %d %s \n", sockfd, err,
             sp_strerror(err, buf.data(), buf.size()));
    return -1;
  }
  if (sock_tcp_conn_select(sockfd, timeout_sec) != 0) return -1;
  return set_blocking(sockfd, true);
}

int sock_tcp_part_send(int sockfd, const std::uint8_t* data, std::size_t len) {
  std::size_t sent = 0;
  while (sent < len) {
    // MSG_NOSIGNAL: a server that hung up must fail the exchange, not kill the process.
    ssize_t n = send(sockfd, data + sent, len - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      int err = errno;
      std::array<char, 128> buf{};
      ztpu_log(LOG_ERR, "ERROR send. errno: %d %s\n", err,
               sp_strerror(err, buf.data(), buf.size()));
      return -1;
    }
    sent += static_cast<std::size_t>(n);
  }
  return 0;
}

int sock_tcp_part_read(int sockfd, std::uint8_t* data, std::size_t len) {
  std::size_t got = 0;
  while (got < len) {
    // In slices, so that sp_cancel ends a wait for a silent server.
    ssize_t n = sock_wait(sockfd, POLLIN, SOCK_WAIT_RECV_TIMEOUT) > 0
                    ? recv(sockfd, data + got, len - got, 0)
                    : -1;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : 0;
      std::array<char, 128> buf{};
      const char* text =
          n < 0 ? sp_strerror(err, buf.data(), buf.size()) : "connection closed by peer";
      ztpu_log(LOG_ERR, "SP_ERROR read errno: %d %s \n", err, text);
      return -1;
    }
    got += static_cast<std::size_t>(n);
  }
  return 0;
}

int sp_tcp_connect(sp_chan_t* chan) {
  const sp_config_t& cfg = chan->config;
  chan->state = SP_CHAN_CONNECTING;
  chan->sockfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (chan->sockfd < 0) return -1;
  if (sock_tcp_options(chan->sockfd, cfg.rw_timeout_sec) != 0) return -1;
  if (sock_tcp_connect(chan->sockfd, cfg.tcp_ip, cfg.tcp_port, cfg.conn_timeout_sec) != 0)
    return -1;
  chan->state = SP_CHAN_CONNECTED;
  return 0;
}

int sp_tcp_send(sp_chan_t* chan) {
  chan->state = SP_CHAN_SENDING;
  std::array<std::uint8_t, SP_HEADER_LEN> head{};
  std::memcpy(head.data(), &chan->header, head.size());
  if (sock_tcp_part_send(chan->sockfd, head.data(), head.size()) != 0) return -1;
  chan->nw_bytes += static_cast<int>(head.size());
  if (sock_tcp_part_send(chan->sockfd, chan->buff->in, chan->buff->in_len) != 0) return -1;
  chan->nw_bytes += static_cast<int>(chan->buff->in_len);
  if (sock_tcp_part_send(chan->sockfd, &chan->checksum, 1) != 0) return -1;
  chan->nw_bytes += 1;
  chan->state = SP_CHAN_SENT;
  return 0;
}

int sp_tcp_read(sp_chan_t* chan) {
  chan->state = SP_CHAN_READING;
  std::array<std::uint8_t, SP_HEADER_LEN> head{};
  if (sock_tcp_part_read(chan->sockfd, head.data(), head.size()) != 0) return -1;
  if (sp_check_prefix(head.data()) != 0) return -1;
  std::memcpy(&chan->header, head.data(), head.size());
  chan->nr_bytes = static_cast<int>(head.size());

  // Checked before any data byte is read: nothing is written past `out`.
  std::size_t capacity = *chan->buff->out_len;
  std::uint16_t data_len = chan->header.data_len;
  if (data_len > capacity) {
    ztpu_log(LOG_ERR, "SP_ERROR to much data recv[%d] bytes > max[%d] bytes. \n", data_len,
             static_cast<int>(capacity));
    return -1;
  }
  if (sock_tcp_part_read(chan->sockfd, chan->buff->out, data_len) != 0) return -1;
  *chan->buff->out_len = data_len;
  if (sock_tcp_part_read(chan->sockfd, &chan->checksum, 1) != 0) return -1;
  chan->nr_bytes += data_len + 1;
  chan->state = SP_CHAN_READED;
  return 0;
}

void sp_tcp_disconnect(sp_chan_t* chan) { sock_close(&chan->sockfd); }
