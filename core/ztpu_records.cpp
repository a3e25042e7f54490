// Repair of the order record file: a line torn by a crash is cut off, so the
// server is never sent a torn line merged with the next record. Kept apart
// from the payment so that the order upload can use it without the rest of
// the transaction core.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "ztpu/log.h"
#include "ztpu/paths.h"
#include "ztpu/ztpu.h"
#include "ztpu_internal.h"

using ztpu_txn::unique_fd;

namespace {

int unreadable() {
  ztpu_log(LOG_ERR, "can't read %s, error %d.\n", ztpu::path::record_file, errno);
  return -1;
}

}  // namespace

int ztpu_repair_record_file() {
  unique_fd fd(::open(ztpu::path::record_file, O_RDWR | O_CLOEXEC));
  if (!fd.ok()) return errno == ENOENT ? 0 : unreadable();
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return unreadable();
  const off_t size = st.st_size;
  if (size == 0) return 0;
  char last = 0;
  if (::pread(fd.get(), &last, 1, size - 1) != 1) return unreadable();
  if (last == '\n') return 0;
  // Back to the last line feed, one block at a time.
  off_t keep = 0;
  char buf[512];
  for (off_t end = size; end > 0 && keep == 0;) {
    const off_t start = std::max<off_t>(0, end - static_cast<off_t>(sizeof buf));
    const auto want = static_cast<size_t>(end - start);
    if (::pread(fd.get(), buf, want, start) != static_cast<ssize_t>(want)) return unreadable();
    for (size_t i = want; i > 0; --i) {
      if (buf[i - 1] == '\n') {
        keep = start + static_cast<off_t>(i);
        break;
      }
    }
    end = start;
  }
  if (::ftruncate(fd.get(), keep) != 0 || ::fsync(fd.get()) != 0) {
    ztpu_log(LOG_ERR, "can't cut torn order record in %s, error %d.\n", ztpu::path::record_file,
             errno);
    return -1;
  }
  ztpu_log(LOG_WARNING, "cut torn order record (%lld bytes) from %s; that order was not served.\n",
           static_cast<long long>(size - keep), ztpu::path::record_file);
  return 0;
}
