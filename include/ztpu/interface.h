// Card-style gate interface: the transaction core in the shape of a
// contactless card reader's programming interface. Records are byte-packed
// with multi-byte numbers little-endian, kept as byte arrays so that no
// field is ever read unaligned. Every operation returns 0 for success and
// 0xFFFFFFFF (-1) for failure. Called from the gate loop's thread only.
#pragma once

#include <cstddef>

#include "ztpu/common.h"

inline constexpr u32 BLE_OK = 0;
inline constexpr u32 BLE_FAIL = 0xFFFFFFFFu;

struct s_PollingRsp {
  u8 cardType;   // always 0xAA
  u8 cardID[8];  // user id as unsigned 64-bit, upper half zero
  u8 antFlag;    // always 3
  u8 entSta[4];  // entry station id
};
using PollingRsp = s_PollingRsp;

struct s_InGateCmd {
  u8 dealTime[BCD_TIME_LEN];  // transaction time, BCD
  u8 entSta[4];               // this (entry) gate's station id
  u8 retFlag;                 // not used
};
using InGateCmd = s_InGateCmd;

struct s_InGateRsp {
  u8 userID[8];   // user id as unsigned 64-bit, upper half zero
  u8 balance[4];  // signed 32-bit
  u8 cardType;    // always 0xAA
};
using InGateRsp = s_InGateRsp;

struct s_OutGateCmd {
  u8 dealTime[BCD_TIME_LEN];
  u8 extSta[4];      // this (exit) gate's station id
  u8 ticketFare[4];  // fare to charge, unsigned 32-bit
  u8 retFlag;        // not used
};
using OutGateCmd = s_OutGateCmd;

using s_OutGateRsp = s_InGateRsp;
using OutGateRsp = s_OutGateRsp;

static_assert(sizeof(PollingRsp) == 14 && offsetof(PollingRsp, cardID) == 1 &&
              offsetof(PollingRsp, antFlag) == 9 && offsetof(PollingRsp, entSta) == 10);
static_assert(sizeof(InGateCmd) == 12 && offsetof(InGateCmd, entSta) == 7 &&
              offsetof(InGateCmd, retFlag) == 11);
static_assert(sizeof(InGateRsp) == 13 && offsetof(InGateRsp, balance) == 8 &&
              offsetof(InGateRsp, cardType) == 12);
static_assert(sizeof(OutGateCmd) == 16 && offsetof(OutGateCmd, extSta) == 7 &&
              offsetof(OutGateCmd, ticketFare) == 11 && offsetof(OutGateCmd, retFlag) == 15);

// Starts the module table (0 or -1).
u32 BleModuleInit();
// Stops the module table.
void BleModuleExit();
// Runs a ticket query and fills the record.
u32 BlePollingCard(PollingRsp* pPollingRsp);
// Pays as an entry.
u32 BleInGate(const InGateCmd* pInGateCmd, InGateRsp* pInGateRsp);
// Pays as an exit with a fare.
u32 BleOutGate(const OutGateCmd* pOutGateCmd, OutGateRsp* pOutGateRsp);
// Accepts any parameter and does nothing; returns 0.
u32 BleSetPara(u8 ucSetType, u8 ucParaType, u8* pParaData, u8* pParaPath);
