// State and helpers shared by the ticket query and the payment; for the
// transaction core's own files only.
#pragma once

#include <sys/time.h>
#include <unistd.h>

#include <array>

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

// The user id's 4 little-endian bytes repeated four times: key and IV of
// the entry information, IV of the phone reply.
std::array<u8, 16> userid_key(u32 user_id);

// Check byte of an entry information: CRC-8 over bytes 4..11 of the MD5 of
// its first 8 bytes. -1 when the digest fails.
int ent_info_check(const u8* info);

// AES-128-CFB of the 9 entry-information bytes under the user-id key. 0, or -1.
int ent_info_crypt(u32 user_id, const u8* in, u8* out, int encrypt);

using unique_fd = ztpu::fileio::Fd;

}  // namespace ztpu_txn
