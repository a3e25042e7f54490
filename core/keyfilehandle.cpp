#include "ztpu/keyfilehandle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <new>
#include <span>

#include "security_store.h"
#include "ztpu/crypto.h"
#include "ztpu/fileio.h"
#include "ztpu/log.h"
#include "ztpu/paths.h"
#include "ztpu/secret.h"

namespace {

constexpr u32 kDevType = 110000;
constexpr int kClearHead = 12;        // record bytes kept in clear
constexpr int kSealedLen = 52;        // record bytes enciphered
constexpr u32 kMaxRecordFile = 1024;  // far above the 76 bytes of any valid record file

using ztpu::Secret;
using ztpu::SecretBuf;
using ztpu::fileio::Fd;
using ztpu::fileio::write_all;
using MallocBuf = ztpu_store::WipedBuf;

// What a check of stored bytes found: usable, damaged (empty, short, wrong
// version, check or clear form: a backup may stand in for them), or not to
// be judged at all (fuse, cipher provider or memory failed: nothing is
// touched).
enum class Verdict { ok, damaged, failed };

using Secret8 = Secret<8>;
using Secret16 = Secret<16>;

int popcount_upper(u8 x) { return __builtin_popcount(static_cast<unsigned>(x & 0xFE)); }

// Running value s_i of the scramble, from the secret bytes k[0..i-1].
u8 running(const u8* k, int i) {
  const u8 s2 = k[1] ^ k[0];
  switch (i) {
    case 1:
      return k[0];
    case 2:
      return s2;
    case 3:
      return k[2] | s2;
    case 4:
      return k[3] ^ k[2] ^ (k[1] | k[0]);
    case 5:
      return k[4] ^ k[3] ^ k[0] ^ (k[2] | k[1]);
    case 6:
      return k[2] ^ s2 ^ (k[4] | k[3]) ^ k[5];
    default:
      return k[4] ^ s2 ^ (k[3] | k[2]) ^ (k[6] | k[5]);
  }
}

// The store's two secrets: the record's skey (from its flag) and the board's
// fuse serial number; `ssn_error` is logged when the fuses cannot be read.
bool store_secrets(const security_db* db, Secret8& skey, Secret8& ssn, const char* ssn_error) {
  u8 flag[8];
  std::memcpy(flag, db->flag, 8);
  security_flag_decode(flag, skey.b.data());
  if (security_get_cpussn(ssn.b.data()) != 0) {
    ztpu_log(LOG_ERR, "%s", ssn_error);
    return false;
  }
  return true;
}

// MD5 of the parts laid end to end; the joined input is wiped.
bool md5_of(std::initializer_list<std::span<const u8>> parts, Secret16& digest) {
  std::array<u8, 32> in{};
  size_t at = 0;
  for (std::span<const u8> part : parts) {
    if (part.size() > in.size() - at) return false;
    std::memcpy(in.data() + at, part.data(), part.size());
    at += part.size();
  }
  int rc = crypto_md5(in.data(), static_cast<int>(at), digest.b.data());
  ztpu_wipe(in.data(), in.size());
  return rc == 0;
}

// Record key (MD5 of skey and ssn) and the cipher mode it selects.
int record_key(const security_db* db, Secret16& key, int& mode) {
  Secret8 skey, ssn;
  if (!store_secrets(db, skey, ssn, "get cpu-ssn error") || !md5_of({skey.b, ssn.b}, key))
    return -1;
  mode = key.b[4] % 24 + 1;
  return 0;
}

// File key (MD5 of tpuSSN, skey and ssn) and the cipher mode it selects.
int file_key(const security_db* db, Secret16& key, int& mode) {
  Secret8 skey, ssn;
  if (!store_secrets(db, skey, ssn, "get cpu ssn fail.")) return -1;
  if (!md5_of({std::span<const u8>(db->tpuSSN, 12), skey.b, ssn.b}, key)) {
    ztpu_log(LOG_ERR, "md5 fail.");
    return -1;
  }
  mode = key.b[6] % 24 + 1;
  return 0;
}

int run_cipher(int mode, const u8* in, int inl, u8* key, int keyl, bool enc, u8* out, int* outl) {
  crypto_param p{mode, const_cast<u8*>(in), inl, key, keyl, key, keyl, enc ? 1 : 0};
  return crypto_crypt(&p, out, outl);
}

// A decipher failure means damaged bytes only when the cipher itself works;
// without its provider nothing can be judged.
Verdict decipher_failure(int mode, Secret16& key) {
  std::array<u8, 16> probe{};
  std::array<u8, 48> out{};
  int outl = 0;
  return run_cipher(mode, probe.data(), 16, key.b.data(), 16, true, out.data(), &outl) == 0
             ? Verdict::damaged
             : Verdict::failed;
}

// Deciphers a record file image into a verified copy, kept at `out` when
// `keep` is set.
Verdict open_record(const u8* p, u32 n, bool keep, security_db*& out) {
  if (n < 64 || n > kMaxRecordFile) {
    ztpu_log(LOG_ERR, "security_dbattach invalid data read");
    return Verdict::damaged;
  }
  if (p[0] != 1) {
    ztpu_log(LOG_ERR, "security_dbattach invalid db ver");
    return Verdict::damaged;
  }
  security_db head{};
  std::memcpy(&head, p, kClearHead);
  Secret16 key;
  int mode = 0;
  if (record_key(&head, key, mode) != 0) return Verdict::failed;

  SecretBuf plain(n + 48);
  if (!plain.ok()) {
    ztpu_log(LOG_ERR, "alloc mem failed");
    return Verdict::failed;
  }
  int outl = 0;
  if (run_cipher(mode, p + kClearHead, static_cast<int>(n) - kClearHead, key.b.data(), 16, false,
                 plain.data(), &outl) != 0) {
    ztpu_log(LOG_ERR, "%s crypto_crypt err", "security_dbattach");
    return decipher_failure(mode, key);
  }
  if (outl < kSealedLen) {
    ztpu_log(LOG_ERR, "security_dbattach invalid data...");
    return Verdict::damaged;
  }
  auto* db = static_cast<security_db*>(calloc(1, sizeof(security_db)));
  if (db == nullptr) {
    ztpu_log(LOG_ERR, "alloc mem failed");
    return Verdict::failed;
  }
  auto* raw = reinterpret_cast<u8*>(db);
  std::memcpy(raw, p, kClearHead);
  std::memcpy(raw + kClearHead, plain.data(), kSealedLen);
  const u16 stored = db->crc;
  db->crc = 0;
  if (crypto_crc16(raw, 64) != stored) {
    ztpu_log(LOG_ERR, "security_dbattach crc err...");
    security_dbdetach(db);
    return Verdict::damaged;
  }
  if (keep) {
    out = db;
  } else {
    security_dbdetach(db);
  }
  return Verdict::ok;
}

// Deciphers a cryptfile image; with `keep` the payload goes to a new buffer
// at *pData.
Verdict open_cryptfile(const u8* p, u32 n, bool keep, int mode, Secret16& key, u8** pData,
                       u32* len) {
  // The bound comes before the buffer: with a 32-bit size_t, n + 32 could wrap.
  if (n > 0x7FFFFF00u) {
    ztpu_log(LOG_ERR, "security_get_cryptfile decrypt err");
    return Verdict::damaged;
  }
  SecretBuf plain(static_cast<size_t>(n) + 32);
  if (!plain.ok()) {
    ztpu_log(LOG_ERR, "alloc %d bytes error", static_cast<int>(n));
    return Verdict::failed;
  }
  int outl = 0;
  if (run_cipher(mode, p, static_cast<int>(n), key.b.data(), 16, false, plain.data(), &outl) != 0) {
    ztpu_log(LOG_ERR, "security_get_cryptfile decrypt err");
    return decipher_failure(mode, key);
  }
  u32 clear_len = 0;
  if (outl >= 4) std::memcpy(&clear_len, plain.data(), 4);
  if (outl < 4 || clear_len < 1 || clear_len > static_cast<u32>(outl) - 4) {
    ztpu_log(LOG_ERR, "security_get_cryptfile invalid data,len0:%d,authDataLen:%d",
             static_cast<int>(clear_len), outl);
    return Verdict::damaged;
  }
  if (!keep) return Verdict::ok;
  auto* out = static_cast<u8*>(malloc(clear_len));
  if (out == nullptr) {
    ztpu_log(LOG_ERR, "alloc %d bytes error", static_cast<int>(clear_len));
    return Verdict::failed;
  }
  std::memcpy(out, plain.data() + 4, clear_len);
  *pData = out;
  *len = clear_len;
  return Verdict::ok;
}

// ---- Backup and digest of a store file ----------------------------------------
//
// Beside a store file F live "F.b", the old content while F is rewritten,
// and "F.d", the MD5 of F's committed content (32 hex digits and a line
// feed, as md5sum prints it), which no format of the store carries itself.
// A rewrite runs: F.b = old content (replaced whole, synced), F cut and
// rewritten in place (its descriptor stays open), synced, F.d = digest of
// the new content (replaced whole, synced), F.b removed. At every crash
// point a read finds one of:
//   F old, F.d old (F.b absent, or whole and equal to F): F is used.
//   F empty or torn, F.d old, F.b old: F.b matches F.d and is restored.
//   F new and sound, F.d still old, F.b old: the rewrite had not committed;
//     its caller was never told it succeeded. F.d names the committed
//     content, F.b holds it, so F.b is restored: the store returns to the
//     state before the rewrite instead of trusting bytes no digest vouches for.
//   F new, F.d new, F.b old: F matches F.d; the stale F.b is left alone.
// A backup is restored only when it passes the checks of the file itself and,
// when a digest exists, matches it; otherwise both are left for recovery by
// hand and the read fails. A store written before digests existed has no F.d:
// its files are judged by their own checks and gain F.d at their next rewrite.

struct StorePaths {
  std::array<char, 512> file{};
  std::array<char, 516> bak{};
  std::array<char, 516> dig{};
};

bool paths_of(int fd, StorePaths& sp) {
  u32 plen = static_cast<u32>(sp.file.size());
  if (security_filenameofod(fd, sp.file.data(), &plen) != 0) return false;
  const int b = snprintf(sp.bak.data(), sp.bak.size(), "%s.b", sp.file.data());
  const int d = snprintf(sp.dig.data(), sp.dig.size(), "%s.d", sp.file.data());
  return b > 0 && static_cast<size_t>(b) < sp.bak.size() && d > 0 &&
         static_cast<size_t>(d) < sp.dig.size();
}

constexpr size_t kDigestText = 33;  // 32 hex digits and a line feed
using DigestText = std::array<char, kDigestText>;

bool digest_of(const u8* p, u32 n, DigestText& out) {
  std::array<u8, 16> md{};
  u8 none = 0;  // an empty file has a digest too
  if (n > 0x7FFFFFFFu ||
      crypto_md5(n > 0 ? const_cast<u8*>(p) : &none, static_cast<int>(n), md.data()) != 0) {
    ztpu_log(LOG_ERR, "md5 fail.");
    return false;
  }
  static constexpr char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < md.size(); ++i) {
    out[2 * i] = digits[md[i] >> 4];
    out[2 * i + 1] = digits[md[i] & 15];
  }
  out[kDigestText - 1] = '\n';
  return true;
}

