// Transaction core and module table: the records of a ticket query and a
// payment, and the entry points the card-style interface calls.
#pragma once

#include <cstdint>

#include "ztpu/common.h"

// Result of a ticket query.
struct ztpu_query_rsp {
  u8 ticket_id;  // ticket number
  u32 user_id;
  std::int32_t balance;
  u32 ent_station_id;  // entry station; 0 on an entry gate
  u32 ent_time;        // entry time, seconds since the epoch
  u8 ent_time_bcd[BCD_TIME_LEN];
};

// An enter or exit request.
struct ztpu_pay_cmd {
  int do_pay;      // 0 entry, 1 exit
  u32 station_id;  // this gate's station
  u32 trade_time;  // seconds since the epoch
  u8 trade_time_bcd[BCD_TIME_LEN];
  int trade_fare;  // exits only
};

// The answer to an enter or exit.
struct ztpu_pay_rsp {
  u32 user_id;
  std::int32_t balance;  // ticket balance before the fare
};

// Validates the phone's latest ticket and holds it for the payment.
// 0 and the result in rsp, or -1 when no ticket is admitted.
int ztpu_query(ztpu_query_rsp* rsp);

// Pays with the ticket the preceding query validated. 0 and user id and
// balance in rsp, or -1 on refusal.
int ztpu_pay(const ztpu_pay_cmd* cmd, ztpu_pay_rsp* rsp);

// Starts the module table in order (configuration first); on a failure the
// modules already started are stopped again. 0, or -1.
int ztpu_init();

// Stops the module table in table order.
void ztpu_exit();
