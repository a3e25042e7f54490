// The ticket query and the payment on a started board, with the server
// link's status and the clocks in the test's hands.
#include <sys/file.h>

#include "txn_fixture.h"
#include "ztpu/fileio.h"

using namespace txntest;
using ztpu_test::LogCapture;

// The server link as the transaction core sees it.
namespace {
int g_offline = 0;
std::time_t g_now = 0;
std::time_t fake_clock() { return g_now; }
}  // namespace
int server_is_offline() { return g_offline; }

namespace {

constexpr std::time_t kDec5 = 1733356800;  // 2024-12-05 00:00:00 UTC

std::time_t at(int h, int m, int s, int day = 5) {
  return kDec5 + (day - 5) * 86400 + h * 3600 + m * 60 + s;
}

class Txn : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    board_.dir.mkdirs("var/ulocal");
    board_.dir.mkdirs("var/lock");
    board_.dir.mkdirs("dev");
    ASSERT_NO_FATAL_FAILURE(provision());
    ASSERT_EQ(security_init(), 0);
    set_conf({});
    g_now = at(10, 0, 0);
    g_offline = 0;
    phone_set_clock(fake_clock);
    ztpu_set_clock(fake_clock);
    log_.clear();
  }
  void TearDown() override {
    phone_set_clock(nullptr);
    ztpu_set_clock(nullptr);
    bt_close();
    mconf_exit();
  }

  void set_conf(const std::map<std::string, std::string>& over) {
    const std::string s = conf_text(over);
    ASSERT_EQ(mconf_load_from_buffer(s.data(), static_cast<int>(s.size())), 0);
  }
  // The phone plays a record now.
  static void hear(const Bytes& rec) {
    Bytes b = rec;
    phone_read_handler(b.data(), static_cast<int>(b.size()), nullptr);
  }
  // Heard and polled at `t`.
  static int poll_at(std::time_t t, const Bytes& rec, ztpu_query_rsp* q) {
    g_now = t;
    hear(rec);
    return ztpu_query(q);
  }
  static ztpu_pay_cmd cmd(int do_pay, u32 station, std::time_t t, int fare = 0) {
    ztpu_pay_cmd c{};
    c.do_pay = do_pay;
    c.station_id = station;
    c.trade_time = static_cast<u32>(t);
    time_stamp_to_bcd(static_cast<unsigned>(t), reinterpret_cast<char*>(c.trade_time_bcd));
    c.trade_fare = fare;
    return c;
  }
  // Polls a fresh ticket at `t` and pays with it.
  // The ticket is issued in the minute of the trade.
  int pass(Ticket t, const ztpu_pay_cmd& c, ztpu_pay_rsp* rsp = nullptr) {
    ztpu_query_rsp q{};
    g_now = static_cast<std::time_t>(c.trade_time);
    t.hour = static_cast<u8>(g_now % 86400 / 3600);
    t.minute = static_cast<u8>(g_now % 3600 / 60);
    if (poll_at(g_now, record(t), &q) != 0) return -2;
    ztpu_pay_rsp r{};
    return ztpu_pay(&c, rsp != nullptr ? rsp : &r);
  }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    if (!board_.dir.exists("var/ulocal/ZEF_BIZRECORD.csv")) return out;
    std::stringstream ss(board_.dir.read("var/ulocal/ZEF_BIZRECORD.csv"));
    std::string l;
    while (std::getline(ss, l)) out.push_back(l);
    return out;
  }
  std::string seq_file() const {
    return board_.dir.exists("var/ulocal/SEQUENCID") ? board_.dir.read("var/ulocal/SEQUENCID")
                                                     : "<none>";
  }

  sectest::Board board_;
  LogCapture log_;
};

// ---- Ticket query ----------------------------------------------------------

TEST_F(Txn, OfflineLinkRefusesSilentlyAndLeavesTheRecord) {
  hear(record(Ticket{}));
  g_offline = 1;
  ztpu_query_rsp q{};
  EXPECT_EQ(ztpu_query(&q), -1);
  EXPECT_TRUE(log_.messages().empty()) << log_.dump();
  EXPECT_EQ(ztpu_get_state(), 0);
  g_offline = 0;
  EXPECT_EQ(ztpu_query(&q), 0) << log_.dump();
}

