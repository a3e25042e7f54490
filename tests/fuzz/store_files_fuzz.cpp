// The store's device record or a cryptfile as found on the board, maybe
// with a backup; what its own writer sealed reads back unchanged. Input:
// flags (bit 0: cryptfile, else the record; bit 1: seal the rest; bit 2: the
// rest is a 16-bit length, the file, then its backup), the bytes.

#include "fuzz_support.h"
#include "security_store.h"
#include "ztpu/keyfilehandle.h"

static char item[] = "pcode_0001";
static security_db unit{};  // the held record the cryptfiles (the seeds' too) belong to

static void place(const char* name, ztpu_fuzz::Cursor& in, bool with_backup) {
  char enc[33] = {};
  if (security_get_encfilename(name, enc) != 0) ztpu_fuzz::fail("encrypted name");
  const std::string path = std::string(ztpu::path::store_dir) + "/" + enc;
  size_t n = 0;
  const uint8_t* p = in.take(with_backup ? in.u16() : in.n, &n);
  ztpu_fuzz::write_file(path, p, n);
  if (with_backup) ztpu_fuzz::write_file(path + ".b", in.p, in.n);
}

static void record(ztpu_fuzz::Cursor& in, bool seal, bool with_backup) {
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

static void cryptfile(ztpu_fuzz::Cursor& in, bool seal, bool with_backup) {
  size_t n = 0;
  u8* content = nullptr;
  if (seal) {
    content = const_cast<u8*>(in.take(in.n, &n));
    if (security_save_cryptfile(&unit, item, 1, content, static_cast<u32>(n)) != 0)
      ztpu_fuzz::fail("cryptfile write");
  } else {
    place(item, in, with_backup);
  }
  u8* out = nullptr;
  u32 len = 0;
  const int rc = security_get_cryptfile(&unit, item, &out, &len);
  // An empty payload is stored but reads as damaged.
  if (seal && n > 0 && (rc != 0 || len != n || std::memcmp(out, content, n) != 0))
    ztpu_fuzz::fail("sealed cryptfile reads back changed");
  if (rc == 0 && (out == nullptr || len == 0)) ztpu_fuzz::fail("empty cryptfile taken");
  free(out);
}

// The store unit the seeds were made with.
static void make_unit() {
  static constexpr char fuse[] = "0x0123456789ABCDEF\n";
  ztpu_fuzz::write_file(ztpu::path::fuse, fuse, sizeof fuse - 1);
  unit.version = 1;
  unit.state = 2;
  u8 secret[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  security_flag_encode(secret, unit.flag);
  for (size_t i = 0; i < sizeof unit.tpuSSN; ++i) unit.tpuSSN[i] = static_cast<u8>(0xA0 + i);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  [[maybe_unused]] static const bool ready = ztpu_fuzz::init(true, make_unit);
  if (size > 8192) return 0;
  ztpu_fuzz::Cursor in{data, size};
  const uint8_t flags = in.u8();
  ((flags & 1) != 0 ? cryptfile : record)(in, (flags & 2) != 0, (flags & 4) != 0);
  ztpu_fuzz::empty_dir(ztpu::path::store_dir);
  return 0;
}
