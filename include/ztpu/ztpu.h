// Transaction core and module table: the records of a ticket query and a
// payment, and the entry points the card-style interface calls.
//
// Deciphered ticket (10 bytes): ticket number, user id (4 bytes, little-
// endian), balance (3 bytes), CRC-16 of bytes 0..7 stored high byte first.
// The balance is an unsigned 24-bit number stored little-endian like every
// other number the phone sends: byte 5 is the low byte (shift 0), byte 6
// the middle (shift 8), byte 7 the high byte (shift 16). The phone
// application writes it that way.
#pragma once

#include <cstdint>
#include <ctime>

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
// 0 and the result in rsp, or -1 when no ticket is admitted. Gate thread
// only, as is everything below that touches the held ticket.
int ztpu_query(ztpu_query_rsp* rsp);

// Pays with the ticket the preceding query validated: stores the order line
// (on disk before this returns), then sends the phone its enciphered reply.
// 0 and user id and balance in rsp, or -1 on refusal (nothing stored).
int ztpu_pay(const ztpu_pay_cmd* cmd, ztpu_pay_rsp* rsp);

// Progress of the current transaction: 0 query started, 1 phone record
// taken, 2 ticket validated, 3 paid.
int ztpu_get_state();
void ztpu_reset_state();

// Cuts the order record file back to its last complete line when its last
// byte is not a line feed (a torn append), logging what was dropped. The
// caller holds the exclusive flock on the record lock file. A missing or
// empty file is left alone. 0, or -1 when the file could not be read or cut.
int ztpu_repair_record_file();

// Test seam: the wall clock of the ticket rules (nullptr: time()).
using ztpu_clock_fn = std::time_t (*)();
void ztpu_set_clock(ztpu_clock_fn clock);

// Starts the module table in order (configuration first); on a failure the
// modules already started are stopped again. 0, or -1.
int ztpu_init();

// Stops the module table in table order.
void ztpu_exit();
