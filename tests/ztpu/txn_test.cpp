// The ticket query and the payment, with the link status and clocks faked.
#include <sys/file.h>

#include "txn_fixture.h"
#include "ztpu/fileio.h"

using namespace txntest;

namespace {
int g_offline = 0;
std::time_t g_now = 0;
std::time_t fake_clock() { return g_now; }
}  // namespace
int server_is_offline() { return g_offline; }

namespace {
constexpr const char* kRecords = "var/ulocal/ZEF_BIZRECORD.csv";
constexpr const char* kSeq = "var/ulocal/SEQUENCID";

std::time_t at(int h, int m, int s, int day = 5) {
  return 1733356800 + (day - 5) * 86400 + h * 3600 + m * 60 + s;  // 2024-12-05 UTC
}
int poll_at(std::time_t t, Bytes rec, ztpu_query_rsp* q) {
  g_now = t;
  phone_read_handler(rec.data(), static_cast<int>(rec.size()), nullptr);
  return ztpu_query(q);
}
ztpu_pay_cmd cmd(int do_pay, u32 station, std::time_t t, int fare = 0) {
  ztpu_pay_cmd c{do_pay, station, static_cast<u32>(t), {}, fare};
  time_stamp_to_bcd(static_cast<unsigned>(t), reinterpret_cast<char*>(c.trade_time_bcd));
  return c;
}
int pass(Ticket t, const ztpu_pay_cmd& c, ztpu_pay_rsp* rsp) {
  ztpu_query_rsp q{};
  t.hour = static_cast<u8>(c.trade_time % 86400 / 3600);
  t.minute = static_cast<u8>(c.trade_time % 3600 / 60);
  return poll_at(c.trade_time, record(t), &q) != 0 ? -2 : ztpu_pay(&c, rsp);
}
void set_conf(const std::string& first) {
  const std::string s = conf_text(first);
  ASSERT_EQ(mconf_load_from_buffer(s.data(), static_cast<int>(s.size())), 0);
}

class Txn : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    for (const char* d : {"var/ulocal", "var/lock", "dev"}) board_.dir.mkdirs(d);
    ASSERT_NO_FATAL_FAILURE(provision());
    ASSERT_EQ(security_init(), 0);
    set_conf("");
    g_offline = 0;
    phone_set_clock(fake_clock);
    ztpu_set_clock(fake_clock);
  }
  void TearDown() override {
    phone_set_clock(nullptr);
    ztpu_set_clock(nullptr);
    ztpu::fileio::set_fault(nullptr);
    bt_close();
    mconf_exit();
  }
  std::string file(const char* f) const { return board_.dir.exists(f) ? board_.dir.read(f) : "-"; }
  sectest::Board board_;
  ztpu_test::LogCapture log_;
  ztpu_pay_rsp rsp_{};
};

TEST_F(Txn, QueryChecksLinkIssueTimeRepeatsKeyAndCrc) {
  ztpu_query_rsp q{};
  g_offline = 1;  // refused before the record is taken
  EXPECT_EQ(poll_at(at(10, 0, 0), record({}), &q), -1);
  g_offline = 0;
  EXPECT_EQ(ztpu_query(nullptr), -1);
  ASSERT_EQ(ztpu_query(&q), 0) << log_.dump();
  EXPECT_EQ(std::tuple(q.ticket_id, q.user_id, q.balance, ztpu_get_state()),
            std::tuple(u8{7}, 258u, 10000, 2));
  ztpu_reset_state();
  EXPECT_EQ(ztpu_get_state(), 0);
  const Bytes same = record(Ticket{.ticket_id = 4});
  const struct {
    Bytes rec;
    std::time_t when;
    int rc;
    const char* log;
  } steps[] = {
      {record({.hour = 24}), at(10, 0, 0), -1, "error time, 24h:0m.\n"},
      {record({.minute = 60}), at(10, 0, 0), -1, "error time, 10h:60m.\n"},
      // Issued 10:00 with 300 s allowed: 10:05 passes (its seconds ignored), 10:06 not.
      {record({.ticket_id = 1}), at(10, 5, 59), 0, ""},
      {record({.ticket_id = 2}), at(10, 6, 0), -1, ""},
      {record({.ticket_id = 2, .minute = 10}), at(10, 6, 0), 0, ""},  // ahead is as good
      {record({.ticket_id = 3, .hour = 23, .minute = 59}), at(0, 1, 0, 6), -1,
       "ticket time error, now=0h1m, ticket=23h59m"},  // no wrap at midnight
      {same, at(10, 0, 0), 0, ""},
      {same, at(10, 0, 2), -1, ""},
      {same, at(10, 0, 3), 0, ""},
      {record({.ticket_id = 5, .key_ver = 0xB1}), at(10, 0, 10), -1, ""},  // no such key
      {record({.ticket_id = 9, .row = 15, .crc_low_first = true}), at(10, 0, 0), -1, ""},
      {record({.ticket_id = 9, .row = 15}), at(10, 0, 0), 0, ""},
  };
  for (const auto& s : steps) {
    log_.clear();
    EXPECT_EQ(poll_at(s.when, s.rec, &q), s.rc) << (&s - steps) << log_.dump();
    EXPECT_EQ(ztpu_get_state(), s.rc == 0 ? 2 : 1) << (&s - steps);
    EXPECT_TRUE(*s.log == '\0' || log_.contains(s.log, LOG_ERR)) << log_.dump();
  }
}

