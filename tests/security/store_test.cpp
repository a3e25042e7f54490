#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <set>

#include "failing_new.h"
#include "sec_fixture.h"
#include "ztpu/fileio.h"

using namespace sectest;
namespace fs = std::filesystem;

namespace {

constexpr const char* kFuse = "sys/fsl_otp/HW_OCOTP_CUST0";

std::string db_file() { return store_file("tpu.db"); }

// A record copy with the test's tpuSSN, released with the test.
struct Attached {
  Attached() : db(attach()) {
    if (db != nullptr) std::memcpy(db->tpuSSN, kTpuSsn.data(), 12);
  }
  ~Attached() { security_dbdetach(db); }
  int flush() { return security_dbflush(security_get_ctx()->dbFd, db); }
  security_db* db;
};

}  // namespace

TEST(StoreHelpers, CpuSerialNumberFromFuseText) {
  Board board;
  LogCapture cap;
  using Ssn = std::array<u8, 8>;
  const Ssn full = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  const struct {
    const char* text;
    int rc;
    Ssn want;
  } cases[] = {{"0x0123456789ABCDEF\n", 0, full},
               {"123456789abcdef0123", 0, full},
               {"0X1A2B3C4D\n", 0, {0x1A, 0x2B, 0x3C, 0x4D, 0, 0, 0, 0}},
               {"0x12G4\n", -1, {}},
               {"0x1:\n", -1, {}},  // the characters between '9' and 'A' are junk
               {"", -1, {}}};
  for (const auto& c : cases) {
    board.dir.write(kFuse, c.text);
    Ssn ssn{};
    ASSERT_EQ(security_get_cpussn(ssn.data()), c.rc) << c.text;
    EXPECT_EQ(c.rc == 0 ? ssn : c.want, c.want) << c.text;
  }
  EXPECT_TRUE(cap.contains("h1:G") || cap.contains("h2:G"));
  EXPECT_TRUE(cap.contains("h2::"));
  fs::remove(kFuse);
  Ssn ssn{};
  EXPECT_EQ(security_get_cpussn(ssn.data()), -1);
  EXPECT_TRUE(cap.contains("open /sys/fsl_otp/HW_OCOTP_CUST0 failed", LOG_ERR));
}

TEST(StoreHelpers, EncryptedNamesAreBoardBoundAndOpenFlags) {
  std::string other;
  {
    Board board("0x0123456789ABCDEE\n");
    other = enc_name("tpu.db");
  }
  Board board;
  const std::string a = enc_name("tpu.db");
  EXPECT_EQ(a, enc_name("tpu.db"));
  EXPECT_NE(a, enc_name("key_v0"));
  EXPECT_NE(a, other);
  for (const std::string& n : {a, other}) {
    ASSERT_EQ(n.size(), 32u);
    for (char c : n) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << n;
  }

  LogCapture cap;
  u32 len = 99;
  EXPECT_LT(security_open_file("etc/poskey", "plain", 0, &len), 0);
  EXPECT_TRUE(cap.contains("stat file[etc/poskey/plain] error"));
  int fd = security_open_file("etc/poskey", "plain", SECURITY_OPEN_CREATE, &len);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(len, 0u);
  u8 data[] = {9, 9};
  ASSERT_EQ(security_write_file(fd, data, 2), 0);
  close(fd);
  fd = security_open_file("etc/poskey", "plain", 0, &len);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(len, 2u);
  close(fd);
  EXPECT_FALSE(board.dir.exists("etc/poskey/plain.b"));
}

// Over this many seeds some draws meet a bound whose low 8 bits are 0, which
// would trap if it were used as a divisor.
TEST(StoreSecret, ScrambleIsExactInverseAndKeysSpread) {
  std::set<std::array<u8, 8>> seen;
  for (unsigned seed = 0; seed < 5000; ++seed) {
    std::array<u8, 8> k{}, flag{}, back{};
    security_Key_gen_seeded(k.data(), seed);
    security_flag_encode(k.data(), flag.data());
    security_flag_decode(flag.data(), back.data());
    ASSERT_EQ(back, k) << "seed " << seed;
    seen.insert(k);
  }
  EXPECT_GT(seen.size(), 4900u);
}