TEST_F(Txn, AdmitsFreshTicketWithItsFieldsAndBalanceByteOrder) {
  Ticket t;
  t.balance[0] = 0x01;  // low byte
  t.balance[1] = 0x02;
  t.balance[2] = 0x03;                             // high byte
  t.pay_info = sealed_entry(t.user_id, 31, 1000);  // ignored on an entry gate
  hear(record(t));
  g_now = at(10, 0, 1);  // a second later: still fresh
  ztpu_query_rsp q{};
  ASSERT_EQ(ztpu_query(&q), 0) << log_.dump();
  EXPECT_EQ(q.ticket_id, 7);
  EXPECT_EQ(q.user_id, 258u);
  EXPECT_EQ(q.balance, 0x030201);
  EXPECT_EQ(q.ent_station_id, 0u);
  EXPECT_EQ(q.ent_time, 0u);
  EXPECT_EQ(Bytes(q.ent_time_bcd, q.ent_time_bcd + 7), Bytes(7, 0));
  EXPECT_EQ(ztpu_get_state(), 2);
  ztpu_reset_state();
  EXPECT_EQ(ztpu_get_state(), 0);

  // Taken once only; a record two seconds old is dropped and gone.
  EXPECT_EQ(ztpu_query(&q), -1);
  t.ticket_id = 8;
  hear(record(t));
  g_now = at(10, 0, 3);
  EXPECT_EQ(ztpu_query(&q), -1);
  g_now = at(10, 0, 1);
  EXPECT_EQ(ztpu_query(&q), -1);
  EXPECT_TRUE(log_.messages().empty()) << log_.dump();

  // Null result record.
  hear(record(t));
  EXPECT_EQ(ztpu_query(nullptr), -1);
  EXPECT_TRUE(log_.contains("param rsp is NULL.\n", LOG_ERR));
}

TEST_F(Txn, IssueTimeMustBeValidAndWithinTheAllowance) {
  ztpu_query_rsp q{};
  Ticket t;
  t.hour = 24;
  EXPECT_EQ(poll_at(at(10, 0, 0), record(t), &q), -1);
  EXPECT_TRUE(log_.contains("error time, 24h:0m.\n", LOG_ERR)) << log_.dump();
  EXPECT_EQ(ztpu_get_state(), 1);
  t.hour = 10;
  t.minute = 60;
  EXPECT_EQ(poll_at(at(10, 0, 0), record(t), &q), -1);
  EXPECT_TRUE(log_.contains("error time, 10h:60m.\n", LOG_ERR));

  // Issued 10:00 with 300 s allowed: 10:05 passes (its seconds ignored), 10:06 not.
  t.minute = 0;
  EXPECT_EQ(poll_at(at(10, 5, 59), record(t), &q), 0) << log_.dump();
  t.ticket_id = 9;
  log_.clear();
  EXPECT_EQ(poll_at(at(10, 6, 0), record(t), &q), -1);
  EXPECT_TRUE(log_.contains("ticket time error, now=10h6m, ticket=10h0m, allow=300s.\n", LOG_ERR))
      << log_.dump();
  // A ticket from a few minutes ahead is as good as one from behind.
  t.minute = 10;
  EXPECT_EQ(poll_at(at(10, 6, 0), record(t), &q), 0) << log_.dump();
  // No wrap at midnight.
  t.ticket_id = 10;
  t.hour = 23;
  t.minute = 59;
  log_.clear();
  EXPECT_EQ(poll_at(at(0, 1, 0, 6), record(t), &q), -1);
  EXPECT_TRUE(log_.contains("now=0h1m, ticket=23h59m", LOG_ERR)) << log_.dump();
}

