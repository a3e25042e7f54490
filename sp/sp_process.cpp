// One exchange on a prepared channel: header, checksum, transport, checks.
#include <cstdint>

#include "sp_internal.h"
#include "ztpu/log.h"

namespace {

// Closes the channel's socket on every way out of an exchange.
class ChanSocket {
 public:
  explicit ChanSocket(sp_chan_t* chan) : chan_(chan) {}
  ~ChanSocket() { sock_close(&chan_->sockfd); }
  ChanSocket(const ChanSocket&) = delete;
  ChanSocket& operator=(const ChanSocket&) = delete;

 private:
  sp_chan_t* chan_;
};

int sp_tcp_exchange(sp_chan_t* chan) {
  if (sp_tcp_connect(chan) != 0) return -1;
  if (sp_tcp_send(chan) != 0) return -1;
  if (sp_tcp_read(chan) != 0) return -1;
  sp_tcp_disconnect(chan);
  return 0;
}

int sp_udp_exchange(sp_chan_t* chan) {
  if (sp_udp_connect(chan) != 0) return -1;
  if (sp_udp_send(chan) != 0) return -1;
  if (sp_udp_read(chan) != 0) return -1;
  sp_udp_disconnect(chan);
  return 0;
}

}  // namespace

void sp_header_setup(sp_chan_t* chan) {
  sp_protocol_header& h = chan->header;
  h.header = SP_HEADER_IDENT;
  h.version = SP_VERSION;
  h.sequence = SP_SEQUENCE;
  h.ptl_type = chan->sp_type;
  h.cmd = chan->cmd;
  h.api_version = chan->config.apiver;
  h.data_len = static_cast<std::uint16_t>(chan->buff->in_len);
  h.status = 0;
  h.option1 = 0;
  h.option2 = 0;
}

int sp_packet_process(sp_chan_t* chan) {
  // The length field has 16 bits: a longer request cannot be framed.
  if (chan->buff->in_len > UINT16_MAX) return -1;

  sp_header_setup(chan);
  chan->checksum = sp_checksum(&chan->header, chan->buff->in, chan->header.data_len);
  chan->state = SP_CHAN_PACK;

  ChanSocket closer(chan);
  int rc = chan->chan_type == SP_CHAN_TCP ? sp_tcp_exchange(chan) : sp_udp_exchange(chan);
  if (rc != 0) return -1;

  const sp_protocol_header& rsp = chan->header;
  if (sp_checksum(&rsp, chan->buff->out, rsp.data_len) != chan->checksum) return -1;
  if (rsp.data_len < SP_MIN_RSP_DATA) return -1;

  chan->state = SP_CHAN_UNPACK;
  sp_chan_log(chan);

  if (rsp.status != 0) {
    ztpu_log(LOG_ERR, "SP_ERROR business service error. status: %d \n", rsp.status);
    return -1;
  }
  return 0;
}
