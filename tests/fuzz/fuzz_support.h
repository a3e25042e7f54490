// What every fuzz target shares: a silenced log, a scratch board directory
// that the process runs in and removes at exit, a cursor over the input, and
// a way to report a broken invariant as a crash.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "ztpu/log.h"

namespace ztpu_fuzz {

// Messages are dropped: a simulated board would append each one to a file.
inline void quiet_log() {
  ztpu_log_set_sink([](int, const char*, void*) {}, nullptr);
}

// A broken invariant: libFuzzer records the input that caused it.
[[noreturn]] inline void fail(const char* what) {
  fprintf(stderr, "fuzz invariant broken: %s\n", what);
  abort();
}

inline int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}

// Makes a fresh directory under TMPDIR (or /tmp), enters it and creates the
// board's directories below it. ZTPU_ROOT is "." in this build, so every
// path of the system then lies inside it. Removed at exit.
inline void enter_scratch_board() {
  static std::string dir;
  const char* base = getenv("TMPDIR");
  dir = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/ztpu-fuzz-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0) fail("scratch directory");
  for (const char* d : {"dev", "etc", "etc/poskey", "sys", "sys/fsl_otp", "tmp", "var", "var/log",
                        "var/lock", "var/ulocal", "var/ulocal/upload", "var/ulocal/backup"})
    mkdir(d, 0755);
  atexit([] {
    if (chdir("/") == 0) nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  });
}

// Removes every plain file directly in `dir`.
inline void remove_dir_files(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return;
  while (struct dirent* e = readdir(d)) {
    if (e->d_type == DT_REG) unlinkat(dirfd(d), e->d_name, 0);
  }
  closedir(d);
}

// Writes `n` bytes as the whole content of `path`.
inline void write_file(const char* path, const void* data, size_t n) {
  int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("write_file open");
  const auto* p = static_cast<const unsigned char*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w <= 0) fail("write_file write");
    p += w;
    n -= static_cast<size_t>(w);
  }
  ::close(fd);
}

// Reads the input front to back; past the end every read gives zeros.
class Cursor {
 public:
  Cursor(const uint8_t* data, size_t size) : p_(data), n_(size) {}
  size_t left() const { return n_; }
  const uint8_t* here() const { return p_; }
  uint8_t u8() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  uint16_t u16() {
    uint16_t lo = u8();
    return static_cast<uint16_t>(lo | (u8() << 8));
  }
  // Up to `want` bytes; how many were taken goes to *got.
  const uint8_t* take(size_t want, size_t* got) {
    *got = want < n_ ? want : n_;
    const uint8_t* at = p_;
    p_ += *got;
    n_ -= *got;
    return at;
  }

 private:
  const uint8_t* p_;
  size_t n_;
};

}  // namespace ztpu_fuzz