enum class Stored { absent, present, failed };

// A file beside the store file: absent, read (`want` bytes at most; the count
// at *got), or unreadable (logged).
Stored read_beside(const char* path, u8* buf, size_t want, size_t* got) {
  Fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.ok()) {
    if (errno == ENOENT) return Stored::absent;
    ztpu_log(LOG_ERR, "read file %s error %d", path, errno);
    return Stored::failed;
  }
  size_t at = 0;
  while (at < want) {
    const ssize_t r = read(fd.get(), buf + at, want - at);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      ztpu_log(LOG_ERR, "read file %s error %d", path, errno);
      return Stored::failed;
    }
    if (r == 0) break;
    at += static_cast<size_t>(r);
  }
  *got = at;
  return Stored::present;
}

// Whether `p` is the content F.d names. A digest file of any other form
// matches nothing.
bool matches(const u8* p, u32 n, const DigestText& stored, size_t stored_len) {
  DigestText mine{};
  return stored_len == kDigestText && digest_of(p, n, mine) && mine == stored;
}

// Puts the backup's bytes back into the store file in place, gives it its
// digest when it had none, and removes the backup. The caller already holds
// what the backup contains, so a failure here is logged and the next read
// tries again (F.b and F.d still agree).
void restore(int fd, const StorePaths& sp, const u8* p, u32 n, bool had_digest) {
  DigestText d{};
  if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0 || !write_all(fd, p, n) ||
      fsync(fd) != 0 ||
      (!had_digest && (!digest_of(p, n, d) ||
                       ztpu::fileio::replace_file(sp.dig.data(), d.data(), d.size(), 0600) != 0))) {
    ztpu_log(LOG_ERR, "restore from backup failed %d", errno);
    return;
  }
  unlink(sp.bak.data());
  ztpu::fileio::sync_dir_of(sp.bak.data());
  ztpu_log(LOG_WARNING, "store file restored from its backup %s\n", sp.bak.data());
}

