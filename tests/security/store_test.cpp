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
using ztpu_test::LogCapture;

namespace {

constexpr const char* kFuse = "sys/fsl_otp/HW_OCOTP_CUST0";

std::string db_file() { return store_file("tpu.db"); }

// A record copy with the test's tpuSSN, released with the test.
struct Attached {
  Attached() : db(attach()) {
    if (db != nullptr) std::memcpy(db->tpuSSN, kTpuSsn.data(), 12);
  }
  ~Attached() { security_dbdetach(db); }
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
    if (c.rc == 0) {
      EXPECT_EQ(ssn, c.want) << c.text;
    }
  }
  EXPECT_TRUE(cap.contains("h1:G") || cap.contains("h2:G"));
  EXPECT_TRUE(cap.contains("h2::"));
  std::filesystem::remove(board.dir.path() + "/" + kFuse);
  Ssn ssn{};
  EXPECT_EQ(security_get_cpussn(ssn.data()), -1);
  EXPECT_TRUE(cap.contains("open /sys/fsl_otp/HW_OCOTP_CUST0 failed", LOG_ERR));
}

TEST(StoreHelpers, EncryptedNamesAreBoardBound) {
  std::string a, b;
  {
    Board board;
    a = enc_name("tpu.db");
    EXPECT_EQ(a, enc_name("tpu.db"));
    EXPECT_NE(a, enc_name("key_v0"));
  }
  {
    Board other("0x0123456789ABCDEE\n");
    b = enc_name("tpu.db");
  }
  EXPECT_NE(a, b);
  for (const std::string& n : {a, b}) {
    ASSERT_EQ(n.size(), 32u);
    for (char c : n) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << n;
  }
}

// Safe rewrites of records and cryptfiles are checked with them below.
TEST(StoreHelpers, OpenFlags) {
  Board board;
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
  std::set<std::vector<u8>> seen;
  for (unsigned seed = 0; seed < 5000; ++seed) {
    std::array<u8, 8> k{}, flag{}, back{};
    security_Key_gen_seeded(k.data(), seed);
    security_flag_encode(k.data(), flag.data());
    security_flag_decode(flag.data(), back.data());
    ASSERT_EQ(back, k) << "seed " << seed;
    seen.insert(std::vector<u8>(k.begin(), k.end()));
  }
  EXPECT_GT(seen.size(), 4900u);
}

TEST(StoreRecord, NewStoreHasItsFreshRecord) {
  Board board;
  security_db* db = attach();
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->version, 1);
  EXPECT_EQ(db->state, 1);
  EXPECT_EQ(db->crc, 0);
  const auto* raw = reinterpret_cast<const u8*>(db);
  bool flag_set = false;
  for (int i = 4; i < 12; ++i) flag_set |= raw[i] != 0;
  EXPECT_TRUE(flag_set);
  for (int i = 12; i < 64; ++i) EXPECT_EQ(raw[i], 0) << "byte " << i;
  security_dbdetach(db);

  std::string file = board.dir.read(db_file());
  EXPECT_TRUE(file.size() == 64 || file.size() == 68 || file.size() == 76) << file.size();
  EXPECT_EQ(file[0], 1);
  EXPECT_EQ(file[1], 1);
}

TEST(StoreRecord, TamperingIsDetected) {
  Board board;
  security_dbdetach(attach());
  const std::string good = board.dir.read(db_file());
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

TEST(StoreRecord, FlushRoundTripsFields) {
  Board board;
  {
    Attached a;
    ASSERT_NE(a.db, nullptr);
    a.db->savekeyver[1] = 7;
    a.db->state = 2;
    ASSERT_EQ(security_dbflush(security_get_ctx()->dbFd, a.db), 0);
  }
  EXPECT_FALSE(board.dir.exists(db_file() + ".b"));
  security_db back = read_db();
  EXPECT_EQ(back.state, 2);
  EXPECT_EQ(back.savekeyver[1], 7);
  EXPECT_EQ(std::memcmp(back.tpuSSN, kTpuSsn.data(), 12), 0);
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
      std::filesystem::remove(rel);
      if (content) board.dir.write(rel, *content);
    }
    LogCapture cap;
    security_db* db = attach();
    EXPECT_EQ(db != nullptr, c.outcome != kRefused) << cap.dump();
    if (db != nullptr) {
      EXPECT_EQ(db->state, c.state);
    }
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
    if (*c.log != '\0') {
      EXPECT_TRUE(cap.contains(c.log)) << cap.dump();
    } else {
      EXPECT_TRUE(cap.messages().empty()) << cap.dump();
    }
    security_exit();
  }

  // Without the fuses nothing can be judged: a restorable record stays as it is.
  board.dir.write(f, "");
  board.dir.write(b, old);
  board.dir.write(d, old_d);
  std::filesystem::remove(kFuse);
  EXPECT_EQ(attach(), nullptr);
  EXPECT_EQ(board.dir.read(f), "");
  EXPECT_EQ(board.dir.read(b), old);
}