TEST_F(Txn, ExitGateReadsTheEntryInformation) {
  const struct {
    u32 station, time;  // station 0: none recorded, 77 is the default
    bool broken, use_default;
    int rc;
    Bytes bcd;
  } steps[] = {
      {31, static_cast<u32>(at(8, 15, 0)), false, true, 0, {0x20, 0x24, 0x12, 0x05, 0x08, 0x15, 0}},
      {0, 12345, false, true, 0, {0x19, 0x70, 1, 1, 8, 0, 0}},
      {0, 12345, false, false, -1, {}},
      {31, 1000, true, true, -1, {}},  // a broken check byte
      // A second past 2038: a 32-bit time_t refuses it rather than wrap.
      {31,
       0x80000000U,
       false,
       true,
       sizeof(std::time_t) >= 8 ? 0 : -1,
       {0x20, 0x38, 1, 0x19, 3, 0x14, 8}},
  };
  u8 id = 1;
  for (const auto& s : steps) {
    set_conf(s.use_default ? "exit_flag=1\n" : "exit_flag=1\nuse_default_station=0\n");
    Ticket t{.ticket_id = id++};
    t.pay_info = sealed_entry(t.user_id, s.station, s.time, s.broken);
    ztpu_query_rsp q{};
    ASSERT_EQ(poll_at(at(10, 0, 0), record(t), &q), s.rc) << +id << log_.dump();
    if (s.rc != 0) continue;
    EXPECT_EQ(std::tuple(q.ent_station_id, q.ent_time, Bytes(q.ent_time_bcd, q.ent_time_bcd + 7)),
              std::tuple(s.station ? s.station : 77, s.station ? s.time : 0, s.bcd));
  }
}

const char* g_failing_path = "";
int fail_path(const char* path) { return std::strcmp(path, g_failing_path) == 0 ? ENOSPC : 0; }

