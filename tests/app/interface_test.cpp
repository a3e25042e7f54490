// The card-style interface over test doubles of the transaction core.
#include "ztpu/interface.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <ctime>
#include <string>

#include "test_support.h"
#include "ztpu/ztpu.h"

namespace {

struct Core {
  int query_result = 0;
  int pay_result = 0;
  ztpu_query_rsp q{};
  ztpu_pay_rsp p{};
  ztpu_pay_cmd last{};
  int queries = 0, pays = 0, inits = 0, exits = 0;
} core;

}  // namespace

int ztpu_query(ztpu_query_rsp* rsp) {
  ++core.queries;
  if (core.query_result == 0) *rsp = core.q;
  return core.query_result;
}
int ztpu_pay(const ztpu_pay_cmd* cmd, ztpu_pay_rsp* rsp) {
  ++core.pays;
  core.last = *cmd;
  if (core.pay_result == 0) *rsp = core.p;
  return core.pay_result;
}
int ztpu_init() {
  ++core.inits;
  return core.query_result;
}
void ztpu_exit() { ++core.exits; }

namespace {

class Interface : public ::testing::Test {
 protected:
  void SetUp() override {
    core = Core{};
    setenv("TZ", "UTC0", 1);
    tzset();
  }
};

TEST_F(Interface, PollingFillsCardRecord) {
  core.q.user_id = 258;
  core.q.ent_station_id = 0x11223344;
  PollingRsp r;
  std::memset(&r, 0x5A, sizeof r);
  ASSERT_EQ(BlePollingCard(&r), BLE_OK);
  EXPECT_EQ(r.cardType, 0xAA);
  const u8 id[8] = {0x02, 0x01, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(r.cardID, id, 8), 0);
  EXPECT_EQ(r.antFlag, 3);
  const u8 sta[4] = {0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(std::memcmp(r.entSta, sta, 4), 0);

  core.query_result = -1;
  EXPECT_EQ(BlePollingCard(&r), BLE_FAIL);
  EXPECT_EQ(BlePollingCard(nullptr), BLE_FAIL);
  EXPECT_EQ(core.queries, 2);
}

TEST_F(Interface, InGateBuildsEntryPayment) {
  core.p.user_id = 258;
  core.p.balance = -300;
  InGateCmd c{{0x20, 0x24, 0x02, 0x29, 0x23, 0x59, 0x58}, {1, 0, 0, 0}, 1};
  InGateRsp r{};
  ASSERT_EQ(BleInGate(&c, &r), BLE_OK);
  EXPECT_EQ(core.last.do_pay, 0);
  EXPECT_EQ(core.last.station_id, 1U);
  EXPECT_EQ(core.last.trade_time, 1709251198U);
  EXPECT_EQ(std::memcmp(core.last.trade_time_bcd, c.dealTime, 7), 0);
  EXPECT_EQ(core.last.trade_fare, 0);
  const u8 id[8] = {0x02, 0x01, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(r.userID, id, 8), 0);
  const u8 bal[4] = {0xD4, 0xFE, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(r.balance, bal, 4), 0);
  EXPECT_EQ(r.cardType, 0xAA);
}

TEST_F(Interface, OutGatePassesFareAndStation) {
  OutGateCmd c{{0x20, 0x24, 0x01, 0x01, 0, 0, 0}, {0x10, 0x27, 0, 0}, {0x64, 0, 0, 0}, 0};
  OutGateRsp r{};
  ASSERT_EQ(BleOutGate(&c, &r), BLE_OK);
  EXPECT_EQ(core.last.do_pay, 1);
  EXPECT_EQ(core.last.station_id, 10000U);
  EXPECT_EQ(core.last.trade_fare, 100);
  core.pay_result = -1;
  EXPECT_EQ(BleOutGate(&c, &r), BLE_FAIL);
}

// No order with a made-up time: a deal time beyond the second count (or,
// with a 32-bit time_t, past 2038) is refused before the core.
TEST_F(Interface, UnconvertibleDealTimeFailsWithoutCallingCore) {
  ztpu_test::LogCapture log;
  const u8 late[7] = {0x22, 0x00, 0x01, 0x01, 0, 0, 0};
  InGateCmd ic{};
  std::memcpy(ic.dealTime, late, 7);
  InGateRsp ir{};
  EXPECT_EQ(BleInGate(&ic, &ir), BLE_FAIL);
  OutGateCmd oc{};
  std::memcpy(oc.dealTime, late, 7);
  OutGateRsp orsp{};
  EXPECT_EQ(BleOutGate(&oc, &orsp), BLE_FAIL);
  EXPECT_EQ(core.pays, 0);
  EXPECT_EQ(log.count("time 22000101000000 out of range.\n"), 2U) << log.dump();

  const u8 after2038[7] = {0x20, 0x40, 0x01, 0x01, 0, 0, 0};
  std::memcpy(ic.dealTime, after2038, 7);
  EXPECT_EQ(BleInGate(&ic, &ir), sizeof(time_t) >= 8 ? BLE_OK : BLE_FAIL);
  EXPECT_EQ(core.pays, sizeof(time_t) >= 8 ? 1 : 0);
}

TEST_F(Interface, NullPointersFailWithoutCallingCore) {
  InGateCmd ic{};
  InGateRsp ir{};
  OutGateCmd oc{};
  EXPECT_EQ(BleInGate(&ic, nullptr), BLE_FAIL);
  EXPECT_EQ(BleInGate(nullptr, &ir), BLE_FAIL);
  EXPECT_EQ(BleOutGate(&oc, nullptr), BLE_FAIL);
  EXPECT_EQ(BleOutGate(nullptr, &ir), BLE_FAIL);
  EXPECT_EQ(core.pays, 0);
  EXPECT_EQ(BleSetPara(1, 2, nullptr, nullptr), BLE_OK);
}

}  // namespace
