// Tracing hook: the place where packet tracing may be added. It stays
// silent so that no request or key-bearing record reaches the log.
#include "sproto/sp_common.h"

void sp_chan_log(const sp_chan_t* chan) { (void)chan; }
