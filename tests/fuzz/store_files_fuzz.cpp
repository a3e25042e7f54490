// The secure store's files as found on the board: the device record and a
// cryptfile, with or without a backup left by an interrupted rewrite, read
// by the store's own attach and get. Sealed content is written by the
// store's own writer first and must read back unchanged.
// Input: flags (bit 0: cryptfile, else the record; bit 1: seal the rest;
// bit 2: the rest is a 16-bit length, the file, then its backup), the bytes.
#include <unistd.h>

#include <cstring>

#include "fuzz_support.h"

namespace {

char item_name[sizeof ztpu_fuzz::kStoreItem];
security_db unit{};  // the held record the cryptfiles belong to

// Places the raw file of `name` (and its backup) from the input.
void place(const char* name, ztpu_fuzz::Cursor& in, bool with_backup) {
  char enc[33] = {};
  if (security_get_encfilename(name, enc) != 0) ztpu_fuzz::fail("encrypted name");
  const std::string path = std::string(ztpu::path::store_dir) + "/" + enc;
  size_t n = 0;
  const uint8_t* p = in.take(with_backup ? in.u16() : in.left(), &n);
  ztpu_fuzz::write_file(path.c_str(), p, n);
  if (with_backup) ztpu_fuzz::write_file((path + ".b").c_str(), in.here(), in.left());
}

void record(ztpu_fuzz::Cursor& in, bool seal, bool with_backup) {
  security_db written{};
  if (seal) {
    size_t n = 0;
    std::memcpy(&written, in.take(sizeof written, &n), n);
    written.version = 1;
    int fd = security_open_file(ztpu::path::store_dir, SECURITY_DB_NAME,
                                SECURITY_OPEN_CREATE | SECURITY_OPEN_ENCNAME, nullptr);
    if (fd < 0 || security_dbflush(fd, &written) != 0) ztpu_fuzz::fail("record write");
    close(fd);
    written.crc = 0;
  } else {
    place(SECURITY_DB_NAME, in, with_backup);
  }
  int fd = -1;
  security_db* db = security_dbattach(&fd);
  if (seal && (db == nullptr || std::memcmp(db, &written, sizeof written) != 0))
    ztpu_fuzz::fail("sealed record reads back changed");
  security_dbdetach(db);
  if (fd >= 0) close(fd);
}

void cryptfile(ztpu_fuzz::Cursor& in, bool seal, bool with_backup) {
  size_t n = 0;
  u8* content = nullptr;
  if (seal) {
    content = const_cast<u8*>(in.take(in.left(), &n));
    if (security_save_cryptfile(&unit, item_name, 1, content, static_cast<u32>(n)) != 0)
      ztpu_fuzz::fail("cryptfile write");
  } else {
    place(item_name, in, with_backup);
  }
  u8* out = nullptr;
  u32 len = 0;
  const int rc = security_get_cryptfile(&unit, item_name, &out, &len);
  // An empty payload is stored but reads as damaged.
  if (seal && n > 0 && (rc != 0 || len != n || std::memcmp(out, content, n) != 0))
    ztpu_fuzz::fail("sealed cryptfile reads back changed");
  if (rc == 0 && (out == nullptr || len == 0)) ztpu_fuzz::fail("empty cryptfile taken");
  free(out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ztpu_fuzz::quiet_log();
  ztpu_fuzz::enter_scratch_board();
  ztpu_fuzz::make_store_unit(&unit);
  std::memcpy(item_name, ztpu_fuzz::kStoreItem, sizeof item_name);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  ztpu_fuzz::Cursor in(data, size);
  const uint8_t flags = in.u8();
  ((flags & 1) != 0 ? cryptfile : record)(in, (flags & 2) != 0, (flags & 4) != 0);
  ztpu_fuzz::remove_dir_files(ztpu::path::store_dir);
  return 0;
}