TEST_F(Txn, SameTicketIsBarredForThreeSeconds) {
  const Bytes rec = record(Ticket{});
  ztpu_query_rsp q{};
  ASSERT_EQ(poll_at(at(10, 0, 0), rec, &q), 0);
  EXPECT_EQ(poll_at(at(10, 0, 2), rec, &q), -1);
  EXPECT_TRUE(log_.contains("the same ticket can't be used in 3s, now time diff = 2s.\n", LOG_ERR))
      << log_.dump();
  // The refusal did not restart the bar.
  EXPECT_EQ(poll_at(at(10, 0, 3), rec, &q), 0) << log_.dump();
  log_.clear();
  EXPECT_EQ(poll_at(at(10, 0, 5), rec, &q), -1);
  EXPECT_TRUE(log_.contains("time diff = 2s", LOG_ERR));
  // Another ticket is not held up.
  Ticket other;
  other.ticket_id = 8;
  EXPECT_EQ(poll_at(at(10, 0, 5), record(other), &q), 0) << log_.dump();
}

TEST_F(Txn, UnknownKeyIdIsRefusedAndStillBarsTheTicket) {
  Ticket t;
  Bytes rec = record(t);
  rec[21] = 0x40;  // row 0x40 is in no table
  const u16 crc = crypto_crc16(rec.data(), 24);
  rec[24] = static_cast<u8>(crc & 0xFF);
  rec[25] = static_cast<u8>(crc >> 8);
  ztpu_query_rsp q{};
  EXPECT_EQ(poll_at(at(10, 0, 0), rec, &q), -1);
  EXPECT_TRUE(log_.contains("fail to get algorithm and key.\n", LOG_ERR)) << log_.dump();
  log_.clear();
  EXPECT_EQ(poll_at(at(10, 0, 1), rec, &q), -1);
  EXPECT_TRUE(log_.contains("the same ticket can't be used in 3s", LOG_ERR));
  EXPECT_FALSE(log_.contains("fail to get algorithm and key.\n"));
}

TEST_F(Txn, TicketCrcMustBeStoredHighByteFirst) {
  Ticket t;
  t.crc_low_first = true;
  t.row = kOfbRow;
  // Make sure the two CRC bytes differ, or the orders cannot be told apart.
  for (; t.ticket_id < 200; ++t.ticket_id) {
    Bytes clear = {t.ticket_id, 2, 1, 0, 0, t.balance[0], t.balance[1], t.balance[2]};
    const u16 c = crypto_crc16(clear.data(), 8);
    if ((c & 0xFF) != (c >> 8)) break;
  }
  ztpu_query_rsp q{};
  EXPECT_EQ(poll_at(at(10, 0, 0), record(t), &q), -1);
  EXPECT_TRUE(log_.contains("keyid=0xA0B00F.\n", LOG_ERR)) << log_.dump();
  EXPECT_TRUE(log_.contains("ticket crc16 error", LOG_ERR));
  t.crc_low_first = false;
  t.ticket_id++;
  EXPECT_EQ(poll_at(at(10, 0, 0), record(t), &q), 0) << log_.dump();
}