namespace {
const char* g_failing_suffix = "";
int fail_suffix(const char* path) {
  const std::string p = path;
  const std::string sfx = g_failing_suffix;
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
      EXPECT_EQ(security_dbflush(security_get_ctx()->dbFd, a.db), -1);
    }
    ztpu::fileio::set_fault(nullptr);
    EXPECT_FALSE(board.dir.exists(f + ".b.tmp"));
    EXPECT_FALSE(board.dir.exists(f + ".d.tmp"));
    if (std::string(suffix) == ".d") {
      struct stat st {};
      ASSERT_EQ(stat((f + ".b").c_str(), &st), 0);  // the rewrite stopped before its end
      EXPECT_EQ(st.st_mode & 0777, 0600u);
    } else {
      EXPECT_FALSE(board.dir.exists(f + ".b"));
    }
    EXPECT_EQ(read_db().state, 2);
    EXPECT_EQ(board.dir.read(f), committed);
  }
  // A record file from before store files were 0600 becomes so when rewritten.
  ASSERT_EQ(chmod(f.c_str(), 0644), 0);
  {
    Attached a;
    ASSERT_NE(a.db, nullptr);
    ASSERT_EQ(security_dbflush(security_get_ctx()->dbFd, a.db), 0);
  }
  for (const auto& e : std::filesystem::directory_iterator("etc/poskey")) {
    EXPECT_EQ(static_cast<unsigned>(e.status().permissions()) & 0777, 0600u) << e.path();
  }
}

// A setter whose record write fails leaves the held copy, the unit state and
// the committed record as they were.
TEST(StoreRecord, FailedSetterWritesChangeNothing) {
  Board board;
  start_unit(factor(0x01, 0x01));
  const std::string f = db_file();
  std::array<u8, 16> cv{}, id{};
  cv.fill(0xC7);
  id.fill(0xEE);
  std::array<u8, 12> ssn{};
  u8 ver[2] = {0x07, 0x07};
  const std::pair<const char*, std::function<int()>> setters[] = {
      {"confver", [&] { return security_set_confver(cv.data(), 16); }},
      {"runkeyver", [&] { return security_set_runkeyver(ver, 2); }},
      {"savekeyver", [&] { return security_set_savekeyver(ver, 2); }},
      {"state", [] { return security_set_tpustate(9); }},
      {"identity", [&] { return security_save_deviceid_and_ssn(id.data(), ssn.data()); }}};
  for (const char* suffix : {".b", ".d"}) {
    for (const auto& [name, set] : setters) {
      SCOPED_TRACE(std::string(name) + suffix);
      const security_db held = *security_get_pdb();
      const std::string committed = board.dir.read(f);
      g_failing_suffix = suffix;
      ztpu::fileio::set_fault(fail_suffix);
      EXPECT_EQ(set(), -1);
      ztpu::fileio::set_fault(nullptr);
      EXPECT_EQ(std::memcmp(security_get_pdb(), &held, sizeof held), 0);
      u8 state = 0;
      ASSERT_EQ(security_get_tpustate(&state), 0);
      EXPECT_EQ(state, 2);
      const security_db stored = read_db();
      EXPECT_EQ(std::memcmp(&stored, &held, sizeof held), 0);
      EXPECT_EQ(board.dir.read(f), committed);  // restored from its backup after ".d"
    }
  }
}

TEST(StoreCryptfile, RoundTripsAndFailures) {
  Board board;
  Attached a;
  ASSERT_NE(a.db, nullptr);
  char item[] = "item";
  const std::string path = store_file(item);
  for (size_t n : {1u, 15u, 16u, 1000u}) {
    Bytes in(n);
    for (size_t i = 0; i < n; ++i) in[i] = static_cast<u8>(i * 7 + 3);
    ASSERT_EQ(security_save_cryptfile(a.db, item, 1, in.data(), static_cast<u32>(n)), 0);
    u8* out = nullptr;
    u32 len = 0;
    ASSERT_EQ(security_get_cryptfile(a.db, item, &out, &len), 0) << n;
    EXPECT_EQ(Bytes(out, out + len), in);
    free(out);
    EXPECT_FALSE(board.dir.exists(path + ".b"));
  }
  LogCapture cap;
  // Without the create flag a missing file is not created.
  char fresh_name[] = "fresh";
  u8 one = 1;
  EXPECT_EQ(security_save_cryptfile(a.db, fresh_name, 0, &one, 1), -1);
  EXPECT_FALSE(board.dir.exists(store_file("fresh")));

  // A missing cryptfile fails and is left behind empty.
  char missing[] = "missing";
  u8* out = nullptr;
  u32 len = 0;
  EXPECT_EQ(security_get_cryptfile(a.db, missing, &out, &len), -1);
  EXPECT_EQ(board.dir.read(store_file("missing")), "");

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
    const char* what;
    std::function<int()> op;
    const char* log;
  } cases[] = {
      {"save", [&] { return security_save_cryptfile(a.db, item, 1, in.data(), 100); },
       "alloc 104 byte mem fail."},
      {"get",
       [&] {
         u8* out = nullptr;
         u32 len = 0;
         const int rc = security_get_cryptfile(a.db, item, &out, &len);
         free(out);
         return rc;
       },
       " bytes error"},
      {"attach",
       [] {
         security_db* db = attach();
         security_dbdetach(db);
         return db != nullptr ? 0 : -1;
       },
       "alloc mem failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture cap;
    const int failures = ztpu_test::each_allocation_failure(8, c.op, [&](int n) {
      if (n == 1) {
        EXPECT_TRUE(cap.contains(c.log, LOG_ERR)) << cap.dump();
      }
      EXPECT_EQ(board.dir.read(store_file(item)), stored);
    });
    EXPECT_GE(failures, 1);
  }
}
