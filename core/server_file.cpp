// File helpers shared by the log and order uploads.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "server_internal.h"
#include "ztpu/crypto.h"

namespace {
constexpr int kDigestAttempts = 3;
}

int server_file_digest(int fd, const char* path, long long* size, std::uint8_t* hash) {
  for (int attempt = 0; attempt < kDigestAttempts; ++attempt) {
    struct stat before {};
    struct stat after {};
    if (fstat(fd, &before) != 0) return -1;
    if (crypto_file_md5(path, hash) < 0) return -1;
    if (fstat(fd, &after) != 0) return -1;
    // Unchanged size around the digest: it covers exactly these bytes.
    if (before.st_size == after.st_size) {
      *size = static_cast<long long>(after.st_size);
      return 0;
    }
  }
  return -1;
}

long server_read_full(int fd, std::uint8_t* buf, std::size_t len) {
  std::size_t got = 0;
  while (got < len) {
    ssize_t n = read(fd, buf + got, len - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<long>(got);
}