// Reads a store file and has `check` judge it (the check keeps what it
// produced when it accepts and is told to keep it). A damaged file is
// replaced by its backup when the backup passes the same check and the
// digest. 0: accepted; -1: the store file could not be read; -2: anything
// else, logged.
template <class Check>
int read_verified(int fd, Check check) {
  StorePaths sp;
  if (!paths_of(fd, sp)) {
    ztpu_log(LOG_ERR, "get name from fd error");
    return -2;
  }
  MallocBuf file;
  if (security_read_file(fd, &file.p, &file.n) != 0) return -1;
  DigestText digest{};
  size_t dlen = 0;
  const Stored ds =
      read_beside(sp.dig.data(), reinterpret_cast<u8*>(digest.data()), digest.size(), &dlen);
  if (ds == Stored::failed) return -2;
  // The file's own checks run in any case: their messages say what is wrong.
  const bool disagrees = ds == Stored::present && !matches(file.p, file.n, digest, dlen);
  const Verdict own = check(file.p, file.n, !disagrees);
  if (own == Verdict::failed) return -2;
  if (!disagrees && own == Verdict::ok) return 0;
  if (disagrees) ztpu_log(LOG_ERR, "store file %s does not match its digest\n", sp.file.data());

  // Damaged: only a sound backup of the committed content may stand in.
  MallocBuf saved;
  {
    Fd b(open(sp.bak.data(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!b.ok()) {
      if (errno != ENOENT) {
        ztpu_log(LOG_ERR, "read file %s error %d", sp.bak.data(), errno);
      } else if (file.n > 0 || ds != Stored::absent) {  // not a file never written
        ztpu_log(LOG_ERR, "store file %s is damaged and has no backup\n", sp.file.data());
      }
      return -2;
    }
    if (security_read_file(b.get(), &saved.p, &saved.n) != 0) return -2;
  }
  if (ds == Stored::present && !matches(saved.p, saved.n, digest, dlen)) {
    ztpu_log(LOG_ERR, "backup %s does not match the digest; both left for recovery by hand\n",
             sp.bak.data());
    return -2;
  }
  const Verdict v = check(saved.p, saved.n, true);
  if (v == Verdict::failed) return -2;
  if (v == Verdict::damaged) {
    ztpu_log(LOG_ERR, "backup %s is damaged too; both left for recovery by hand\n", sp.bak.data());
    return -2;
  }
  restore(fd, sp, saved.p, saved.n, ds == Stored::present);
  return 0;
}

// True when the store file has a backup or a digest beside it: it held
// committed content once, so finding it empty is damage, not a new store.
bool has_history(int fd) {
  StorePaths sp;
  if (!paths_of(fd, sp)) return true;
  struct stat st {};
  return lstat(sp.bak.data(), &st) == 0 || lstat(sp.dig.data(), &st) == 0;
}

}  // namespace

// ---- Store file helpers -----------------------------------------------------

int security_get_cpussn(u8* ssn) {
  if (ssn == nullptr) return -1;
  std::memset(ssn, 0, 8);
  Fd fd(open(ztpu::path::fuse, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    ztpu_log(LOG_ERR, "open /sys/fsl_otp/HW_OCOTP_CUST0 failed");
    return -1;
  }
  std::array<char, 129> text{};
  ssize_t n = read(fd.get(), text.data(), 128);
  if (n <= 0) return -1;
  const char* p = text.data();
  size_t len = static_cast<size_t>(n);
  if (len >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    p += 2;
    len -= 2;
  }
  if (len > 0 && p[len - 1] == '\n') --len;
  std::array<char, 32> bytes{};
  int room = static_cast<int>(bytes.size());
  int rc = security_hexstr2hex(bytes.data(), &room, p, static_cast<int>(len));
  if (rc != 0) return rc;
  std::memcpy(ssn, bytes.data(), static_cast<size_t>(room < 8 ? room : 8));
  return 0;
}

int security_get_devtype(u8* devtype) {
  if (devtype == nullptr) return -1;
  for (int i = 0; i < 4; ++i) devtype[i] = static_cast<u8>(kDevType >> (8 * i));
  return 0;
}

int security_hexstr2hex(char* dst, int* dlen, const char* src, int slen) {
  if (dst == nullptr || src == nullptr || dlen == nullptr || *dlen == 0 || slen <= 0 || slen > 255)
    return -1;
  std::array<char, 258> work{};
  size_t at = 0;
  if (slen % 2 != 0) work[at++] = '0';
  std::memcpy(work.data() + at, src, static_cast<size_t>(slen));
  const size_t total = at + static_cast<size_t>(slen);

  auto nibble = [](char c, const char* tag) -> int {
    const int u = (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'A' && u <= 'F') return u - 55;
    // Only true hex digits count: the characters between '9' and 'A' are junk.
    ztpu_log(LOG_ERR, "%s:%c,s1:%02x\n", tag, c, static_cast<unsigned>(u - '0') & 0xFF);
    return -1;
  };

  int written = 0;
  const int room = *dlen;
  for (size_t i = 0; i < total && written < room; i += 2) {
    int hi = nibble(work[i], "h1");
    if (hi < 0) return -1;
    int lo = nibble(work[i + 1], "h2");
    if (lo < 0) return -1;
    dst[written++] = static_cast<char>((hi << 4) | lo);
  }
  *dlen = written;
  return 0;
}

void security_hex2str(u8* hex, int len, char* str) {
  static constexpr char digits[] = "0123456789ABCDEF";
  if (str == nullptr) return;
  int i = 0;
  for (; hex != nullptr && i < len; ++i) {
    str[2 * i] = digits[hex[i] >> 4];
    str[2 * i + 1] = digits[hex[i] & 15];
  }
  str[2 * i] = '\0';
}

int security_get_encfilename(const char* name, char* outName) {
  if (name == nullptr || outName == nullptr) return -1;
  Secret8 ssn;
  if (security_get_cpussn(ssn.b.data()) != 0) {
    ztpu_log(LOG_ERR, "get cpu ssn failed");
    return -1;
  }
  const size_t nlen = strnlen(name, 256);
  std::array<u8, 8 + 256> in{};
  std::memcpy(in.data(), ssn.b.data(), 8);
  std::memcpy(in.data() + 8, name, nlen);
  std::array<u8, 16> md{};
  const int rc = crypto_md5(in.data(), static_cast<int>(8 + nlen), md.data());
  ztpu_wipe(in.data(), in.size());
  if (rc != 0) return -1;
  security_hex2str(md.data(), 16, outName);
  return 0;
}

int security_open_file(const char* basePath, const char* name, u32 opFlag, u32* outFileLen) {
  if (basePath == nullptr || name == nullptr) return -1;
  std::array<char, 33> enc{};
  const char* leaf = name;
  if (opFlag & SECURITY_OPEN_ENCNAME) {
    if (security_get_encfilename(name, enc.data()) != 0) {
      ztpu_log(LOG_ERR, "get encfilename failed");
      return -1;
    }
    leaf = enc.data();
  }
  std::array<char, 512> path{};
  int n = snprintf(path.data(), path.size(), "%s/%s", basePath, leaf);
  if (n < 0 || static_cast<size_t>(n) >= path.size()) {
    ztpu_log(LOG_ERR, "open file[%s] failed..", leaf);
    return -1;
  }
  struct stat st {};
  if (stat(path.data(), &st) == 0) {
    int fd = open(path.data(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      ztpu_log(LOG_ERR, "open file[%s] failed..", path.data());
      return fd;
    }
    if (outFileLen != nullptr) *outFileLen = static_cast<u32>(st.st_size);
    return fd;
  }
  if (!(opFlag & SECURITY_OPEN_CREATE)) {
    ztpu_log(LOG_ERR, "stat file[%s] error", path.data());
    return -1;
  }
  // Store files are the owner's alone.
  int fd = open(path.data(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    ztpu_log(LOG_ERR, "open file[%s] failed..", path.data());
    return fd;
  }
  if (outFileLen != nullptr) *outFileLen = 0;
  return fd;
}

int security_read_file(int fd, u8** pOutData, u32* outDataLen) {
  if (pOutData == nullptr || outDataLen == nullptr) return -1;
  struct stat st {};
  if (lseek(fd, 0, SEEK_SET) < 0 || fstat(fd, &st) != 0) {
    ztpu_log(LOG_ERR, "fstat error %d", errno);
    return -1;
  }
  if (st.st_size == 0) {
    *outDataLen = 0;
    return 0;
  }
  if (st.st_size < 0 || st.st_size > 0x7FFFFFFF) {
    ztpu_log(LOG_ERR, "alloc data buffer failed...");
    return -1;
  }
  const auto size = static_cast<size_t>(st.st_size);
  auto* buf = static_cast<u8*>(malloc(size));
  if (buf == nullptr) {
    ztpu_log(LOG_ERR, "alloc data buffer failed...");
    return -1;
  }
  size_t got = 0;
  while (got < size) {
    ssize_t r = read(fd, buf + got, size - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      ztpu_log(LOG_ERR, "read data failed... %d", errno);
      ztpu_wipe(buf, size);
      free(buf);
      return -1;
    }
    got += static_cast<size_t>(r);
  }
  *pOutData = buf;
  *outDataLen = static_cast<u32>(size);
  return 0;
}

int security_filenameofod(int fd, char* name, u32* len) {
  if (name == nullptr || len == nullptr || *len < 2) return -1;
  std::array<char, 64> link{};
  snprintf(link.data(), link.size(), "/proc/%ld/fd/%d", static_cast<long>(getpid()), fd);
  ssize_t n = readlink(link.data(), name, *len - 1);
  if (n < 0 || static_cast<u32>(n) >= *len - 1) {
    ztpu_log(LOG_ERR, "readlink fail %d", errno);
    return -1;
  }
  name[n] = '\0';
  *len = static_cast<u32>(n);
  return 0;
}

int security_write_file(int fd, u8* pData, u32 len) {
  if (pData == nullptr && len > 0) return -1;
  StorePaths sp;
  if (!paths_of(fd, sp)) {
    ztpu_log(LOG_ERR, "get name from fd error");
    return -1;
  }
  MallocBuf old;
  if (security_read_file(fd, &old.p, &old.n) != 0) {
    ztpu_log(LOG_ERR, "read from file error...");
    return -1;
  }
  DigestText digest{};
  if (!digest_of(pData, len, digest)) return -1;
  // The backup is whole and on disk before the file is cut (a failed write
  // of it leaves no partial backup behind); see the crash points above.
  if (old.n > 0 && ztpu::fileio::replace_file(sp.bak.data(), old.p, old.n, 0600) != 0) {
    ztpu_log(LOG_ERR, "write back file error");
    return -1;
  }
  if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
    ztpu_log(LOG_ERR, "ftruncate failed %d", errno);
    return -1;
  }
  // Files created before store files were the owner's alone become so now.
  (void)fchmod(fd, 0600);
  if (!write_all(fd, pData, len) || fsync(fd) != 0) {
    ztpu_log(LOG_ERR, "write failed %d", errno);
    return -1;
  }
  if (ztpu::fileio::replace_file(sp.dig.data(), digest.data(), digest.size(), 0600) != 0) {
    ztpu_log(LOG_ERR, "write digest file error %d", errno);
    return -1;
  }
  unlink(sp.bak.data());
  return 0;
}

// ---- Store secret -------------------------------------------------------------

void security_Key_base(u8* base) {
  static constexpr u8 table[8] = {0x5A, 0xC3, 0x1F, 0x96, 0x3C, 0xE1, 0x78, 0x2D};
  std::memcpy(base, table, 8);
}

void security_Key_gen_seeded(u8* key, unsigned int seed) {
  // A generator of our own: no shared state with other users of random().
  std::array<char, 64> state{};
  struct random_data rd {};
  initstate_r(seed, state.data(), state.size(), &rd);
  unsigned sum = 0;
  for (int i = 0; i < 8; ++i) {
    int32_t r = 0;
    random_r(&rd, &r);
    unsigned bound = i == 0 ? SECURITY_KEYGEN_BOUNDS[0] : (sum + SECURITY_KEYGEN_BOUNDS[i]) & 0xFF;
    // A bound of 0 cannot divide; such a position draws from the whole byte.
    if (bound == 0) bound = 256;
    key[i] = static_cast<u8>(static_cast<unsigned>(r) % bound);
    sum += key[i];
  }
}

void security_Key_gen(u8* key) {
  int local = 0;
  const auto seed = static_cast<unsigned int>(static_cast<unsigned long>(time(nullptr)) *
                                              reinterpret_cast<uintptr_t>(&local));
  security_Key_gen_seeded(key, seed);
}

void security_flag_encode(u8* skey, u8* flag) {
  u8 t[8];
  security_Key_base(t);
  flag[0] = skey[0] ^ t[0];
  for (int i = 1; i < 8; ++i) flag[i] = skey[i] ^ t[popcount_upper(running(skey, i))];
}

void security_flag_decode(u8* flag, u8* skey) {
  u8 t[8];
  security_Key_base(t);
  u8 k[8] = {};
  k[0] = flag[0] ^ t[0];
  for (int i = 1; i < 8; ++i) k[i] = flag[i] ^ t[popcount_upper(running(k, i))];
  std::memcpy(skey, k, 8);
  ztpu_wipe(k, sizeof k);
}

// ---- Device record --------------------------------------------------------------

int security_dbflush(int fd, struct security_db* db) {
  if (db == nullptr) return -1;
  // Sealed from a copy: the caller's record is left as it was.
  Secret<sizeof(security_db)> rec;
  std::memcpy(rec.b.data(), db, sizeof *db);
  auto* raw = rec.b.data();
  std::memset(raw + offsetof(security_db, crc), 0, sizeof(u16));
  const u16 crc = crypto_crc16(raw, 64);
  std::memcpy(raw + offsetof(security_db, crc), &crc, sizeof crc);
  Secret16 key;
  int mode = 0;
  if (record_key(reinterpret_cast<const security_db*>(raw), key, mode) != 0) return -1;
  SecretBuf out(160);
  if (!out.ok()) {
    ztpu_log(LOG_ERR, "alloc crypt buffer failed...");
    return -1;
  }
  int outl = 0;
  if (run_cipher(mode, raw + kClearHead, kSealedLen, key.b.data(), 16, true,
                 out.data() + kClearHead, &outl) != 0) {
    ztpu_log(LOG_ERR, "security_dbflush crypto_crypt err");
    return -1;
  }
  std::memcpy(out.data(), raw, kClearHead);
  if (security_write_file(fd, out.data(), static_cast<u32>(kClearHead + outl)) != 0) {
    ztpu_log(LOG_ERR, "write data failed...");
    return -1;
  }
  return 0;
}

int security_init_dbfile(int fd) {
  security_db db{};
  db.version = 1;
  db.state = 1;
  Secret8 skey;
  security_Key_gen(skey.b.data());
  security_flag_encode(skey.b.data(), db.flag);
  int rc = security_dbflush(fd, &db);
  ztpu_wipe(&db, sizeof db);
  return rc;
}

struct security_db* security_dbattach(int* pfd) {
  if (pfd == nullptr) return nullptr;
  if (*pfd < 0) {
    u32 flen = 0;
    int fd = security_open_file(ztpu::path::store_dir, SECURITY_DB_NAME,
                                SECURITY_OPEN_CREATE | SECURITY_OPEN_ENCNAME, &flen);
    if (fd < 0) {
      ztpu_log(LOG_ERR, "open db file error");
      return nullptr;
    }
    // An empty record file that once held a record (a backup or a digest
    // beside it) is damage, read below, not a new store: a fresh record
    // would lose the unit's identity and every cryptfile.
    if (flen == 0 && !has_history(fd) && security_init_dbfile(fd) != 0) {
      ztpu_log(LOG_ERR, "security_dbflush error");
      close(fd);
      return nullptr;
    }
    *pfd = fd;
  }
  security_db* db = nullptr;
  const auto check = [&db](const u8* p, u32 n, bool keep) { return open_record(p, n, keep, db); };
  if (read_verified(*pfd, check) == -1) ztpu_log(LOG_ERR, "security_read_file error");
  return db;
}

void security_dbdetach(struct security_db* db) {
  if (db == nullptr) return;
  ztpu_wipe(db, sizeof *db);
  free(db);
}

// ---- Cryptfiles ----------------------------------------------------------------

int security_get_cryptfile(struct security_db* pdb, char* fileName, u8** pData, u32* len) {
  if (pdb == nullptr || fileName == nullptr || pData == nullptr || len == nullptr) return -1;
  Secret16 key;
  int mode = 0;
  if (file_key(pdb, key, mode) != 0) return -1;
  Fd fd(security_open_file(ztpu::path::store_dir, fileName,
                           SECURITY_OPEN_CREATE | SECURITY_OPEN_ENCNAME, nullptr));
  if (fd.get() < 0) {
    ztpu_log(LOG_ERR, "open file %s error", fileName);
    return -1;
  }
  const int rc = read_verified(fd.get(), [&](const u8* p, u32 n, bool keep) {
    return open_cryptfile(p, n, keep, mode, key, pData, len);
  });
  if (rc == -1) ztpu_log(LOG_ERR, "read file %s error", fileName);
  return rc == 0 ? 0 : -1;
}

int security_save_cryptfile(struct security_db* pDb, char* fileName, int nCreateFlag, u8* pData,
                            u32 len) {
  if (pDb == nullptr || fileName == nullptr || (pData == nullptr && len > 0)) return -1;
  if (len > 0x7FFFFF00u) {  // no cipher length could hold it
    ztpu_log(LOG_ERR, "alloc %u byte mem fail.", len);
    return -1;
  }
  Secret16 key;
  int mode = 0;
  if (file_key(pDb, key, mode) != 0) return -1;
  SecretBuf clear(static_cast<size_t>(len) + 4);
  if (!clear.ok()) {
    ztpu_log(LOG_ERR, "alloc %d byte mem fail.", static_cast<int>(len + 4));
    return -1;
  }
  std::memcpy(clear.data(), &len, 4);
  if (len > 0) std::memcpy(clear.data() + 4, pData, len);
  SecretBuf sealed(static_cast<size_t>(len) + 100);
  if (!sealed.ok()) {
    ztpu_log(LOG_ERR, "alloc %d byte mem fail.", static_cast<int>(len + 100));
    return -1;
  }
  int outl = 0;
  if (run_cipher(mode, clear.data(), static_cast<int>(len) + 4, key.b.data(), 16, true,
                 sealed.data(), &outl) != 0) {
    ztpu_log(LOG_ERR, "crypto_crypt err...");
    return -1;
  }
  const u32 flags =
      nCreateFlag == 1 ? SECURITY_OPEN_CREATE | SECURITY_OPEN_ENCNAME : SECURITY_OPEN_ENCNAME;
  Fd fd(security_open_file(ztpu::path::store_dir, fileName, flags, nullptr));
  if (fd.get() < 0) {
    ztpu_log(LOG_ERR, "open file fail");
    return -1;
  }
  if (security_write_file(fd.get(), sealed.data(), static_cast<u32>(outl)) != 0) {
    ztpu_log(LOG_ERR, "write file fail");
    return -1;
  }
  return 0;
}

int security_get_3deskey(struct security_db* pdb, u8* key, int keylen) {
  if (pdb == nullptr || key == nullptr || keylen < 24) return -1;
  std::array<u8, 16> md{};
  if (crypto_md5(pdb->tpuSSN, 12, md.data()) != 0) {
    ztpu_log(LOG_ERR, "get md5 fail");
    return -1;
  }
  std::memcpy(key, md.data(), 16);
  for (int i = 0; i < 8; ++i) key[16 + i] = md[2 * i];
  ztpu_wipe(md.data(), md.size());
  return 0;
}

int security_decrypt_srvdata(struct security_db* pdb, u8* pdata, int len, u8** poutdata,
                             int* noutlen) {
  if (pdb == nullptr || (pdata == nullptr && len > 0) || len < 0 || len > 0x7FFFFF00 ||
      poutdata == nullptr || noutlen == nullptr)
    return -1;
  std::array<u8, 24> key{};
  if (security_get_3deskey(pdb, key.data(), 24) != 0) return -1;
  auto* out = static_cast<u8*>(malloc(static_cast<size_t>(len) + 48));
  if (out == nullptr) {
    ztpu_log(LOG_ERR, "alloc mem fail.");
    return -1;
  }
  int outl = 0;
  int rc = run_cipher(CRYPTO_DES_EDE3_OFB, pdata, len, key.data(), 24, false, out, &outl);
  ztpu_wipe(key.data(), key.size());
  if (rc != 0) {
    ztpu_log(LOG_ERR, "%s crypto_crypt err", "security_decrypt_srvdata");
    free(out);
    return -1;
  }
  *poutdata = out;
  *noutlen = outl;
  return 0;
}