TEST_F(Txn, ExitGateReadsTheEntryInformation) {
  set_conf({{"exit_flag", "1"}});
  ztpu_query_rsp q{};
  Ticket t;
  const std::time_t entered = at(8, 15, 0);
  t.pay_info = sealed_entry(t.user_id, 31, static_cast<u32>(entered));
  ASSERT_EQ(poll_at(at(10, 0, 0), record(t), &q), 0) << log_.dump();
  EXPECT_EQ(q.ent_station_id, 31u);
  EXPECT_EQ(q.ent_time, static_cast<u32>(entered));
  EXPECT_EQ(Bytes(q.ent_time_bcd, q.ent_time_bcd + 7),
            (Bytes{0x20, 0x24, 0x12, 0x05, 0x08, 0x15, 0x00}));

  // No entry recorded: the default station, when allowed.
  t.ticket_id = 8;
  t.pay_info = sealed_entry(t.user_id, 0, 12345);
  ASSERT_EQ(poll_at(at(10, 0, 0), record(t), &q), 0) << log_.dump();
  EXPECT_EQ(q.ent_station_id, 77u);
  EXPECT_EQ(Bytes(q.ent_time_bcd, q.ent_time_bcd + 7),
            (Bytes{0x19, 0x70, 0x01, 0x01, 0x08, 0x00, 0x00}));
  EXPECT_TRUE(log_.contains("exit's tpu, no enter info, use default.\n", LOG_WARNING));

  set_conf({{"exit_flag", "1"}, {"use_default_station", "0"}});
  t.ticket_id = 9;
  EXPECT_EQ(poll_at(at(10, 0, 0), record(t), &q), -1);
  EXPECT_TRUE(log_.contains("exit's tpu, need enter info.\n", LOG_ERR));

  t.ticket_id = 10;
  t.pay_info = sealed_entry(t.user_id, 31, 1000, true);
  EXPECT_EQ(poll_at(at(10, 0, 0), record(t), &q), -1);
  EXPECT_TRUE(log_.contains("exit's tpu, enter info error, crc8=", LOG_ERR)) << log_.dump();

  // An entry a second past 2038: a 32-bit time_t refuses it rather than
  // passing a wrapped or zero entry time to the exit order.
  set_conf({{"exit_flag", "1"}});
  t.ticket_id = 11;
  t.pay_info = sealed_entry(t.user_id, 31, 0x80000000U);
  if (sizeof(std::time_t) >= 8) {
    ASSERT_EQ(poll_at(at(10, 0, 0), record(t), &q), 0) << log_.dump();
    EXPECT_EQ(Bytes(q.ent_time_bcd, q.ent_time_bcd + 7),
              (Bytes{0x20, 0x38, 0x01, 0x19, 0x03, 0x14, 0x08}));
  } else {
    EXPECT_EQ(poll_at(at(10, 0, 0), record(t), &q), -1);
    EXPECT_TRUE(log_.contains("time 2147483648 out of range.\n", LOG_ERR)) << log_.dump();
  }
}

// ---- Payment -----------------------------------------------------------------

TEST_F(Txn, FirstEntryOrderIsStoredWithItsSequenceIdAndTac) {
  EXPECT_EQ(seq_file(), "<none>");
  ztpu_pay_rsp rsp{};
  ASSERT_EQ(pass(Ticket{}, cmd(0, 12, at(10, 30, 0)), &rsp), 0) << log_.dump();
  EXPECT_EQ(rsp.user_id, 258u);
  EXPECT_EQ(rsp.balance, 10000);
  EXPECT_EQ(ztpu_get_state(), 3);
  auto l = lines();
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0].rfind("241205000001,258,0,M001,258241205007,12,20241205103000,", 0), 0u) << l[0];
  EXPECT_EQ(fields(l[0]).size(), 9u);
  EXPECT_TRUE(tac_verifies(l[0])) << l[0];
  EXPECT_EQ(seq_file(), "241205000001");
  EXPECT_FALSE(board_.dir.exists("var/ulocal/SEQUENCID.tmp"));

  // The ticket was consumed.
  ztpu_pay_cmd again = cmd(0, 12, at(10, 30, 0));
  EXPECT_EQ(ztpu_pay(&again, &rsp), -1);
  EXPECT_TRUE(log_.contains("please polling first.\n", LOG_ERR));
  EXPECT_EQ(lines().size(), 1u);
  EXPECT_EQ(ztpu_pay(nullptr, &rsp), -1);
  EXPECT_TRUE(log_.contains("param cmd is NULL.\n", LOG_ERR));
}

TEST_F(Txn, SequenceIdCountsWithinTheDayAndRestartsOnANewDay) {
  board_.dir.write("var/ulocal/SEQUENCID", "241205000041");
  board_.dir.write("var/ulocal/SEQUENCID.tmp", "garbage");  // left by a power cut
  Ticket t;
  ASSERT_EQ(pass(t, cmd(0, 12, at(10, 30, 0))), 0) << log_.dump();
  EXPECT_EQ(lines().back().substr(0, 13), "241205000042,");
  EXPECT_EQ(seq_file(), "241205000042");
  t.ticket_id = 8;
  ASSERT_EQ(pass(t, cmd(0, 12, at(10, 0, 0, 6))), 0) << log_.dump();
  EXPECT_EQ(lines().back().substr(0, 13), "241206000001,");
  EXPECT_EQ(seq_file(), "241206000001");
  EXPECT_FALSE(board_.dir.exists("var/ulocal/SEQUENCID.tmp"));
}

