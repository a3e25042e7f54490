// The gate command loop on a pseudo-terminal, over doubles of the interface.
#include "ztpu/gate.h"

#include <gtest/gtest.h>

#include <memory>

#include "gate_line.h"
#include "test_support.h"
#include "ztpu/interface.h"

namespace {
// A card of user 0x01020304 from station 0x0A0B0C0D with a balance of -2.
struct Doubles {
  bool card = false, pay_ok = true;
  int pays = 0;
  InGateCmd last_in{};
  OutGateCmd last_out{};
} dbl;
u32 paid(InGateRsp* r) {
  ++dbl.pays;
  *r = {{4, 3, 2, 1}, {0xFE, 0xFF, 0xFF, 0xFF}, 0xAA};
  return dbl.pay_ok ? BLE_OK : BLE_FAIL;
}
}  // namespace

u32 BleModuleInit() { return BLE_OK; }
void BleModuleExit() {}
u32 BlePollingCard(PollingRsp* r) {
  *r = {0xAA, {4, 3, 2, 1}, 3, {0x0D, 0x0C, 0x0B, 0x0A}};
  return dbl.card ? BLE_OK : BLE_FAIL;
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
  Bytes exchange(const Bytes& frame) {
    EXPECT_EQ(write(gate_->master(), frame.data(), frame.size()), ssize_t(frame.size()));
    const int answered = gate_serve_once();
    Bytes got = ztpu_test::read_frame(gate_->master(), answered ? 500 : 50);
    EXPECT_EQ(answered != 0, !got.empty());
    return got;
  }
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

TEST_F(GateLoop, AnswersAndOneShotPollPermission) {
  EXPECT_EQ(exchange(simple(0x21)), (Bytes{2, 5, 0, 0x21, 0x53, 0, 0, 0, 0x77, 3}));
  // No answer: an unknown command, no mark, a bad check, silence.
  for (const Bytes& f :
       {simple(0x22), simple(0x21, 0x54), Bytes{2, 5, 0, 0x21, 0x53, 0, 0, 0, 0x76, 3}, Bytes{}})
    EXPECT_TRUE(exchange(f).empty());

  dbl.card = true;
  EXPECT_EQ(answer(simple(0x31)), (Bytes{18, 0, 0x31, 0x53, 0, 0, 0xAA, 4,    3,    2,
                                         1,  0, 0,    0,    0, 3, 0x0D, 0x0C, 0x0B, 10}));
  EXPECT_EQ(answer(kEnter),
            (Bytes{17, 0, 0x32, 0x53, 0, 0, 4, 3, 2, 1, 0, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0x13}));
  const auto* in = reinterpret_cast<const u8*>(&dbl.last_in);  // time, station, flag
  EXPECT_EQ(Bytes(in, in + sizeof(InGateCmd)), (Bytes{0x20, 0x24, 5, 6, 7, 8, 9, 4, 3, 2, 1, 1}));
  answer(simple(0x31));
  const Bytes out = answer(kExit);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 7), (Bytes{17, 0, 0x33, 0x53, 0, 0, 4}));
  const auto* oc = reinterpret_cast<const u8*>(&dbl.last_out);  // and fare
  EXPECT_EQ(Bytes(oc + 7, oc + sizeof(OutGateCmd)),
            (Bytes{0x14, 0x13, 0x12, 0x11, 0x64, 0, 0, 0, 1}));
  EXPECT_EQ(dbl.pays, 2);
  dbl.card = false;
  EXPECT_EQ(exchange(simple(0x31)), (Bytes{2, 4, 0, 0x31, 0x53, 0, 1, 0x67, 3}));
  EXPECT_EQ(answer(kEnter),  // and the last user's fields cleared
            (Bytes{17, 0, 0x32, 0x53, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x13}));

  // A poll with a card grants one enter or exit; a poll without one takes it away.
  const Bytes kShortEnter =
      gate_frame({0, 0, 0x32, 0x53, 0, 0x20, 0x24, 5, 6, 7, 8, 9, 4, 3, 2, 1, 0});
  const struct {
    Bytes cmd;
    bool card, pay_ok;
    int rsp, pays;  // the answer's result byte; payments asked of the interface
  } steps[] = {
      {simple(0x31), true, true, 0, 0}, {simple(0x21), true, true, 0, 0},
      {kEnter, true, true, 0, 1},       {kEnter, true, true, 1, 0},
      {simple(0x31), true, true, 0, 0}, {simple(0x31), false, true, 1, 0},
      {kExit, false, true, 1, 0},       {simple(0x31), true, false, 0, 0},
      {kExit, true, false, 1, 1},       {kExit, true, true, 1, 0},
      {simple(0x31), true, true, 0, 0}, {kShortEnter, true, true, 1, 0},  // 17 of 18 bytes
      {simple(0x31), true, true, 0, 0}, {simple(0x33), true, true, 1, 0},
  };
  for (const auto& s : steps) {
    dbl = {s.card, s.pay_ok};
    const Bytes rec = answer(s.cmd);
    EXPECT_EQ(std::tuple(rec.size() > 5 ? rec[5] : -1, dbl.pays), std::tuple(s.rsp, s.pays))
        << (&s - steps);
  }
}

}  // namespace
