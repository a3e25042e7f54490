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
const char* g_failing_suffix = "";
int fail_suffix(const char* path) {
  return std::string(path).ends_with(g_failing_suffix) ? ENOSPC : 0;
}
}  // namespace

TEST(StoreHelpers, FuseSerialNumberAndBoardBoundNames) {
  std::string other;
  {
    Board board("0x0123456789ABCDEE\n");
    other = store_file("tpu.db");
  }
  Board board;
  const std::string a = store_file("tpu.db");
  EXPECT_TRUE(a == store_file("tpu.db") && a != store_file("key_v0") && a != other);
  EXPECT_TRUE(a.size() == 43 && a.find_first_not_of("0123456789ABCDEF", 11) == a.npos) << a;
  using Ssn = std::array<u8, 8>;
  const Ssn full = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  // The characters between '9' and 'A' are junk.
  const std::tuple<const char*, int, Ssn> cases[] = {{"0x0123456789ABCDEF\n", 0, full},
                                                     {"123456789abcdef0123", 0, full},
                                                     {"0X1A2B3C4D\n", 0, {0x1A, 0x2B, 0x3C, 0x4D}},
                                                     {"0x12G4\n", -1, {}},
                                                     {"0x1:\n", -1, {}},
                                                     {"", -1, {}},
                                                     {nullptr, -1, {}}};
  for (const auto& [text, rc, want] : cases) {
    if (text)
      board.dir.write(kFuse, text);
    else
      fs::remove(kFuse);
    Ssn ssn{};
    EXPECT_EQ(security_get_cpussn(ssn.data()), rc) << text;
    EXPECT_EQ(ssn, want) << text;
  }
}

// Some seeds meet a bound whose low 8 bits are 0 (a trap as a divisor).
TEST(StoreSecret, ScrambleIsExactInverseAndKeysSpread) {
  std::set<std::array<u8, 8>> seen;
  for (unsigned seed = 0; seed < 5000; ++seed) {
    std::array<u8, 8> k{}, flag{}, back{};
    security_Key_gen_seeded(k.data(), seed);
    security_flag_encode(k.data(), flag.data());
    security_flag_decode(flag.data(), back.data());
    ASSERT_EQ(back, k) << seed;
    seen.insert(k);
  }
  EXPECT_GT(seen.size(), 4900u);
}

// Record file F, backup F.b, digest F.d as a crash, bit rot or failed write leave them.
TEST(StoreRecord, NewRecordBackupAndDigestCases) {
  Board board;
  if (DbCopy db = held()) {
    const auto* raw = reinterpret_cast<const u8*>(db.get());
    EXPECT_EQ(Bytes(raw, raw + 4), (Bytes{1, 1, 0, 0}));  // version, state, crc
    EXPECT_NE(Bytes(raw + 4, raw + 12), Bytes(8, 0));     // the scrambled secret
    EXPECT_EQ(Bytes(raw + 12, raw + 64), Bytes(52, 0));
  } else {
    ADD_FAILURE();
  }
  provision_identity(2);
  const std::string f = db_file(), b = f + ".b", d = f + ".d";
  const std::string old = board.dir.read(f), old_d = board.dir.read(d);
  ASSERT_EQ(security_set_tpustate(5), 0);  // no held copy: written through
  const std::string cur = board.dir.read(f), cur_d = board.dir.read(d);
  ASSERT_TRUE(old != cur && old_d != cur_d);
  security_exit();
  std::string rotten = cur;
  rotten[30] = static_cast<char>(rotten[30] ^ 0x01);
  std::string garbage(old.size(), 'g'), bad_state = cur, version = cur;
  bad_state[1] = 2;  // the clear head
  version[0] = 2;
  using Opt = std::optional<std::string>;
  // Expected state 0: refused; log: a part of the one message, "" for none.
  const std::tuple<Opt, Opt, Opt, bool, int, const char*> cases[] = {
      {"", old, old_d, true, 2, "restored from its backup"},                 // cut, then crash
      {old.substr(0, 20), old, old_d, true, 2, "restored from its backup"},  // torn write
      {cur, old, old_d, true, 2, "does not match its digest"},      // rewrite not committed
      {cur, old, cur_d, false, 5, ""},                              // committed, stale backup
      {"", garbage, old_d, false, 0, "does not match the digest"},  // backup not committed
      {old.substr(0, 20), garbage, {}, false, 0, "damaged too"},
      {rotten, {}, cur_d, false, 0, "has no backup"},
      {"", {}, old_d, false, 0, "has no backup"},
      {"", {}, {}, false, 1, ""},   // never written: a new store
      {cur, {}, {}, false, 5, ""},  // written before digests
      {bad_state, {}, {}, false, 0, "crc err"},
      {version, {}, {}, false, 0, "invalid db ver"},
      {cur.substr(0, 63), {}, {}, false, 0, "invalid data read"}};
  int i = 0;
  for (const auto& [file, bak, dig, restored, state, log] : cases) {
    SCOPED_TRACE(i++);
    for (const auto& [rel, content] : {std::pair{f, file}, {b, bak}, {d, dig}}) {
      fs::remove(rel);
      if (content) board.dir.write(rel, *content);
    }
    LogCapture cap;
    EXPECT_EQ(read_db().state, state) << cap.dump();
    const std::string now = board.dir.read(f);
    EXPECT_EQ(now, restored ? *bak : state == 1 ? now : *file);
    EXPECT_EQ(board.dir.exists(b), !restored && bak.has_value());
    EXPECT_EQ(cap.messages().empty(), *log == '\0') << cap.dump();
    EXPECT_TRUE(*log == '\0' || cap.contains(log)) << cap.dump();
    security_exit();
  }
  // Without the fuses nothing can be judged: a restorable record stays as it is.
  board.dir.write(f, "");
  board.dir.write(b, old);
  board.dir.write(d, old_d);
  fs::remove(kFuse);
  EXPECT_EQ(attach(), nullptr);
  EXPECT_EQ(board.dir.read(f) + "|" + board.dir.read(b), "|" + old);
  // Another board's fuses cannot read it.
  board.dir.write(kFuse, "0x0123456789ABCDEE\n");
  board.dir.write(f, cur);
  fs::remove(b), fs::remove(d);
  int fd = open(f.c_str(), O_RDWR);
  EXPECT_EQ(security_dbattach(&fd), nullptr);
  close(fd);
}