TEST(StoreRecord, NewRecordAndTampering) {
  Board board;
  security_db* db = attach();
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->version, 1);
  EXPECT_EQ(db->state, 1);
  EXPECT_EQ(db->crc, 0);
  const auto* raw = reinterpret_cast<const u8*>(db);
  EXPECT_NE(Bytes(raw + 4, raw + 12), Bytes(8, 0));  // the scrambled secret
  EXPECT_EQ(Bytes(raw + 12, raw + 64), Bytes(52, 0));
  security_dbdetach(db);
  const std::string good = board.dir.read(db_file());
  EXPECT_TRUE(good.size() == 64 || good.size() == 68 || good.size() == 76) << good.size();
  EXPECT_EQ(good.substr(0, 2), std::string("\1\1"));
  security_exit();  // closes the record file

  LogCapture cap;
  std::string state = good, version = good;
  state[1] = 2;  // the clear state byte
  version[0] = 2;
  const std::pair<std::string, const char*> cases[] = {
      {state, "security_dbattach crc err..."},
      {good.substr(0, 63), "security_dbattach invalid data read"},
      {version, "security_dbattach invalid db ver"}};
  for (const auto& [content, message] : cases) {
    board.dir.write(db_file(), content);
    EXPECT_EQ(attach(), nullptr) << message;
    EXPECT_TRUE(cap.contains(message));
    security_exit();
  }
  // Another board's fuses cannot read it.
  const std::string path = db_file();
  board.dir.write(path, good);
  board.dir.write(kFuse, "0x0123456789ABCDEE\n");
  int fd = open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(security_dbattach(&fd), nullptr);
  close(fd);
}

