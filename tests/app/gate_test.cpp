// The gate command loop driven through a pseudo-terminal (the board's
// dev/ttySP2), with the card-style interface replaced by test doubles.
#include "gate.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstring>
#include <memory>

#include "gate_line.h"
#include "interface.h"
#include "test_support.h"

namespace {
struct Doubles {
  u32 init_result = BLE_OK;
  bool card = false, pay_ok = true;
  u32 user_id = 0, ent_station = 0;
  int32_t balance = 0;
  int polls = 0, pays = 0;
  InGateCmd last_in{};
  OutGateCmd last_out{};
} dbl;

void put32(u8* p, u32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}
template <typename Rsp>
u32 paid(Rsp* r) {
  ++dbl.pays;
  if (!dbl.pay_ok) return BLE_FAIL;
  put32(r->userID, dbl.user_id);
  std::memset(r->userID + 4, 0, 4);
  put32(r->balance, static_cast<u32>(dbl.balance));
  r->cardType = 0xAA;
  return BLE_OK;
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
u32 BleInGate(const InGateCmd* c, InGateRsp* r) { return dbl.last_in = *c, paid(r); }
u32 BleOutGate(const OutGateCmd* c, OutGateRsp* r) { return dbl.last_out = *c, paid(r); }
u32 BleSetPara(u8, u8, u8*, u8*) { return BLE_OK; }

namespace {
using Bytes = std::vector<u8>;
using ztpu_test::gate_frame;

Bytes simple(u8 code, u8 mark = 0x53) { return gate_frame({0, 0, code, mark, 0}); }
// 2024-05-06 07:08:09, station 0x01020304, return flag 1.
const Bytes kEnter =
    gate_frame({0, 0, 0x32, 0x53, 0, 0x20, 0x24, 5, 6, 7, 8, 9, 0x04, 0x03, 0x02, 0x01, 0x01, 0});
// Station 0x11121314, fare 100, return flag 1.
const Bytes kExit = gate_frame({0, 0,    0x33, 0x53, 0,    0x20, 0x24, 5, 6, 7,    8,
                                9, 0x14, 0x13, 0x12, 0x11, 0x64, 0,    0, 0, 0x01, 0});

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
  // One command, one pass: the answer frame (empty if none).
  Bytes exchange(const Bytes& frame) {
    EXPECT_EQ(write(gate_->master(), frame.data(), frame.size()), ssize_t(frame.size()));
    const int answered = gate_serve_once();
    Bytes got = ztpu_test::read_frame(gate_->master(), answered ? 500 : 50);
    EXPECT_EQ(answered != 0, !got.empty());
    return got;
  }
  // The answer's record without its check byte.
  Bytes answer(const Bytes& frame) {
    Bytes rec;
    EXPECT_TRUE(ztpu_test::frame_record(exchange(frame), &rec));
    if (!rec.empty()) rec.pop_back();
    return rec;
  }
  ztpu_test::ScratchDir dir_;
  ztpu_test::LogCapture log_;
  std::unique_ptr<ztpu_test::Pty> gate_;
};

TEST_F(GateLoop, AnswersCarryTheInterfacesRecords) {
  EXPECT_EQ(exchange(simple(0x21)), (Bytes{2, 5, 0, 0x21, 0x53, 0, 0, 0, 0x77, 3}));
  EXPECT_TRUE(log_.contains("response to tpu(get state)\n", LOG_INFO));
  EXPECT_EQ(exchange(simple(0x31)), (Bytes{2, 4, 0, 0x31, 0x53, 0, 1, 0x67, 3}));
  // The minimal record with its length byte escaped.
  EXPECT_EQ(exchange({0x02, 0x10, 0x02, 0x00, 0x21, 0x53, 0x70, 0x03}).size(), 10U);
  Bytes refused{17, 0, 0x32, 0x53, 0, 1};
  refused.resize(18, 0);
  refused.push_back(0x13);
  EXPECT_EQ(answer(kEnter), refused);  // no poll before
  EXPECT_TRUE(log_.contains("response to tpu(enter)\n", LOG_INFO));
  EXPECT_TRUE(log_.contains("check=", LOG_INFO));
  log_.clear();

  dbl = {.card = true, .user_id = 0x01020304, .ent_station = 0x0A0B0C0D, .balance = -2};
  EXPECT_EQ(answer(simple(0x31)), (Bytes{18, 0, 0x31, 0x53, 0, 0, 0xAA, 4,    3,    2,
                                         1,  0, 0,    0,    0, 3, 0x0D, 0x0C, 0x0B, 10}));
  EXPECT_FALSE(log_.contains("response to tpu"));  // poll answers are not logged
  EXPECT_EQ(answer(kEnter),
            (Bytes{17, 0, 0x32, 0x53, 0, 0, 4, 3, 2, 1, 0, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0x13}));
  const auto* in = reinterpret_cast<const u8*>(&dbl.last_in);  // time, station, flag
  EXPECT_EQ(Bytes(in, in + sizeof(InGateCmd)), (Bytes{0x20, 0x24, 5, 6, 7, 8, 9, 4, 3, 2, 1, 1}));

  log_.clear();
  answer(simple(0x31));
  const Bytes out = answer(kExit);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 7), (Bytes{17, 0, 0x33, 0x53, 0, 0, 4}));
  const auto* out_cmd = reinterpret_cast<const u8*>(&dbl.last_out);  // and fare
  EXPECT_EQ(Bytes(out_cmd + 7, out_cmd + sizeof(OutGateCmd)),
            (Bytes{0x14, 0x13, 0x12, 0x11, 0x64, 0, 0, 0, 1}));
  EXPECT_TRUE(log_.contains("response to tpu(exit)\n"));
  EXPECT_FALSE(log_.contains("check="));
  EXPECT_EQ(dbl.pays, 2);
}