// A full disk at each file of a rewrite keeps the committed record; files stay 0600.
TEST(StoreRecord, FailedRewritesKeepTheCommittedRecord) {
  Board board;
  provision_identity(2);
  const std::string f = db_file(), committed = board.dir.read(f);
  for (const char* suffix : {".b", ".d"}) {
    g_failing_suffix = suffix;
    ztpu::fileio::set_fault(fail_suffix);
    DbCopy db = held();
    db->state = 7;
    EXPECT_EQ(flush(db), -1) << suffix;
    ztpu::fileio::set_fault(nullptr);
    EXPECT_FALSE(board.dir.exists(f + ".b.tmp") || board.dir.exists(f + ".d.tmp")) << suffix;
    struct stat st {};
    const bool digest = suffix[1] == 'd';
    EXPECT_EQ(stat((f + ".b").c_str(), &st) == 0, digest) << suffix;
    EXPECT_EQ(digest ? st.st_mode & 0777 : 0600u, 0600u);
    EXPECT_EQ(read_db().state, 2);
    EXPECT_EQ(board.dir.read(f), committed);
  }
  ASSERT_EQ(chmod(f.c_str(), 0644), 0);
  DbCopy db = held();
  db->savekeyver[1] = 7;
  db->state = 3;
  ASSERT_EQ(flush(db), 0);
  EXPECT_FALSE(board.dir.exists(f + ".b"));
  const security_db back = read_db();
  EXPECT_EQ(back.state * 10 + back.savekeyver[1], 37);
  EXPECT_EQ(std::memcmp(back.tpuSSN, kTpuSsn.data(), 12), 0);
  for (const auto& e : fs::directory_iterator("etc/poskey"))
    EXPECT_EQ(static_cast<unsigned>(e.status().permissions()) & 0777, 0600u) << e.path();
}

// Each allocation failed in turn: -1, the files as they were.
TEST(StoreCryptfile, RoundTripsFailuresAndAllocationFailures) {
  Board board;
  provision_identity();
  DbCopy db = held();
  char item[] = "item", fresh[] = "fresh", missing[] = "missing";
  const std::string path = store_file(item);
  u8* out = nullptr;
  u32 len = 0;
  auto get = [&](char* name) {
    free(out);
    out = nullptr;
    return security_get_cryptfile(db.get(), name, &out, &len);
  };
  for (u32 n : {1u, 15u, 16u, 1000u, 100u}) {
    Bytes in(n);
    for (size_t i = 0; i < n; ++i) in[i] = static_cast<u8>(i * 7 + 3);
    ASSERT_EQ(security_save_cryptfile(db.get(), item, 1, in.data(), n), 0);
    ASSERT_EQ(get(item), 0) << n;
    EXPECT_EQ(Bytes(out, out + len), in);
    EXPECT_FALSE(board.dir.exists(path + ".b"));
  }
  const std::string stored = board.dir.read(path);
  const std::function<int()> cases[] = {
      [&] { return security_save_cryptfile(db.get(), item, 1, out, 100); },
      [&] { return get(item); }, [] { return DbCopy(held()) ? 0 : -1; }};
  for (const auto& c : cases) {
    EXPECT_GE(ztpu_test::each_allocation_failure(
                  8, c, [&](int) { EXPECT_EQ(board.dir.read(path), stored); }),
              1);
  }
  LogCapture cap;
  EXPECT_EQ(security_save_cryptfile(db.get(), fresh, 0, out, 1), -1);
  EXPECT_FALSE(board.dir.exists(store_file(fresh)));
  EXPECT_EQ(get(missing), -1);  // and a missing one is left behind empty
  EXPECT_EQ(board.dir.read(store_file(missing)), "");
  db->tpuSSN[0] ^= 1;  // another tpuSSN cannot read it
  EXPECT_EQ(get(item), -1);
  db->tpuSSN[0] ^= 1;
  // One flipped bit: refused by the digest, or restored from a backup.
  std::string rotten = stored;
  rotten[stored.size() / 2] = static_cast<char>(rotten[stored.size() / 2] ^ 0x10);
  board.dir.write(path, rotten);
  EXPECT_EQ(get(item), -1);
  EXPECT_EQ(board.dir.read(path), rotten);
  board.dir.write(path + ".b", stored);
  ASSERT_EQ(get(item), 0);
  EXPECT_EQ(len, 100u);
  EXPECT_EQ(board.dir.read(path) + std::to_string(board.dir.exists(path + ".b")), stored + "0");
  free(out);
}
