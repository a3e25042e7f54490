// One whole passage in process, every module running: the phone plays its
// ticket into the microphone's FIFO, the gate polls and enters over its
// pseudo-terminal, the order line lands with a TAC the key table confirms,
// and the phone deciphers the reply that came over Bluetooth.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "../kalvo/frames.h"
#include "air.h"
#include "backend_sim.h"
#include "txn_fixture.h"
#include "ztpu/gate.h"
#include "ztpu/interface.h"
#include "ztpu/serial.h"
#include "ztpu/server.h"

using namespace txntest;
using namespace std::chrono_literals;

namespace {

using ztpu_test::Air;
using ztpu_test::gate_frame;

// Sends a command and serves it; the decoded answer.
Bytes gate_exchange(const Pty& gate, const Bytes& frame) {
  EXPECT_EQ(::write(gate.master(), frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  for (int i = 0; i < 20; ++i)
    if (gate_serve_once() == 1) {
      Bytes rec;
      EXPECT_TRUE(ztpu_test::frame_record(ztpu_test::read_frame(gate.master(), 1000), &rec));
      return rec;
    }
  ADD_FAILURE() << "no answer";
  return {};
}

// Every order line on the board, wherever the order thread has put it.
std::vector<std::string> order_lines() {
  std::vector<std::string> out;
  auto take = [&](const std::filesystem::path& p) {
    std::ifstream in(p);
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
  };
  if (std::filesystem::exists("var/ulocal/ZEF_BIZRECORD.csv")) take("var/ulocal/ZEF_BIZRECORD.csv");
  for (const char* d : {"var/ulocal/upload", "var/ulocal/backup"}) {
    if (!std::filesystem::exists(d)) continue;
    for (const auto& e : std::filesystem::directory_iterator(d)) take(e.path());
  }
  return out;
}

TEST(Passage, TicketHeardPolledAndEnteredEndToEnd) {
  sectest::Board board;
  ztpu_test::LogCapture log;
  for (const char* d : {"var/ulocal/upload", "var/ulocal/backup", "var/lock", "dev"})
    board.dir.mkdirs(d);
  ASSERT_NO_FATAL_FAILURE(provision());

  ztpu_backend::BackendSim server;
  ASSERT_EQ(server.start({}), 0);
  board.dir.write("etc/ztpu.conf", conf_text({{"server_port", std::to_string(server.port())},
                                              {"heartbeat_interval", "1"},
                                              {"upload_interval", "3600"}}));
  Pty gate("dev/ttySP2");
  Pty bt("dev/ttySP0");
  ASSERT_TRUE(gate.ok() && bt.ok());
  const std::string fifo = ztpu_test::fifo_microphone(board.dir.path());
  ASSERT_FALSE(fifo.empty());
  Air air(fifo);

  ASSERT_EQ(gate_start(), 0) << log.dump();
  // Whatever happens below, every module stops; the receiver's read ends
  // once the air is closed.
  struct Stop {
    Air& air;
    ~Stop() {
      air.close();
      gate_close();
      BleModuleExit();
    }
  } stop{air};
  // Tickets are refused until the link has signed in.
  for (int i = 0; i < 100 && server_is_offline() != 0; ++i) std::this_thread::sleep_for(100ms);
  ASSERT_EQ(server_is_offline(), 0) << log.dump();

  // The phone plays a ticket issued this minute (not across midnight).
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  if (tm.tm_hour == 23 && tm.tm_min == 59) {
    std::this_thread::sleep_for(std::chrono::seconds(61 - tm.tm_sec));
    now = std::time(nullptr);
    localtime_r(&now, &tm);
  }
  Ticket t;
  t.user_id = 0x00C0FFEE;
  t.ticket_id = 42;
  t.balance[0] = t.balance[1] = t.balance[2] = 0x21;  // 0x212121
  t.hour = static_cast<u8>(tm.tm_hour);
  t.minute = static_cast<u8>(tm.tm_min);
  const Bytes rec = record(t);
  air.play(kalvo_test::played(rec));
  ASSERT_TRUE(air.drained());
  std::this_thread::sleep_for(150ms);

  // Poll: the card-like identity.
  Bytes r = gate_exchange(gate, gate_frame({0, 0, 0x31, 0x53, 0}));
  ASSERT_EQ(r.size(), 21u) << log.dump();
  EXPECT_EQ(Bytes(r.begin() + 2, r.end() - 1),
            (Bytes{0x31, 0x53, 0, 0, 0xAA, 0xEE, 0xFF, 0xC0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0}))
      << log.dump();

  // Enter at station 0x0102 at the present time.
  const std::time_t trade = std::time(nullptr);
  u8 bcd[7];
  ASSERT_EQ(time_stamp_to_bcd(static_cast<unsigned>(trade), reinterpret_cast<char*>(bcd)), 0);
  Bytes enter{0, 0, 0x32, 0x53, 0};
  enter.insert(enter.end(), bcd, bcd + 7);
  enter.insert(enter.end(), {0x02, 0x01, 0x00, 0x00, 0x00, 0});
  r = gate_exchange(gate, gate_frame(enter));
  ASSERT_EQ(r.size(), 20u);
  EXPECT_EQ(Bytes(r.begin() + 2, r.begin() + 18),
            (Bytes{0x32, 0x53, 0, 0, 0xEE, 0xFF, 0xC0, 0, 0, 0, 0, 0, 0x21, 0x21, 0x21, 0}))
      << log.dump();

  // The order line, its TAC confirmed by the plug-in's rows.
  const auto lines = order_lines();
  ASSERT_EQ(lines.size(), 1u);
  const auto f = fields(lines[0]);
  ASSERT_EQ(f.size(), 9u) << lines[0];
  char date[8];
  std::snprintf(date, sizeof date, "%02x%02x%02x", bcd[1], bcd[2], bcd[3]);
  EXPECT_EQ(f[0], std::string(date) + "000001");
  EXPECT_EQ(f[1], std::to_string(0x00C0FFEE));
  EXPECT_EQ(f[4], std::to_string(0x00C0FFEE) + date + "042");
  EXPECT_EQ(f[5], "258");
  EXPECT_TRUE(tac_verifies(lines[0])) << lines[0];

  // The phone's reply: the entry information for its exit gate.
  const Reply reply = open_reply(bt.read_bytes(21), rec, t.user_id);
  EXPECT_TRUE(reply.crc_ok);
  EXPECT_EQ(reply.tx.pay_type, 1);
  EXPECT_EQ(reply.tx.pay_time, static_cast<u32>(trade));
  std::array<u8, 9> info{};
  std::memcpy(info.data(), reply.tx.pay_info, 9);
  EXPECT_EQ(info, sealed_entry(t.user_id, 258, static_cast<u32>(trade)));

  // The poll's permission was used up: a second enter is refused.
  r = gate_exchange(gate, gate_frame(enter));
  ASSERT_EQ(r.size(), 20u);
  EXPECT_EQ(r[5], 1);
  EXPECT_EQ(order_lines().size(), 1u);
}

}  // namespace
