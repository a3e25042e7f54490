// The gate command loop driven through a pseudo-terminal pair, with the
// card-style interface replaced by test doubles. The test plays the gate
// controller on the master side; the port is the board's dev/ttySP2, a
// symbolic link to the slave as on a simulated board.
#include "ztpu/gate.h"

#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gate_line.h"
#include "test_support.h"
#include "ztpu/interface.h"
#include "ztpu/serial.h"

namespace {

// --- test doubles of the card-style interface ---
struct Doubles {
  u32 init_result = BLE_OK;
  bool card = false;   // a poll finds a card
  bool pay_ok = true;  // enter/exit served
  u32 user_id = 0;
  u32 ent_station = 0;
  int32_t balance = 0;
  int polls = 0, ins = 0, outs = 0;
  InGateCmd last_in{};
  OutGateCmd last_out{};
} dbl;

void put32(u8* p, u32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}

}  // namespace

u32 BleModuleInit() { return dbl.init_result; }
void BleModuleExit() {}
u32 BlePollingCard(PollingRsp* r) {
  ++dbl.polls;
  if (!dbl.card) return BLE_FAIL;
  r->cardType = 0xAA;
  put32(r->cardID, dbl.user_id);
  std::memset(r->cardID + 4, 0, 4);
  r->antFlag = 3;
  put32(r->entSta, dbl.ent_station);
  return BLE_OK;
}
namespace {
// The answer of a served enter or exit.
template <typename Rsp>
u32 paid(Rsp* r) {
  if (!dbl.pay_ok) return BLE_FAIL;
  put32(r->userID, dbl.user_id);
  std::memset(r->userID + 4, 0, 4);
  put32(r->balance, static_cast<u32>(dbl.balance));
  r->cardType = 0xAA;
  return BLE_OK;
}
}  // namespace

u32 BleInGate(const InGateCmd* c, InGateRsp* r) {
  ++dbl.ins;
  dbl.last_in = *c;
  return paid(r);
}
u32 BleOutGate(const OutGateCmd* c, OutGateRsp* r) {
  ++dbl.outs;
  dbl.last_out = *c;
  return paid(r);
}
u32 BleSetPara(u8, u8, u8*, u8*) { return BLE_OK; }

namespace {

using Bytes = std::vector<u8>;

using ztpu_test::gate_frame;

Bytes simple_cmd(u8 code, u8 mark = 0x53) { return gate_frame({0, 0, code, mark, 0}); }

// 2024-05-06 07:08:09, station 0x01020304, return flag 1.
Bytes enter_cmd() {
  return gate_frame({0, 0, 0x32, 0x53, 0, 0x20, 0x24, 0x05, 0x06, 0x07, 0x08, 0x09, 0x04, 0x03,
                     0x02, 0x01, 0x01, 0});
}

// Fare 100 (0x64).
Bytes exit_cmd() {
  return gate_frame({0,    0,    0x33, 0x53, 0,    0x20, 0x24, 0x05, 0x06, 0x07, 0x08,
                     0x09, 0x14, 0x13, 0x12, 0x11, 0x64, 0x00, 0x00, 0x00, 0x01, 0});
}

class GateLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    dbl = Doubles{};
    dir_.mkdirs("dev");
    gate_ = std::make_unique<ztpu_test::Pty>("dev/ttySP2");
    ASSERT_TRUE(gate_->ok());
    ASSERT_EQ(gate_start(), 0) << log_.dump();
  }
  void TearDown() override { gate_close(); }

  // Sends one command and runs one pass; returns the answer frame (empty if none).
  Bytes exchange(const Bytes& frame) {
    if (!frame.empty()) {
      EXPECT_EQ(write(gate_->master(), frame.data(), frame.size()),
                static_cast<ssize_t>(frame.size()));
    }
    const int answered = gate_serve_once();
    Bytes got = ztpu_test::read_frame(gate_->master(), answered ? 500 : 50);
    EXPECT_EQ(answered != 0, !got.empty());
    return got;
  }

  // Decodes an answer frame to its record.
  static Bytes record(const Bytes& frame) {
    Bytes rec;
    EXPECT_TRUE(ztpu_test::frame_record(frame, &rec));
    return rec;
  }

  ztpu_test::ScratchDir dir_;
  ztpu_test::LogCapture log_;
  std::unique_ptr<ztpu_test::Pty> gate_;
};