// A poll with a card grants one enter or exit, served or refused; a poll
// without one takes it away; get state leaves it.
TEST_F(GateLoop, PollPermissionIsOneShot) {
  const Bytes kShortEnter =
      gate_frame({0, 0, 0x32, 0x53, 0, 0x20, 0x24, 5, 6, 7, 8, 9, 4, 3, 2, 1, 0});
  const struct {
    Bytes cmd;
    bool card, pay_ok;
    int rsp, pays;  // the answer's result byte; payments asked of the interface
  } steps[] = {
      {simple(0x31), false, true, 1, 0}, {kEnter, false, true, 1, 0},
      {simple(0x31), true, true, 0, 0},  {simple(0x21), true, true, 0, 0},
      {kEnter, true, true, 0, 1},        {kEnter, true, true, 1, 0},
      {simple(0x31), true, true, 0, 0},  {simple(0x31), false, true, 1, 0},
      {kExit, false, true, 1, 0},        {simple(0x31), true, false, 0, 0},
      {kExit, true, false, 1, 1},        {kExit, true, true, 1, 0},
      {simple(0x31), true, true, 0, 0},  {kShortEnter, true, true, 1, 0},  // 17 of 18 bytes
      {simple(0x31), true, true, 0, 0},  {simple(0x33), true, true, 1, 0},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(&s - steps);
    dbl.card = s.card;
    dbl.pay_ok = s.pay_ok;
    const int before = dbl.pays;
    const Bytes rec = answer(s.cmd);
    ASSERT_GE(rec.size(), 6U);
    EXPECT_EQ(rec[5], s.rsp);
    EXPECT_EQ(dbl.pays - before, s.pays);
  }
  EXPECT_TRUE(log_.contains("enter command too short", LOG_ERR));
}

TEST_F(GateLoop, UnknownCommandsAndLineNoiseGetNoAnswer) {
  EXPECT_TRUE(exchange(simple(0x22)).empty());
  EXPECT_TRUE(log_.contains("command error.\n", LOG_ERR));
  log_.clear();
  EXPECT_TRUE(exchange(simple(0x21, 0x54)).empty());  // no mark
  EXPECT_TRUE(exchange(simple(0x31, 0x00)).empty());
  EXPECT_TRUE(exchange({}).empty());  // silence is not an error
  EXPECT_EQ(dbl.polls, 0);
  EXPECT_TRUE(log_.messages().empty()) << log_.dump();
  Bytes big(40, 0x41);  // unescapes to more than a command record
  big[0] = big[1] = 0;
  big[2] = 0x21;
  big[3] = 0x53;
  // Frame errors themselves are the framing's tests; here: dropped, logged, and the line recovers.
  for (const Bytes& noise : {Bytes{0x41, 0x42, 0x43}, Bytes{2, 5, 0, 0x21, 0x53, 0, 0, 0, 0x76, 3},
                             Bytes(40, 0x02), gate_frame(big)}) {
    log_.clear();
    EXPECT_TRUE(exchange(noise).empty());
    EXPECT_TRUE(log_.contains("parse command error.\n", LOG_ERR)) << log_.dump();
  }
  EXPECT_EQ(exchange(simple(0x21)).size(), 10U);
}

}  // namespace
