// What the fuzz targets share, the standard headers they use too.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ztpu/log.h"
#include "ztpu/paths.h"

namespace ztpu_fuzz {

namespace fs = std::filesystem;

[[noreturn]] inline void fail(const char* what) {
  fprintf(stderr, "fuzz invariant broken: %s\n", what);
  abort();
}

// Silences the log (a simulated board appends it to a file); with `board`,
// moves into a scratch board removed at exit (ZTPU_ROOT is "."); then runs
// `then`. For the one-time setup:  [[maybe_unused]] static const bool ready = init(..);
inline bool init(bool board, void (*then)() = nullptr) {
  ztpu_log_set_sink([](int, const char*, void*) {}, nullptr);
  static std::string dir = (fs::temp_directory_path() / "ztpu-fuzz-XXXXXX").string();
  if (board) {
    if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0) fail("scratch board");
    for (const char* d : {"dev", "etc/poskey", "sys/fsl_otp", "tmp", "var/log", "var/lock",
                          "var/ulocal/upload", "var/ulocal/backup"})
      fs::create_directories(d);
    atexit([] {
      std::error_code ec;
      fs::remove_all(dir, ec);
    });
  }
  if (then != nullptr) then();
  return true;
}

inline void empty_dir(const char* dir) {
  fs::remove_all(dir);
  fs::create_directory(dir);
}

inline void write_file(const std::string& path, const void* data, size_t n) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr || fwrite(data, 1, n, f) != n || fclose(f) != 0) fail("write_file");
}

// Reads the input front to back; past the end every read gives zeros.
struct Cursor {
  const uint8_t* p;
  size_t n;
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

}  // namespace ztpu_fuzz
