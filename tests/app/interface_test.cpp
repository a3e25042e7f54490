// The card-style interface over test doubles of the transaction core.
#include "ztpu/interface.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "ztpu/ztpu.h"

namespace {
struct Core {
  int result = 0;
  ztpu_query_rsp q{0, 258, 0, 0x11223344, 0, {}};
  ztpu_pay_rsp p{258, -300};
  ztpu_pay_cmd last{};
  int calls = 0;
} core;
using Bytes = std::vector<u8>;
}  // namespace

int ztpu_query(ztpu_query_rsp* rsp) {
  ++core.calls;
  if (core.result == 0) *rsp = core.q;
  return core.result;
}
int ztpu_pay(const ztpu_pay_cmd* cmd, ztpu_pay_rsp* rsp) {
  ++core.calls;
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

  // Nulls fail without calling the core; so does every refusal of the core.
  for (u32 rc : {BleInGate(&ic, nullptr), BleOutGate(nullptr, &orsp), BlePollingCard(nullptr)})
    EXPECT_EQ(rc, BLE_FAIL);
  EXPECT_EQ(core.calls, 3);
  core.result = -1;
  for (u32 rc : {BlePollingCard(&r), BleOutGate(&oc, &orsp), BleInGate(&ic, &ir), BleModuleInit()})
    EXPECT_EQ(rc, BLE_FAIL);
  EXPECT_EQ(core.calls, 6);
}

}  // namespace
