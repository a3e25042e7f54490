// The card-style interface over test doubles of the transaction core.
#include "interface.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "test_support.h"
#include "ztpu/ztpu.h"

namespace {
struct Core {
  int result = 0;
  ztpu_query_rsp q{};
  ztpu_pay_rsp p{};
  ztpu_pay_cmd last{};
  int queries = 0, pays = 0;
} core;
using Bytes = std::vector<u8>;
}  // namespace

int ztpu_query(ztpu_query_rsp* rsp) {
  ++core.queries;
  if (core.result == 0) *rsp = core.q;
  return core.result;
}
int ztpu_pay(const ztpu_pay_cmd* cmd, ztpu_pay_rsp* rsp) {
  ++core.pays;
  core.last = *cmd;
  if (core.result == 0) *rsp = core.p;
  return core.result;
}
int ztpu_init() { return core.result; }
void ztpu_exit() {}

namespace {

TEST(Interface, CardRecordsMapToTheCoresQueryAndPayment) {
  setenv("TZ", "UTC0", 1);
  tzset();
  core = Core{};
  core.q.user_id = 258;
  core.q.ent_station_id = 0x11223344;
  core.p = {258, -300};
  PollingRsp r;
  std::memset(&r, 0x5A, sizeof r);
  ASSERT_EQ(BlePollingCard(&r), BLE_OK);
  const auto* pr = reinterpret_cast<const u8*>(&r);
  EXPECT_EQ(Bytes(pr, pr + sizeof r),
            (Bytes{0xAA, 2, 1, 0, 0, 0, 0, 0, 0, 3, 0x44, 0x33, 0x22, 0x11}));

  InGateCmd ic{{0x20, 0x24, 0x02, 0x29, 0x23, 0x59, 0x58}, {1, 0, 0, 0}, 1};
  InGateRsp ir{};
  ASSERT_EQ(BleInGate(&ic, &ir), BLE_OK);
  EXPECT_EQ(std::tuple(core.last.do_pay, core.last.station_id, core.last.trade_time,
                       core.last.trade_fare),
            std::tuple(0, 1U, 1709251198U, 0));
  EXPECT_EQ(Bytes(core.last.trade_time_bcd, core.last.trade_time_bcd + 7),
            Bytes(ic.dealTime, ic.dealTime + 7));
  const auto* pi = reinterpret_cast<const u8*>(&ir);
  EXPECT_EQ(Bytes(pi, pi + sizeof ir),
            (Bytes{2, 1, 0, 0, 0, 0, 0, 0, 0xD4, 0xFE, 0xFF, 0xFF, 0xAA}));

  OutGateCmd oc{{0x20, 0x24, 0x01, 0x01, 0, 0, 0}, {0x10, 0x27, 0, 0}, {0x64, 0, 0, 0}, 0};
  OutGateRsp orsp{};
  ASSERT_EQ(BleOutGate(&oc, &orsp), BLE_OK);
  EXPECT_EQ(std::tuple(core.last.do_pay, core.last.station_id, core.last.trade_fare),
            std::tuple(1, 10000U, 100));

  core.result = -1;
  EXPECT_EQ(BlePollingCard(&r), BLE_FAIL);
  EXPECT_EQ(BleOutGate(&oc, &orsp), BLE_FAIL);
  EXPECT_EQ(BleInGate(&ic, &ir), BLE_FAIL);
  EXPECT_EQ(core.queries + core.pays, 6);
  EXPECT_EQ(BleModuleInit(), BLE_FAIL);
}

// No order with a made-up time: a deal time beyond the second count (or,
// with a 32-bit time_t, past 2038) is refused before the core, as are nulls.
TEST(Interface, BadArgumentsFailWithoutCallingTheCore) {
  core = Core{};
  ztpu_test::LogCapture log;
  InGateCmd ic{{0x22, 0x00, 0x01, 0x01, 0, 0, 0}, {}, 0};
  InGateRsp ir{};
  OutGateCmd oc{{0x22, 0x00, 0x01, 0x01, 0, 0, 0}, {}, {}, 0};
  OutGateRsp orsp{};
  EXPECT_EQ(BleInGate(&ic, &ir), BLE_FAIL);
  EXPECT_EQ(BleOutGate(&oc, &orsp), BLE_FAIL);
  EXPECT_EQ(log.count("time 22000101000000 out of range.\n"), 2U) << log.dump();
  for (u32 rc : {BleInGate(&ic, nullptr), BleInGate(nullptr, &ir), BleOutGate(&oc, nullptr),
                 BleOutGate(nullptr, &orsp), BlePollingCard(nullptr)})
    EXPECT_EQ(rc, BLE_FAIL);
  EXPECT_EQ(core.pays + core.queries, 0);
  ic.dealTime[0] = 0x20;
  ic.dealTime[1] = 0x40;
  EXPECT_EQ(BleInGate(&ic, &ir), sizeof(time_t) >= 8 ? BLE_OK : BLE_FAIL);
  EXPECT_EQ(core.pays, sizeof(time_t) >= 8 ? 1 : 0);
  EXPECT_EQ(BleSetPara(1, 2, nullptr, nullptr), BLE_OK);
}

}  // namespace