TEST_F(GateLoop, GetStateAndPollWithoutCardAnswerFixedFrames) {
  EXPECT_EQ(exchange(simple_cmd(0x21)),
            (Bytes{0x02, 0x05, 0x00, 0x21, 0x53, 0x00, 0x00, 0x00, 0x77, 0x03}));
  EXPECT_TRUE(log_.contains("response to tpu(get state)\n", LOG_INFO));
  EXPECT_EQ(exchange(simple_cmd(0x31)),
            (Bytes{0x02, 0x04, 0x00, 0x31, 0x53, 0x00, 0x01, 0x67, 0x03}));
  // The minimal record with its length byte escaped.
  EXPECT_EQ(exchange({0x02, 0x10, 0x02, 0x00, 0x21, 0x53, 0x70, 0x03}).size(), 10U);
}

TEST_F(GateLoop, PollWithCardCarriesUserIdAndStation) {
  dbl.card = true;
  dbl.user_id = 258;
  dbl.ent_station = 0x0A0B0C0D;
  const Bytes r = record(exchange(simple_cmd(0x31)));
  ASSERT_EQ(r.size(), 21U);
  EXPECT_EQ(Bytes(r.begin(), r.end() - 1),
            (Bytes{18, 0, 0x31, 0x53, 0, 0, 0xAA, 0x02, 0x01, 0,
                   0,  0, 0,    0,    0, 3, 0x0D, 0x0C, 0x0B, 0x0A}));
  EXPECT_FALSE(log_.contains("response to tpu"));  // poll answers are not logged
}

TEST_F(GateLoop, EnterWithoutPollIsRefused) {
  const Bytes r = record(exchange(enter_cmd()));
  ASSERT_EQ(r.size(), 20U);
  Bytes want{17, 0, 0x32, 0x53, 0, 1};
  want.insert(want.end(), 12, 0);
  want.push_back(0x13);
  EXPECT_EQ(Bytes(r.begin(), r.end() - 1), want);
  EXPECT_EQ(dbl.ins, 0);
  EXPECT_TRUE(log_.contains("response to tpu(enter)\n", LOG_INFO));
  EXPECT_TRUE(log_.contains("check=", LOG_INFO));
}

TEST_F(GateLoop, PollThenEnterIsServedOnceOnly) {
  dbl.card = true;
  dbl.user_id = 0x01020304;
  dbl.balance = -2;
  exchange(simple_cmd(0x31));
  Bytes r = record(exchange(enter_cmd()));
  ASSERT_EQ(r.size(), 20U);
  EXPECT_EQ(Bytes(r.begin() + 5, r.begin() + 19),
            (Bytes{0, 4, 3, 2, 1, 0, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0x13}));
  ASSERT_EQ(dbl.ins, 1);
  const u8 want_time[7] = {0x20, 0x24, 0x05, 0x06, 0x07, 0x08, 0x09};
  EXPECT_EQ(std::memcmp(dbl.last_in.dealTime, want_time, 7), 0);
  EXPECT_EQ(Bytes(dbl.last_in.entSta, dbl.last_in.entSta + 4), (Bytes{4, 3, 2, 1}));
  EXPECT_EQ(dbl.last_in.retFlag, 1);

  r = record(exchange(enter_cmd()));
  EXPECT_EQ(r[5], 1);
  EXPECT_EQ(dbl.ins, 1);
}

TEST_F(GateLoop, PollThenExitPassesFareAndStation) {
  dbl.card = true;
  dbl.user_id = 7;
  dbl.balance = 500;
  exchange(simple_cmd(0x31));
  const Bytes r = record(exchange(exit_cmd()));
  EXPECT_EQ(r[2], 0x33);
  EXPECT_EQ(r[5], 0);
  EXPECT_EQ(r[6], 7);
  ASSERT_EQ(dbl.outs, 1);
  EXPECT_EQ(Bytes(dbl.last_out.extSta, dbl.last_out.extSta + 4), (Bytes{0x14, 0x13, 0x12, 0x11}));
  EXPECT_EQ(Bytes(dbl.last_out.ticketFare, dbl.last_out.ticketFare + 4), (Bytes{0x64, 0, 0, 0}));
  EXPECT_EQ(dbl.last_out.retFlag, 1);
  EXPECT_TRUE(log_.contains("response to tpu(exit)\n"));
  EXPECT_FALSE(log_.contains("check="));
}

