// State and helpers shared by the ticket query and the payment; for the
// transaction core's own files only.
#pragma once

#include <sys/time.h>
#include <unistd.h>

#include "ztpu/fileio.h"
#include "ztpu/phone.h"
#include "ztpu/ztpu.h"

namespace ztpu_txn {

// The ticket held between a successful query and the payment.
struct voucher {
  char status;  // 1 while a validated ticket is held
  phone_rx rx;  // the phone record as received (enciphered)
  ztpu_query_rsp query_rsp;
};

extern voucher voucher_data;
extern int ztpu_state;
extern timeval test_tv;

inline constexpr int ENT_INFO_LEN = 9;

using unique_fd = ztpu::fileio::Fd;

}  // namespace ztpu_txn
