// Card-style gate interface over the transaction core. Logs nothing itself:
// the core and the time conversion log their own reasons and the gate loop
// decides what the gate is told.
#include "ztpu/interface.h"

#include <cstring>

#include "ztpu/le.h"
#include "ztpu/ztpu.h"

namespace {

using ztpu::get_le32;
using ztpu::put_le32;

// The 32-bit user id widened to the 64-bit card id.
void put_user_id(u8* p, u32 user_id) {
  put_le32(p, user_id);
  std::memset(p + 4, 0, 4);
}

u32 pay(int do_pay, const u8* deal_time, const u8* station, int fare, InGateRsp* rsp) {
  ztpu_pay_cmd cmd{};
  cmd.do_pay = do_pay;
  cmd.station_id = get_le32(station);
  std::memcpy(cmd.trade_time_bcd, deal_time, BCD_TIME_LEN);
  unsigned int stamp = 0;
  // No order, sequence id or reply to the phone with a made-up time: the
  // gate is refused (the conversion logs why).
  if (time_bcd_to_stamp(reinterpret_cast<const char*>(deal_time), &stamp) != 0) return BLE_FAIL;
  cmd.trade_time = stamp;
  cmd.trade_fare = fare;
  ztpu_pay_rsp r{};
  if (ztpu_pay(&cmd, &r) != 0) return BLE_FAIL;
  rsp->cardType = 0xAA;
  put_le32(rsp->balance, static_cast<u32>(r.balance));
  put_user_id(rsp->userID, r.user_id);
  return BLE_OK;
}

}  // namespace

u32 BleModuleInit() { return ztpu_init() == 0 ? BLE_OK : BLE_FAIL; }

void BleModuleExit() { ztpu_exit(); }

u32 BlePollingCard(PollingRsp* pPollingRsp) {
  if (pPollingRsp == nullptr) return BLE_FAIL;
  ztpu_query_rsp q{};
  if (ztpu_query(&q) != 0) return BLE_FAIL;
  pPollingRsp->cardType = 0xAA;
  put_user_id(pPollingRsp->cardID, q.user_id);
  pPollingRsp->antFlag = 3;
  put_le32(pPollingRsp->entSta, q.ent_station_id);
  return BLE_OK;
}

u32 BleInGate(const InGateCmd* pInGateCmd, InGateRsp* pInGateRsp) {
  if (pInGateCmd == nullptr || pInGateRsp == nullptr) return BLE_FAIL;
  return pay(0, pInGateCmd->dealTime, pInGateCmd->entSta, 0, pInGateRsp);
}

u32 BleOutGate(const OutGateCmd* pOutGateCmd, OutGateRsp* pOutGateRsp) {
  if (pOutGateCmd == nullptr || pOutGateRsp == nullptr) return BLE_FAIL;
  const int fare = static_cast<int>(get_le32(pOutGateCmd->ticketFare));
  return pay(1, pOutGateCmd->dealTime, pOutGateCmd->extSta, fare, pOutGateRsp);
}

u32 BleSetPara(u8 /*ucSetType*/, u8 /*ucParaType*/, u8* /*pParaData*/, u8* /*pParaPath*/) {
  return BLE_OK;
}