// The id is saved before the line: a lost line leaves a gap, never a repeat.
TEST_F(Txn, EntryOrderIsStoredWithADailySequenceIdAndTac) {
  board_.dir.write(kRecords, std::string(700, 'y'));  // torn, longer than a read block: cut
  EXPECT_EQ(pass(Ticket{}, cmd(1, 12, at(10, 30, 0), 300), &rsp_), -1);  // not an exit gate
  ztpu_pay_cmd c = cmd(0, 12, at(10, 30, 0));
  ASSERT_EQ(ztpu_pay(&c, &rsp_), 0) << log_.dump();  // the ticket was still held
  EXPECT_EQ(std::tuple(rsp_.user_id, rsp_.balance, ztpu_get_state()), std::tuple(258u, 10000, 3));
  const std::string l = file(kRecords);
  EXPECT_TRUE(l.starts_with("241205000001,258,0,M001,258241205007,12,20241205103000,") &&
              l.back() == '\n' && tac_verifies(l.substr(0, l.size() - 1)))
      << l;
  EXPECT_EQ(file(kSeq), "241205000001");
  for (int rc : {ztpu_pay(&c, &rsp_), ztpu_pay(nullptr, &rsp_), ztpu_pay(&c, nullptr)})
    EXPECT_EQ(rc, -1);  // consumed
  const struct {
    const char* before;
    int day, rc;
    const char* after;
    const char* failing;  // a file whose writes fail, or "lock": the lock held
  } seqs[] = {
      {"24120500004", 5, -1, "24120500004", ""},
      {"2412050000x1", 5, -1, "2412050000x1", ""},
      {"241205999999", 5, -1, "241205999999", ""},
      {"241205999998", 5, 0, "241205999999", ""},
      {"241205000041", 5, -1, "241205000041", "./var/ulocal/SEQUENCID"},
      {"241205000041", 5, -1, "241205000042", "./var/ulocal/ZEF_BIZRECORD.csv"},
      {"241205000041", 5, -1, "241205000041", "lock"},
      {"241205000041", 6, 0, "241206000001", ""},  // a new day
  };
  u8 id = 20;
  for (const auto& s : seqs) {
    board_.dir.write(kSeq, s.before);
    board_.dir.write(kRecords, file(kRecords) + std::string(s.day * 100, 'x'));
    g_failing_path = s.failing;
    ztpu::fileio::set_fault(fail_path);
    const int holder = ::open("var/lock/ZEF_BIZRECORD.lock", O_RDONLY | O_CREAT, 0666);
    ASSERT_EQ(std::strcmp(s.failing, "lock") == 0 ? flock(holder, LOCK_EX) : 0, 0);
    EXPECT_EQ(pass(Ticket{.ticket_id = id++}, cmd(0, 12, at(10, 30, 0, s.day)), &rsp_), s.rc);
    ::close(holder);
    EXPECT_EQ(file(kSeq), s.after) << s.failing;
  }
  ztpu_query_rsp q{};
  ASSERT_EQ(poll_at(at(10, 30, 0), record(Ticket{.ticket_id = 8, .minute = 30}), &q), 0);
  security_exit();  // no key table: no TAC, no order
  EXPECT_EQ(ztpu_pay(&c, &rsp_), -1);
  const std::string all = file(kRecords);
  EXPECT_EQ(std::tuple(std::count(all.begin(), all.end(), '\n'), all.find('x')),
            std::tuple(3, std::string::npos))
      << all;
  EXPECT_EQ(file(kSeq), "241206000001");
}

TEST_F(Txn, PhoneDeciphersItsReply) {
  // No Bluetooth port yet: the gate is still served.
  ASSERT_EQ(pass(Ticket{}, cmd(0, 0, at(10, 0, 0)), &rsp_), 0) << log_.dump();
  EXPECT_TRUE(log_.contains("enter station id=0\n", LOG_WARNING));
  ztpu_test::Pty bt("dev/ttySP0", false);  // as the system leaves it: the port sets itself up raw
  ASSERT_TRUE(bt.ok());
  ASSERT_EQ(bt_open(), 0);
  log_.clear();
  Ticket t{.ticket_id = 8};
  const Bytes rec = record(t);
  const std::time_t when = at(10, 30, 0);
  ASSERT_EQ(pass(t, cmd(0, 12, when), &rsp_), 0) << log_.dump();
  phone_tx tx = open_reply(bt.read_bytes(22, 300), rec, t.user_id);  // one more: an added one shows
  EXPECT_EQ(std::tuple(u8{tx.status}, std::memcmp(&tx.flag, &rec[6], 4), u8{tx.pay_type},
                       u32{tx.pay_time}),
            std::tuple(u8{0}, 0, u8{1}, static_cast<u32>(when)));
  t.pay_info = Bytes(tx.pay_info, tx.pay_info + 9);  // the entry information for the exit gate
  EXPECT_EQ(t.pay_info, sealed_entry(t.user_id, 12, static_cast<u32>(when)));

  // The exit order and reply; the merchant code is exactly its 20 characters.
  set_conf("exit_flag=1\nmerchant_code=ABCDEFGHIJKLMNOPQRST\n");
  t.ticket_id = 9;
  ASSERT_EQ(pass(t, cmd(1, 40, at(10, 32, 0), 250), &rsp_), 0) << log_.dump();
  EXPECT_EQ(rsp_.balance, 10000);  // the gate sees the balance before the fare
  const std::string all = file(kRecords);
  const std::string l = all.substr(all.rfind('\n', all.size() - 2) + 1);
  EXPECT_TRUE(l.starts_with("241205000003,258,0,ABCDEFGHIJKLMNOPQRST,12,20241205103000,"
                            "258241205009,40,20241205103200,250,9750,") &&
              tac_verifies(l.substr(0, l.size() - 1)))
      << l;
  tx = open_reply(bt.read_bytes(21), record(t), t.user_id);
  EXPECT_EQ(std::tuple(u8{tx.pay_type}, Bytes(tx.pay_info, tx.pay_info + 9)),
            std::tuple(u8{2}, Bytes(9, 0)));
  EXPECT_FALSE(log_.contains("writeback phone error."));
}

}  // namespace
