// Whole-file writing shared by every module that stores a file: a descriptor
// owner, a write loop and the replacement of a file through a synced
// temporary file. Nothing here allocates, throws or logs; failures come back
// as -1 (or false) with errno set.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>

namespace ztpu::fileio {

// Owner of a file descriptor: closes it exactly once; moves, never copies.
class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const noexcept { return fd_; }
  bool ok() const noexcept { return fd_ >= 0; }
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Writes all n bytes, resuming after signals and short writes. false (errno
// set) on any failure; a write that makes no progress is a failure.
bool write_all(int fd, const void* data, size_t n) noexcept;

// fsync of the directory that holds `path`, so that a rename or a new entry
// in it survives a power cut. 0, or -1.
int sync_dir_of(const char* path) noexcept;

// Replaces the whole content of the file at `path` with `len` bytes. The
// bytes go to "<target>.tmp" (a stale one is removed first; it is created
// exclusively, never through a link), are synced, renamed over the target and
// the directory is synced: a power cut leaves the old or the new content,
// never a mix. When `path` is a symbolic link the file it leads to is
// replaced (the link stays); an existing file keeps its owner and mode, a new
// one gets `mode` (under the umask). Writers of one path must not overlap.
// 0, or -1 with errno set and the old file untouched.
int replace_file(const char* path, const void* data, size_t len, mode_t mode) noexcept;

// Appends `len` bytes to the file at `path` (created with `mode`) and syncs
// them; on failure the file is cut back to its old length, so no part of the
// bytes stays. 0, or -1 with errno set.
int append_file(const char* path, const void* data, size_t len, mode_t mode) noexcept;

// Test seam: while set, replace_file and append_file ask it before they write
// `path` (as the caller gave it); a non-zero errno value makes them write part
// of the bytes and then fail with that error, as a full disk would.
using fault_fn = int (*)(const char* path);
void set_fault(fault_fn fn) noexcept;

}  // namespace ztpu::fileio