TEST_F(Txn, MalformedSequenceIdFileRefusesOrdersUntilRepaired) {
  ztpu_pay_rsp rsp{};
  for (const char* bad : {"24120500004", "2412050000411", "2412050000x1"}) {
    SCOPED_TRACE(bad);
    board_.dir.write("var/ulocal/SEQUENCID", bad);
    log_.clear();
    Ticket t;
    t.ticket_id = static_cast<u8>(std::strlen(bad) + (bad[10] == 'x' ? 50 : 0));
    EXPECT_EQ(pass(t, cmd(0, 12, at(10, 30, 0)), &rsp), -1);
    EXPECT_TRUE(log_.contains("can't read ./var/ulocal/SEQUENCID sequence id file.\n", LOG_ERR))
        << log_.dump();
    EXPECT_TRUE(log_.contains("fail to get sequence id.\n", LOG_ERR));
    EXPECT_TRUE(log_.contains("generate order record error.\n", LOG_ERR));
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(seq_file(), bad);
  }
  // The validated ticket is still held: once the file is repaired it pays.
  board_.dir.write("var/ulocal/SEQUENCID", "241205000009");
  ztpu_pay_cmd c = cmd(0, 12, at(10, 30, 0));
  EXPECT_EQ(ztpu_pay(&c, &rsp), 0) << log_.dump();
  EXPECT_EQ(seq_file(), "241205000010");
}

namespace {
const char* g_failing_path = "";
int fail_path(const char* path) { return std::strcmp(path, g_failing_path) == 0 ? ENOSPC : 0; }
}  // namespace

// The id is stored before its line: a line lost after the id was saved (a
// crash, or here a full disk) leaves a gap, and the next order a new id; an
// id that cannot be saved refuses the order before anything is written.
TEST_F(Txn, SequenceIdIsStoredBeforeTheLineAndNeverRepeats) {
  board_.dir.write("var/ulocal/SEQUENCID", "241205000041");
  const ztpu_pay_cmd c = cmd(0, 12, at(10, 30, 0));
  Ticket t;
  t.minute = 30;
  ztpu_query_rsp q{};
  ASSERT_EQ(poll_at(at(10, 30, 0), record(t), &q), 0);
  ztpu_pay_rsp rsp{};
  const struct {
    const char* failing;
    const char* seq_after;
  } cases[] = {{"./var/ulocal/SEQUENCID", "241205000041"},
               {"./var/ulocal/ZEF_BIZRECORD.csv", "241205000042"}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.failing);
    g_failing_path = k.failing;
    ztpu::fileio::set_fault(fail_path);
    EXPECT_EQ(ztpu_pay(&c, &rsp), -1);
    ztpu::fileio::set_fault(nullptr);
    EXPECT_TRUE(log_.contains("fail to save order.\n", LOG_ERR)) << log_.dump();
    EXPECT_EQ(board_.dir.read("var/ulocal/ZEF_BIZRECORD.csv"), "");  // no torn line either
    EXPECT_EQ(seq_file(), k.seq_after);
    EXPECT_FALSE(board_.dir.exists("var/ulocal/SEQUENCID.tmp"));
  }
  // The ticket is still held: the retry gets the next unused id.
  EXPECT_EQ(ztpu_pay(&c, &rsp), 0) << log_.dump();
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].substr(0, 13), "241205000043,");
  EXPECT_EQ(seq_file(), "241205000043");
}

// A seventh counter digit could not be stored; the day's ids are used up.
TEST_F(Txn, ExhaustedCounterRefusesTheOrder) {
  board_.dir.write("var/ulocal/SEQUENCID", "241205999999");
  EXPECT_EQ(pass(Ticket{}, cmd(0, 12, at(10, 30, 0))), -1);
  EXPECT_TRUE(log_.contains("sequence ids of 241205 used up.\n", LOG_ERR)) << log_.dump();
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(seq_file(), "241205999999");
}

TEST_F(Txn, CommandMustMatchTheGateRole) {
  ztpu_pay_rsp rsp{};
  EXPECT_EQ(pass(Ticket{}, cmd(1, 12, at(10, 30, 0), 300), &rsp), -1);
  EXPECT_TRUE(log_.contains("error command.\n", LOG_ERR));
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(seq_file(), "");  // opened (created) for reading, never advanced
}

