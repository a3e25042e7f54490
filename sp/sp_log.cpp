// Tracing hooks: the place where packet tracing may be added. They stay
// silent so that no request or key-bearing record reaches the log.
#include "sproto/sp_common.h"

void sp_hex_log(const char* business_name, const std::uint8_t* data, std::size_t len) {
  (void)business_name;
  (void)data;
  (void)len;
}

void sp_chan_log(const sp_chan_t* chan) { (void)chan; }
