// What the log and order uploads and the command thread share: a file's
// announcement, one exchange with a fixed-size answer checked for its
// length and status, and a file sent in blocks. For the module's own files
// only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "server_internal.h"
#include "sproto/sp_common.h"
#include "ztpu/log.h"

// Digest and size of an open file about to be announced, `kind` ("log",
// "order") naming it in the messages; a file too large to announce is
// refused. 0, or -1 after logging.
inline int server_file_announce(int fd, const char* path, const char* kind, std::uint8_t* hash,
                                long long* size) {
  if (server_file_digest(fd, path, size, hash) != 0) {
    ztpu_log(LOG_ERR, "[SERVER] open %s file %s failed\n", kind, path);
    return -1;
  }
  if (*size > SERVER_UPLOAD_FILE_MAX) {
    ztpu_log(LOG_ERR, "[SERVER] %s file %s too large (%lld B)\n", kind, path, *size);
    return -1;
  }
  return 0;
}

// What a failed exchange logs after "[SERVER] ": the exchange itself
// failed, the answer had another length, the answer's status was not 0
// (logged as "<refused>: <status>"; nullptr when the status is not checked).
struct server_exchange_msgs {
  const char* failed;
  const char* invalid;
  const char* refused;
};

// One TCP exchange whose answer must be exactly one `Rsp`. 0, or -1 after
// logging the matching message.
template <typename Req, typename Rsp>
int server_exchange(std::uint16_t cmd, const Req& req, std::size_t reqlen, Rsp* rsp,
                    const server_exchange_msgs& msgs) {
  std::size_t len = sizeof(Rsp);
  if (sp_tcp_chan(cmd, reinterpret_cast<const std::uint8_t*>(&req), reqlen,
                  reinterpret_cast<std::uint8_t*>(rsp), &len) != 0) {
    ztpu_log(LOG_ERR, "[SERVER] %s", msgs.failed);
    return -1;
  }
  // Too short to carry its status byte: nothing was accepted.
  if (len != sizeof(Rsp)) {
    ztpu_log(LOG_ERR, "[SERVER] %s", msgs.invalid);
    return -1;
  }
  if constexpr (requires { rsp->status; }) {
    if (msgs.refused != nullptr && rsp->status != 0) {
      ztpu_log(LOG_ERR, "[SERVER] %s: %d\n", msgs.refused, rsp->status);
      return -1;
    }
  }
  return 0;
}

// Sends the `size` bytes of an announced file as blocks of `cmd`, `kind`
// ("log", "order") naming it in the messages. Bytes appended after the
// announcement are not sent; a file shorter than announced changed under
// us and fails, to be announced again.
template <typename Rsp, typename Block>
int server_send_blocks(std::uint16_t cmd, const char* kind, Block& block, int fd, long long size) {
  char failed[64];
  char invalid[64];
  char refused[64];
  std::snprintf(invalid, sizeof(invalid), "invalid upload %s response\n", kind);
  std::snprintf(refused, sizeof(refused), "upload %s response status", kind);
  long long left = size;
  const long long blocks = server_blocks(size);
  for (long long nr = 1; nr <= blocks; ++nr) {
    std::size_t want = left < static_cast<long long>(SERVER_BLOCK_SIZE)
                           ? static_cast<std::size_t>(left)
                           : SERVER_BLOCK_SIZE;
    long n = server_read_full(fd, block.data, want);
    if (n < 0 || static_cast<std::size_t>(n) != want) {
      ztpu_log(LOG_ERR, "[SERVER] upload %s read block %d failed\n", kind, static_cast<int>(nr));
      return -1;
    }
    left -= n;
    block.block_nr = static_cast<std::uint16_t>(nr);
    block.data_len = static_cast<std::uint16_t>(n);
    std::snprintf(failed, sizeof(failed), "upload %s block %d failed\n", kind,
                  static_cast<int>(nr));
    Rsp rsp{};
    if (server_exchange(cmd, block, offsetof(Block, data) + static_cast<std::size_t>(n), &rsp,
                        {failed, invalid, refused}) != 0) {
      return -1;
    }
  }
  return 0;
}