TEST_F(Txn, OrderIsRefusedWhileTheRecordFileIsLocked) {
  const int holder = ::open("var/lock/ZEF_BIZRECORD.lock", O_RDONLY | O_CREAT, 0666);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  ztpu_pay_rsp rsp{};
  EXPECT_EQ(pass(Ticket{}, cmd(0, 12, at(10, 30, 0)), &rsp), -1);
  EXPECT_TRUE(log_.contains("lock ZEF_BIZRECORD.lock failed.\n", LOG_ERR));
  EXPECT_TRUE(log_.contains("fail to save order.\n", LOG_ERR));
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(seq_file(), "");
  ::close(holder);
  ztpu_pay_cmd c = cmd(0, 12, at(10, 30, 0));
  EXPECT_EQ(ztpu_pay(&c, &rsp), 0) << log_.dump();
  EXPECT_EQ(lines().size(), 1u);
}

TEST_F(Txn, ExitRecordCarriesEntryAndRemainingBalance) {
  set_conf({{"exit_flag", "1"}, {"merchant_code", "ABCDEFGHIJKLMNOPQRST"}});
  Ticket t;
  t.pay_info = sealed_entry(t.user_id, 31, static_cast<u32>(at(8, 15, 0)));
  ztpu_pay_rsp rsp{};
  ASSERT_EQ(pass(t, cmd(1, 40, at(10, 30, 0), 300), &rsp), 0) << log_.dump();
  EXPECT_EQ(rsp.balance, 10000);  // the gate sees the balance before the fare
  const auto l = lines();
  ASSERT_EQ(l.size(), 1u);
  const auto f = fields(l[0]);
  ASSERT_EQ(f.size(), 13u) << l[0];
  // The merchant code is exactly its 20 characters; the balance is after the fare.
  EXPECT_EQ(l[0].rfind("241205000001,258,0,ABCDEFGHIJKLMNOPQRST,31,20241205081500,258241205007,40,"
                       "20241205103000,300,9700,",
                       0),
            0u)
      << l[0];
  EXPECT_EQ(f[11].size(), 32u);
  EXPECT_TRUE(tac_verifies(l[0])) << l[0];
}

TEST_F(Txn, OrderWithoutTacIsRefusedAndNothingWritten) {
  ztpu_query_rsp q{};
  ASSERT_EQ(poll_at(at(10, 0, 0), record(Ticket{}), &q), 0);
  security_exit();  // no key table: no TAC
  ztpu_pay_cmd c = cmd(0, 12, at(10, 0, 0));
  ztpu_pay_rsp rsp{};
  EXPECT_EQ(ztpu_pay(&c, &rsp), -1);
  EXPECT_TRUE(log_.contains("fail to generate tac.\n", LOG_ERR)) << log_.dump();
  EXPECT_FALSE(board_.dir.exists("var/ulocal/ZEF_BIZRECORD.csv"));
  EXPECT_EQ(seq_file(), "");
}

TEST_F(Txn, TornLastLineIsCutBeforeTheNextAppend) {
  const std::string sound = "241205000001,1,0,M001,1241205001,12,20241205100000,AB,a0b001\n";
  board_.dir.write("var/ulocal/ZEF_BIZRECORD.csv", sound + "241205000002,2,0,M0");
  board_.dir.write("var/ulocal/SEQUENCID", "241205000002");
  ASSERT_EQ(pass(Ticket{}, cmd(0, 12, at(10, 30, 0))), 0) << log_.dump();
  const auto l = lines();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0] + "\n", sound);
  EXPECT_EQ(l[1].substr(0, 13), "241205000003,");
  EXPECT_TRUE(log_.contains("cut torn order record (19 bytes)", LOG_WARNING)) << log_.dump();
}