// The permission a poll with a card grants is used up by the next enter or
// exit, served or refused; a poll without a card takes it away; get state
// leaves it. Every script ends with the permission used.
TEST_F(GateLoop, PollPermissionIsOneShot) {
  struct Step {
    u8 code;      // 0x21 get state, 0x31 poll, 0x32 enter, 0x33 exit
    bool card;    // the poll finds one
    bool pay_ok;  // the interface serves the payment
    int rsp;      // the answer's result byte
    int calls;    // payments asked of the interface
  };
  const std::vector<std::pair<const char*, std::vector<Step>>> scripts = {
      {"poll without card", {{0x31, false, true, 1, 0}, {0x32, false, true, 1, 0}}},
      {"get state between",
       {{0x31, true, true, 0, 0}, {0x21, true, true, 0, 0}, {0x32, true, true, 0, 1}}},
      {"failed poll clears",
       {{0x31, true, true, 0, 0}, {0x31, false, true, 1, 0}, {0x32, false, true, 1, 0}}},
      {"refused payment uses it up",
       {{0x31, true, false, 0, 0}, {0x33, true, false, 1, 1}, {0x33, true, true, 1, 0}}},
  };
  for (const auto& [name, steps] : scripts) {
    SCOPED_TRACE(name);
    for (const Step& st : steps) {
      dbl.card = st.card;
      dbl.pay_ok = st.pay_ok;
      const int before = dbl.ins + dbl.outs;
      const Bytes rec = record(exchange(st.code == 0x32   ? enter_cmd()
                                        : st.code == 0x33 ? exit_cmd()
                                                          : simple_cmd(st.code)));
      ASSERT_GE(rec.size(), 6U);
      EXPECT_EQ(rec[2], st.code);
      EXPECT_EQ(rec[5], st.rsp) << "code " << int{st.code};
      EXPECT_EQ(dbl.ins + dbl.outs - before, st.calls) << "code " << int{st.code};
    }
  }
}

TEST_F(GateLoop, ShortEnterOrExitRecordIsRefusedWithoutCallingInterface) {
  dbl.card = true;
  exchange(simple_cmd(0x31));
  // An enter record cut after the station id (17 of 18 bytes).
  Bytes rec{0, 0, 0x32, 0x53, 0, 0x20, 0x24, 5, 6, 7, 8, 9, 4, 3, 2, 1, 0};
  Bytes r = record(exchange(gate_frame(rec)));
  EXPECT_EQ(r[5], 1);
  EXPECT_EQ(dbl.ins, 0);
  EXPECT_TRUE(log_.contains("enter command too short", LOG_ERR));

  exchange(simple_cmd(0x31));
  r = record(exchange(gate_frame({0, 0, 0x33, 0x53, 0})));
  EXPECT_EQ(r[2], 0x33);
  EXPECT_EQ(r[5], 1);
  EXPECT_EQ(dbl.outs, 0);
}

TEST_F(GateLoop, UnknownCodeAndMissingMarkGetNoAnswer) {
  EXPECT_TRUE(exchange(simple_cmd(0x22)).empty());
  EXPECT_TRUE(log_.contains("command error.\n", LOG_ERR));
  log_.clear();
  EXPECT_TRUE(exchange(simple_cmd(0x21, 0x54)).empty());
  EXPECT_TRUE(exchange(simple_cmd(0x31, 0x00)).empty());
  EXPECT_EQ(dbl.polls, 0);
  EXPECT_TRUE(log_.messages().empty()) << log_.dump();
}

TEST_F(GateLoop, LineNoiseIsDroppedAndNextFrameServed) {
  for (const Bytes& noise : {Bytes{0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47},
                             Bytes{0x02, 0x05, 0x00, 0x21, 0x53, 0x00, 0x00, 0x00, 0x76, 0x03},
                             Bytes(40, 0x02), Bytes{0xff}}) {
    log_.clear();
    EXPECT_TRUE(exchange(noise).empty());
    EXPECT_TRUE(log_.contains("parse command error.\n", LOG_ERR)) << log_.dump();
  }
  // A frame that unescapes to more than a command record holds.
  Bytes big(40, 0x41);
  big[0] = 0;
  big[1] = 0;
  big[2] = 0x21;
  big[3] = 0x53;
  log_.clear();
  EXPECT_TRUE(exchange(gate_frame(big)).empty());
  EXPECT_TRUE(log_.contains("parse command error.\n"));
  EXPECT_EQ(exchange(simple_cmd(0x21)).size(), 10U);
}

TEST_F(GateLoop, SilenceIsNotAnError) {
  EXPECT_TRUE(exchange({}).empty());
  EXPECT_TRUE(log_.messages().empty());
}

TEST(GateStart, FailuresEndStartUpWithOneLine) {
  ztpu_test::ScratchDir dir;
  ztpu_test::LogCapture log;
  dbl = Doubles{};
  dbl.init_result = BLE_FAIL;
  EXPECT_EQ(gate_start(), -1);
  EXPECT_TRUE(log.contains("BleModuleInit fail.\n", LOG_ERR));
  EXPECT_FALSE(log.contains("gate_init"));

  log.clear();
  dbl.init_result = BLE_OK;
  EXPECT_EQ(gate_start(), -1);  // no dev/ttySP2 on this board
  EXPECT_TRUE(log.contains("gate_init fail.\n", LOG_ERR));
}

}  // namespace
