// Phone link: the single-slot cache of the latest ticket record heard from a
// phone (filled by the acoustic receiver's thread, taken by the gate
// thread) and the Bluetooth serial port that carries the reply back.
#pragma once

#include <cstddef>
#include <ctime>

#include "ztpu/common.h"

// The record a phone plays: 26 bytes.
struct __attribute__((packed)) phone_rx {
  u8 ticket[10];   // enciphered with the key-table key named by key_id
  u8 pay_info[9];  // enciphered payment (entry) information
  u8 key_id[3];
  u8 time[2];  // issue time: hour (0..23), minute (0..59), plain binary
  u8 crc[2];   // CRC-16 over bytes 0..23, low byte first
};
static_assert(sizeof(phone_rx) == 26);
static_assert(offsetof(phone_rx, pay_info) == 10 && offsetof(phone_rx, key_id) == 19 &&
              offsetof(phone_rx, time) == 22 && offsetof(phone_rx, crc) == 24);

// The reply written to the phone: 21 bytes, little-endian fields at odd
// offsets. Sent enciphered as one block.
struct __attribute__((packed)) phone_tx {
  u8 status;       // always 0
  u32 flag;        // bytes 6..9 of the enciphered ticket, unchanged
  u8 pay_type;     // 1 entry, 2 exit
  u8 pay_info[9];  // entry: the enciphered entry information
  u32 pay_time;    // trade time, seconds since the epoch
  u16 crc;         // CRC-16 over the MD5 digest of bytes 0..18
};
static_assert(sizeof(phone_tx) == 21);
static_assert(offsetof(phone_tx, flag) == 1 && offsetof(phone_tx, pay_type) == 5 &&
              offsetof(phone_tx, pay_info) == 6 && offsetof(phone_tx, pay_time) == 15 &&
              offsetof(phone_tx, crc) == 19);

// Clears the cache, opens the Bluetooth port and starts the acoustic
// receiver. 0, or -1 with nothing left open.
int phone_init();

// Stops and frees the receiver, closes the Bluetooth port.
void phone_exit();

// Passes made by the acoustic receiver's thread so far (0 when it does not
// run): a watchdog sees it move while the thread is alive. Thread of
// phone_init and phone_exit only.
unsigned phone_rx_progress();

// Takes the cached record: 0 and the record in rx when one arrived at most
// one second ago, -1 otherwise (nothing copied). Either way the cache is
// emptied. Gate thread only (the single consumer).
int phone_receive(phone_rx* rx);

// Writes the 21 bytes at tx to the Bluetooth port as they are. Bytes
// written, or negative on error.
int phone_transmit(const phone_tx* tx);

// Receiver callback: a block of exactly 26 bytes with a good CRC replaces
// the cached record; anything else is dropped silently. arg is unused.
void phone_read_handler(unsigned char* buf, int count, void* arg);

// Test seam: the wall clock used for a record's age (nullptr: time()).
using phone_clock_fn = std::time_t (*)();
void phone_set_clock(phone_clock_fn clock);

// Bluetooth serial port (115200 bit/s, serial defaults). Only the gate
// thread writes to it.
int bt_open();  // 0, or -1 after "failed to open bluetooth device"
void bt_close();
int bt_write(const void* buf, size_t n);  // serial_write's result
