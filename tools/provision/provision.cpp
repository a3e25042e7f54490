// ztpu-provision: one provisioning command per call, run in the board's
// directory. Exit status 0 on success, otherwise 1 with a one-line reason on
// standard error. The library's own messages go to the board's log.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ztpu/keyfilehandle.h"
#include "ztpu/paths.h"
#include "ztpu/secret.h"
#include "ztpu/security.h"

namespace {

constexpr size_t kMaxInput = 64u << 20;  // far above any key payload

int fail(const std::string& why) {
  std::fprintf(stderr, "ztpu-provision: %s\n", why.c_str());
  return 1;
}

int usage() {
  return fail(
      "usage: identity DEVICE_ID_HEX TPU_SSN_HEX | config FILE | v0 FILE | keys FILE | "
      "state N | status");
}

bool read_file(const char* path, std::vector<u8>& out, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = std::string("cannot read ") + path;
    return false;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0 || static_cast<size_t>(size) > kMaxInput) {
    why = std::string("cannot read ") + path;
    return false;
  }
  in.seekg(0);
  out.resize(static_cast<size_t>(size));
  if (size > 0 && !in.read(reinterpret_cast<char*>(out.data()), size)) {
    why = std::string("cannot read ") + path;
    return false;
  }
  if (out.empty()) {
    why = std::string(path) + " is empty";
    return false;
  }
  return true;
}

bool parse_hex(const char* text, size_t digits, u8* out) {
  if (std::strlen(text) != digits) return false;
  int room = static_cast<int>(digits / 2);
  return security_hexstr2hex(reinterpret_cast<char*>(out), &room, text, static_cast<int>(digits)) ==
             0 &&
         room == static_cast<int>(digits / 2);
}

// The store directory is the tool's to create on a new board; the daemon
// expects it to exist.
bool ensure_store_dir() {
  std::string dir = ztpu::path::store_dir;
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), pos == dir.size() ? 0700 : 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool store_exists() {
  char enc[33] = {};
  if (security_get_encfilename(SECURITY_DB_NAME, enc) != 0) return false;
  std::string path = std::string(ztpu::path::store_dir) + "/" + enc;
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// The record as stored, wiped when it goes (its flag scrambles the store
// secret).
struct StoredRecord {
  security_db db{};
  bool ok = security_read_record(&db) == 0;
  StoredRecord() = default;
  ~StoredRecord() { ztpu_wipe(&db, sizeof db); }
  StoredRecord(const StoredRecord&) = delete;
  StoredRecord& operator=(const StoredRecord&) = delete;
};

std::string hex(const u8* p, int n) {
  std::vector<char> s(static_cast<size_t>(n) * 2 + 1);
  security_hex2str(const_cast<u8*>(p), n, s.data());
  return s.data();
}

int cmd_identity(const char* id_hex, const char* ssn_hex) {
  u8 id[16], ssn[12];
  if (!parse_hex(id_hex, 32, id)) return fail("DEVICE_ID_HEX must be 32 hex digits");
  if (!parse_hex(ssn_hex, 24, ssn)) return fail("TPU_SSN_HEX must be 24 hex digits");
  if (!ensure_store_dir()) return fail("cannot create the store directory");
  if (security_save_deviceid_and_ssn(id, ssn) != 0) return fail("storing the identity failed");
  return 0;
}

int cmd_file(const std::string& what, const char* path) {
  if (!store_exists()) return fail("no store on this unit: run identity first");
  std::vector<u8> data;
  std::string why;
  if (!read_file(path, data, why)) return fail(why);
  int rc = -1;
  if (what == "config") {
    rc = security_save_config(data.data(), static_cast<int>(data.size()));
  } else if (what == "v0") {
    if (data.size() > 0x7FFFFFFF) return fail("file too large");
    rc = security_save_v0(data.data(), static_cast<int>(data.size()));
  } else {
    rc = security_save_pf2file(data.data(), static_cast<u32>(data.size()));
    if (rc == 0) {
      // In state 1 the payload's version is switched to at once; its table
      // must have loaded for that.
      const StoredRecord rec;
      if (!rec.ok) return fail("cannot read the store back");
      const bool switched_if_needed =
          rec.db.state != 1 || std::memcmp(rec.db.runkeyver, rec.db.savekeyver, 2) == 0;
      if (!switched_if_needed) return fail("key payload stored but its key table did not load");
    }
  }
  if (rc != 0) return fail("storing " + what + " failed (see the log)");
  return 0;
}

int cmd_state(const char* text) {
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || n < 0 || n > 255)
    return fail("N must be a number from 0 to 255");
  if (!store_exists()) return fail("no store on this unit: run identity first");
  if (security_set_tpustate(static_cast<u8>(n)) != 0) return fail("setting the state failed");
  const StoredRecord rec;
  const bool ok = rec.ok && rec.db.state == n;
  return ok ? 0 : fail("the state was not stored");
}

int cmd_status() {
  if (!store_exists()) return fail("no store on this unit");
  const StoredRecord rec;
  if (!rec.ok) return fail("the store cannot be read on this unit");
  const security_db* db = &rec.db;
  u8 v0 = 0, conf = 0, pf = 0;
  int rc = security_get_cryptfile_stat(&v0, &conf, &pf);
  std::printf("state: %u\n", db->state);
  std::printf("runkeyver: %s\n", hex(db->runkeyver, 2).c_str());
  std::printf("savekeyver: %s\n", hex(db->savekeyver, 2).c_str());
  std::printf("v0: %u\n", v0);
  std::printf("conf: %u\n", conf);
  std::printf("pf: %u\n", pf);
  std::printf("identity: %u\n", db->deviceIDSetted);
  std::printf("deviceid: %s\n", hex(db->deviceID, 16).c_str());
  std::printf("tpussn: %s\n", hex(db->tpuSSN, 12).c_str());
  return rc == 0 ? 0 : fail("the provisioning report failed");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string cmd = argv[1];
  int rc;
  if (cmd == "identity" && argc == 4)
    rc = cmd_identity(argv[2], argv[3]);
  else if ((cmd == "config" || cmd == "v0" || cmd == "keys") && argc == 3)
    rc = cmd_file(cmd, argv[2]);
  else if (cmd == "state" && argc == 3)
    rc = cmd_state(argv[2]);
  else if (cmd == "status" && argc == 2)
    rc = cmd_status();
  else
    rc = usage();
  security_exit();
  return rc;
}