// What a read of the record makes of the files that a crash, bit rot or a
// failed write can leave: F the record file, F.b its backup, F.d its digest.
TEST(StoreRecord, BackupAndDigestCases) {
  Board board;
  provision_identity(2);
  const std::string f = db_file(), b = f + ".b", d = f + ".d";
  const std::string old = board.dir.read(f), old_d = board.dir.read(d);
  ASSERT_EQ(security_set_tpustate(5), 0);  // no held copy: written through
  const std::string cur = board.dir.read(f), cur_d = board.dir.read(d);
  ASSERT_NE(old, cur);
  ASSERT_NE(old_d, cur_d);
  security_exit();
  std::string rotten = cur;
  rotten[30] = static_cast<char>(rotten[30] ^ 0x01);
  const std::string garbage(old.size(), 'g');
  using Opt = std::optional<std::string>;
  enum Outcome { kAccepted, kRestored, kRefused };
  const struct {
    const char* why;
    Opt file, bak, dig;
    Outcome outcome;
    int state;
    const char* log;
  } cases[] = {
      {"cut, then crash", "", old, old_d, kRestored, 2, "restored from its backup"},
      {"torn write", old.substr(0, 20), old, old_d, kRestored, 2, "restored from its backup"},
      {"rewrite not committed", cur, old, old_d, kRestored, 2, "does not match its digest"},
      {"committed, stale backup", cur, old, cur_d, kAccepted, 5, ""},
      {"backup not the committed one", "", garbage, old_d, kRefused, 0,
       "does not match the digest"},
      {"garbage backup", old.substr(0, 20), garbage, {}, kRefused, 0, "damaged too"},
      {"bit rot", rotten, {}, cur_d, kRefused, 0, "has no backup"},
      {"emptied", "", {}, old_d, kRefused, 0, "has no backup"},
      {"never written: new store", "", {}, {}, kAccepted, 1, ""},
      {"written before digests", cur, {}, {}, kAccepted, 5, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    for (const auto& [rel, content] : {std::pair{f, c.file}, {b, c.bak}, {d, c.dig}}) {
      fs::remove(rel);
      if (content) board.dir.write(rel, *content);
    }
    LogCapture cap;
    security_db* db = attach();
    EXPECT_EQ(db != nullptr, c.outcome != kRefused) << cap.dump();
    EXPECT_EQ(db != nullptr ? db->state : 0, c.state);
    security_dbdetach(db);
    if (c.outcome == kRestored) {
      EXPECT_EQ(board.dir.read(f), *c.bak);
      EXPECT_FALSE(board.dir.exists(b));
      EXPECT_TRUE(cap.contains("restored from its backup", LOG_WARNING));
    } else if (c.outcome == kRefused) {
      EXPECT_EQ(board.dir.read(f), *c.file);  // left for recovery by hand
      EXPECT_EQ(board.dir.exists(b), c.bak.has_value());
    } else if (c.state != 1) {
      EXPECT_EQ(board.dir.read(f), *c.file);
    }
    EXPECT_EQ(cap.messages().empty(), *c.log == '\0') << cap.dump();
    EXPECT_TRUE(*c.log == '\0' || cap.contains(c.log)) << cap.dump();
    security_exit();
  }
  // Without the fuses nothing can be judged: a restorable record stays as it is.
  board.dir.write(f, "");
  board.dir.write(b, old);
  board.dir.write(d, old_d);
  fs::remove(kFuse);
  EXPECT_EQ(attach(), nullptr);
  EXPECT_EQ(board.dir.read(f), "");
  EXPECT_EQ(board.dir.read(b), old);
}

namespace {
const char* g_failing_suffix = "";
int fail_suffix(const char* path) {
  const std::string p = path, sfx = g_failing_suffix;
  return p.size() >= sfx.size() && p.compare(p.size() - sfx.size(), sfx.size(), sfx) == 0 ? ENOSPC
                                                                                          : 0;
}
}  // namespace

// A full disk at each file of a rewrite: the record still reads as before
// the rewrite, no partial backup stays, and store files are the owner's alone.
TEST(StoreRecord, FailedRewritesKeepTheCommittedRecord) {
  Board board;
  provision_identity(2);
  const std::string f = db_file();
  const std::string committed = board.dir.read(f);
  for (const char* suffix : {".b", ".d"}) {
    SCOPED_TRACE(suffix);
    g_failing_suffix = suffix;
    ztpu::fileio::set_fault(fail_suffix);
    {
      Attached a;
      ASSERT_NE(a.db, nullptr);
      a.db->state = 7;
      EXPECT_EQ(a.flush(), -1);
    }
    ztpu::fileio::set_fault(nullptr);
    EXPECT_FALSE(board.dir.exists(f + ".b.tmp"));
    EXPECT_FALSE(board.dir.exists(f + ".d.tmp"));
    struct stat st {};
    // After a failed digest the backup stays: the rewrite stopped before its end.
    const bool digest = suffix[1] == 'd';
    EXPECT_EQ(stat((f + ".b").c_str(), &st) == 0, digest);
    EXPECT_EQ(digest ? st.st_mode & 0777 : 0600u, 0600u);
    EXPECT_EQ(read_db().state, 2);
    EXPECT_EQ(board.dir.read(f), committed);
  }
  // A record file from before store files were 0600 becomes so when rewritten.
  ASSERT_EQ(chmod(f.c_str(), 0644), 0);
  {
    Attached a;
    ASSERT_NE(a.db, nullptr);
    a.db->savekeyver[1] = 7;
    a.db->state = 3;
    ASSERT_EQ(a.flush(), 0);
  }
  EXPECT_FALSE(board.dir.exists(f + ".b"));
  const security_db back = read_db();
  EXPECT_EQ(back.state, 3);
  EXPECT_EQ(back.savekeyver[1], 7);
  EXPECT_EQ(std::memcmp(back.tpuSSN, kTpuSsn.data(), 12), 0);
  for (const auto& e : fs::directory_iterator("etc/poskey"))
    EXPECT_EQ(static_cast<unsigned>(e.status().permissions()) & 0777, 0600u) << e.path();
}

TEST(StoreCryptfile, RoundTripsAndFailures) {
  Board board;
  Attached a;
  ASSERT_NE(a.db, nullptr);
  char item[] = "item", fresh[] = "fresh", missing[] = "missing";
  u8 in1[1] = {1};
  const std::string path = store_file(item);
  u8* out = nullptr;
  u32 len = 0;
  for (size_t n : {1u, 15u, 16u, 1000u}) {
    Bytes in(n);
    for (size_t i = 0; i < n; ++i) in[i] = static_cast<u8>(i * 7 + 3);
    ASSERT_EQ(security_save_cryptfile(a.db, item, 1, in.data(), static_cast<u32>(n)), 0);
    ASSERT_EQ(security_get_cryptfile(a.db, item, &out, &len), 0) << n;
    EXPECT_EQ(Bytes(out, out + len), in);
    free(out);
    EXPECT_FALSE(board.dir.exists(path + ".b"));
  }
  LogCapture cap;
  // Without the create flag a missing file is not created.
  EXPECT_EQ(security_save_cryptfile(a.db, fresh, 0, in1, 1), -1);
  EXPECT_FALSE(board.dir.exists(store_file(fresh)));
  // A missing cryptfile fails and is left behind empty.
  EXPECT_EQ(security_get_cryptfile(a.db, missing, &out, &len), -1);
  EXPECT_EQ(board.dir.read(store_file(missing)), "");
  // Another tpuSSN cannot read it.
  a.db->tpuSSN[0] ^= 1;
  EXPECT_EQ(security_get_cryptfile(a.db, item, &out, &len), -1);
  a.db->tpuSSN[0] ^= 1;

  // One flipped bit passes the clear-form check but not the digest: refused,
  // or restored from a backup of the committed content.
  const std::string good = board.dir.read(path);
  std::string rotten = good;
  rotten[good.size() / 2] = static_cast<char>(rotten[good.size() / 2] ^ 0x10);
  board.dir.write(path, rotten);
  EXPECT_EQ(security_get_cryptfile(a.db, item, &out, &len), -1);
  EXPECT_TRUE(cap.contains("does not match its digest", LOG_ERR));
  EXPECT_EQ(board.dir.read(path), rotten);
  board.dir.write(path + ".b", good);
  ASSERT_EQ(security_get_cryptfile(a.db, item, &out, &len), 0);
  EXPECT_EQ(len, 1000u);
  free(out);
  EXPECT_EQ(board.dir.read(path), good);
  EXPECT_FALSE(board.dir.exists(path + ".b"));
}

// Each allocation of a read or write, failed in turn: -1 with the failure's
// message, no exception, and the files as they were.
TEST(StoreCryptfile, AllocationFailureIsReported) {
  Board board;
  Attached a;
  ASSERT_NE(a.db, nullptr);
  char item[] = "item";
  Bytes in(100, 7);
  ASSERT_EQ(security_save_cryptfile(a.db, item, 1, in.data(), 100), 0);
  const std::string stored = board.dir.read(store_file(item));
  const struct {
    std::function<int()> op;
    const char* log;
  } cases[] = {
      {[&] { return security_save_cryptfile(a.db, item, 1, in.data(), 100); },
       "alloc 104 byte mem fail."},
      {[&] {
         u8* out = nullptr;
         u32 len = 0;
         const int rc = security_get_cryptfile(a.db, item, &out, &len);
         free(out);
         return rc;
       },
       " bytes error"},
      {[] {
         security_db* db = attach();
         security_dbdetach(db);
         return db != nullptr ? 0 : -1;
       },
       "alloc mem failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    LogCapture cap;
    const int failures = ztpu_test::each_allocation_failure(8, c.op, [&](int n) {
      EXPECT_TRUE(n > 1 || cap.contains(c.log, LOG_ERR)) << cap.dump();
      EXPECT_EQ(board.dir.read(store_file(item)), stored);
    });
    EXPECT_GE(failures, 1);
  }
}
