// State and helpers shared by the ticket query and the payment; for the
// transaction core's own files only.
#pragma once

#include <sys/time.h>
#include <unistd.h>

#include <array>

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

// Owner of a file descriptor; closes it exactly once.
class unique_fd {
 public:
  explicit unique_fd(int fd = -1) : fd_(fd) {}
  ~unique_fd() { reset(); }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

}  // namespace ztpu_txn
