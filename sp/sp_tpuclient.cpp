// The client's process-wide configuration and the two channel entry points.
#include <netinet/in.h>

#include <cstring>
#include <mutex>

#include "sp_internal.h"

sp_context_t sp_context{};

namespace {

// Replacing and copying the configuration both happen under this lock, so an
// exchange never starts from a half-written configuration.
std::mutex sp_context_lock;

constexpr std::uint32_t kDefaultTimeoutSec = 3;

int sp_chan_run(std::uint8_t chan_type, std::uint16_t cmd, const std::uint8_t* in,
                std::size_t inlen, std::uint8_t* out, std::size_t* outlen) {
  if (in == nullptr || out == nullptr || outlen == nullptr) return -1;

  sp_buff_t buff{in, inlen, out, outlen};
  sockaddr_in serv_addr{};
  sp_chan_t chan{};
  chan.context = &sp_context;
  chan.sp_type = SP_PTL_TYPE;
  chan.chan_type = chan_type;
  chan.cmd = cmd;
  chan.buff = &buff;
  chan.sockfd = -1;
  chan.state = SP_CHAN_INIT;
  if (chan_type == SP_CHAN_UDP) chan.udp_serv_addr = &serv_addr;
  sp_context_copy(&chan.config);

  if (sp_packet_process(&chan) != 0) {
    chan.state = SP_CHAN_ERROR;
    sp_chan_log(&chan);
    return -1;
  }
  return 0;
}

}  // namespace

void sp_context_copy(sp_config_t* out) {
  std::lock_guard<std::mutex> guard(sp_context_lock);
  *out = sp_context.config;
}

int port_handle(std::uint16_t port) { return (port >= 1 && port <= 1023) ? -1 : 0; }

int sp_init_conf(sp_config_t* config) {
  if (config == nullptr) return -1;
  if (port_handle(config->tcp_port) != 0 || port_handle(config->udp_port) != 0) return -1;
  if (config->conn_timeout_sec == 0) config->conn_timeout_sec = kDefaultTimeoutSec;
  if (config->rw_timeout_sec == 0) config->rw_timeout_sec = kDefaultTimeoutSec;

  sp_config_t copy = *config;
  // The addresses are used as C strings: never let one run off its field.
  copy.tcp_ip[sizeof(copy.tcp_ip) - 1] = '\0';
  copy.udp_ip[sizeof(copy.udp_ip) - 1] = '\0';
  std::lock_guard<std::mutex> guard(sp_context_lock);
  sp_context.config = copy;
  return 0;
}

int sp_tcp_chan(std::uint16_t cmd, const std::uint8_t* in, std::size_t inlen, std::uint8_t* out,
                std::size_t* outlen) {
  return sp_chan_run(SP_CHAN_TCP, cmd, in, inlen, out, outlen);
}

int sp_udp_chan(std::uint16_t cmd, const std::uint8_t* in, std::size_t inlen, std::uint8_t* out,
                std::size_t* outlen) {
  return sp_chan_run(SP_CHAN_UDP, cmd, in, inlen, out, outlen);
}