TEST_F(Txn, RepairLeavesSoundFilesAloneAndCutsAcrossBlocks) {
  EXPECT_EQ(ztpu_repair_record_file(), 0);  // no file
  EXPECT_FALSE(board_.dir.exists("var/ulocal/ZEF_BIZRECORD.csv"));
  board_.dir.write("var/ulocal/ZEF_BIZRECORD.csv", "a,b\n");
  EXPECT_EQ(ztpu_repair_record_file(), 0);
  EXPECT_EQ(board_.dir.read("var/ulocal/ZEF_BIZRECORD.csv"), "a,b\n");
  EXPECT_TRUE(log_.messages().empty());
  // A torn tail longer than one read block.
  board_.dir.write("var/ulocal/ZEF_BIZRECORD.csv", "a,b\n" + std::string(1500, 'x'));
  EXPECT_EQ(ztpu_repair_record_file(), 0);
  EXPECT_EQ(board_.dir.read("var/ulocal/ZEF_BIZRECORD.csv"), "a,b\n");
  // Nothing complete at all.
  board_.dir.write("var/ulocal/ZEF_BIZRECORD.csv", std::string(700, 'y'));
  EXPECT_EQ(ztpu_repair_record_file(), 0);
  EXPECT_EQ(board_.dir.read("var/ulocal/ZEF_BIZRECORD.csv"), "");
  EXPECT_EQ(log_.count("cut torn order record"), 2u);
}

TEST_F(Txn, FailedBluetoothWriteStillServesTheGate) {
  // The Bluetooth port was never opened; a station id of 0 only warns.
  ztpu_pay_rsp rsp{};
  EXPECT_EQ(pass(Ticket{}, cmd(0, 0, at(10, 30, 0)), &rsp), 0) << log_.dump();
  EXPECT_TRUE(log_.contains("writeback phone error.\n", LOG_ERR));
  EXPECT_TRUE(log_.contains("enter station id=0\n", LOG_WARNING));
  EXPECT_EQ(rsp.user_id, 258u);
  EXPECT_EQ(lines().size(), 1u);
}

TEST_F(Txn, PhoneDeciphersItsReply) {
  Pty bt("dev/ttySP0");
  ASSERT_TRUE(bt.ok());
  ASSERT_EQ(bt_open(), 0);

  Ticket t;
  t.minute = 30;
  const Bytes rec = record(t);
  const std::time_t when = at(10, 30, 0);
  ASSERT_EQ(pass(t, cmd(0, 12, when)), 0) << log_.dump();
  Reply r = open_reply(bt.read_bytes(21), rec, t.user_id);
  EXPECT_TRUE(r.crc_ok);
  EXPECT_EQ(r.tx.status, 0);
  u32 flag = 0;
  std::memcpy(&flag, rec.data() + 6, 4);
  EXPECT_EQ(r.tx.flag, flag);
  EXPECT_EQ(r.tx.pay_type, 1);
  EXPECT_EQ(r.tx.pay_time, static_cast<u32>(when));
  // The entry information for the exit gate: station, time, check byte.
  std::array<u8, 9> sealed{};
  std::memcpy(sealed.data(), r.tx.pay_info, 9);
  EXPECT_EQ(sealed, sealed_entry(t.user_id, 12, static_cast<u32>(when)));

  // At the exit gate the reply carries no payment information.
  set_conf({{"exit_flag", "1"}});
  t.ticket_id = 8;
  t.pay_info = sealed;
  const Bytes rec2 = record(t);
  ztpu_query_rsp q{};
  g_now = at(10, 32, 0);
  hear(rec2);
  ASSERT_EQ(ztpu_query(&q), 0) << log_.dump();
  EXPECT_EQ(q.ent_station_id, 12u);
  ztpu_pay_cmd c = cmd(1, 40, at(10, 32, 0), 250);
  ztpu_pay_rsp rsp{};
  ASSERT_EQ(ztpu_pay(&c, &rsp), 0);
  r = open_reply(bt.read_bytes(21), rec2, t.user_id);
  EXPECT_TRUE(r.crc_ok);
  EXPECT_EQ(r.tx.pay_type, 2);
  EXPECT_EQ(Bytes(r.tx.pay_info, r.tx.pay_info + 9), Bytes(9, 0));
  EXPECT_FALSE(log_.contains("writeback phone error."));
}

}  // namespace
