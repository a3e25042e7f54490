// What the fuzz targets share: a silenced log, a scratch board directory the
// process runs in (removed at exit), a cursor over the input, the store's
// identity, and a broken invariant reported as a crash.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "ztpu/keyfilehandle.h"
#include "ztpu/log.h"
#include "ztpu/paths.h"

namespace ztpu_fuzz {

namespace fs = std::filesystem;

// Silenced: a simulated board would append each message to a file.
inline void quiet_log() {
  ztpu_log_set_sink([](int, const char*, void*) {}, nullptr);
}

[[noreturn]] inline void fail(const char* what) {
  fprintf(stderr, "fuzz invariant broken: %s\n", what);
  abort();
}

// ZTPU_ROOT is "." in this build: every path of the system lies inside.
inline void enter_scratch_board() {
  static std::string dir = (fs::temp_directory_path() / "ztpu-fuzz-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0) fail("scratch directory");
  for (const char* d : {"dev", "etc/poskey", "sys/fsl_otp", "tmp", "var/log", "var/lock",
                        "var/ulocal/upload", "var/ulocal/backup"})
    fs::create_directories(d);
  atexit([] {
    std::error_code ec;
    fs::remove_all(dir, ec);
  });
}

inline void remove_dir_files(const char* dir) {
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file()) fs::remove(e.path());
}

inline void write_file(const char* path, const void* data, size_t n) {
  FILE* f = fopen(path, "wb");
  if (f == nullptr || fwrite(data, 1, n, f) != n || fclose(f) != 0) fail("write_file");
}

// Reads the input front to back; past the end every read gives zeros.
struct Cursor {
  Cursor(const uint8_t* data, size_t size) : p(data), n(size) {}
  const uint8_t* p;
  size_t n;
  size_t left() const { return n; }
  const uint8_t* here() const { return p; }
  uint8_t u8() { return n == 0 ? 0 : (--n, *p++); }
  uint16_t u16() {
    const uint16_t lo = u8();
    return static_cast<uint16_t>(lo | u8() << 8);
  }
  // Up to `want` bytes; how many were taken goes to *got.
  const uint8_t* take(size_t want, size_t* got) {
    *got = want < n ? want : n;
    n -= *got;
    p += *got;
    return p - *got;
  }
};

// The store item and record the cryptfile seeds and the store target share.
inline constexpr char kStoreItem[] = "pcode_0001";
inline void make_store_unit(security_db* unit) {
  static constexpr char fuse[] = "0x0123456789ABCDEF\n";
  write_file(ztpu::path::fuse, fuse, sizeof fuse - 1);
  *unit = security_db{};
  unit->version = 1;
  unit->state = 2;
  u8 secret[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  security_flag_encode(secret, unit->flag);
  for (size_t i = 0; i < sizeof unit->tpuSSN; ++i) unit->tpuSSN[i] = static_cast<u8>(0xA0 + i);
}

}  // namespace ztpu_fuzz
