// Secure device store: the unit record "tpu.db" and named encrypted payload
// files (cryptfiles) in the store directory, bound to the board by the CPU's
// fuse serial number, plus the file helpers they are built on.
//
// Conventions: 0 (or a descriptor or length, as stated) on success, -1 on
// failure with a log line at LOG_ERR. A buffer handed out through a u8**
// belongs to the caller, who releases it with free(); record copies are
// released with security_dbdetach. Nothing here locks: two rewrites of the
// same file must not overlap (the callers serialise them).
#pragma once

#include <cstddef>

#include "ztpu/common.h"

// The device record, 64 bytes, little-endian.
struct __attribute__((packed)) security_db {
  u8 version;         // record format version; always 1
  u8 state;           // 1: not initialised; otherwise set by provisioning
  u16 crc;            // CRC-16 of the 64 bytes with this field 0
  u8 flag[8];         // scrambled store secret
  u8 tpuSSN[12];      // unit serial number assigned by the server
  u8 deviceID[16];    // unit identifier assigned by the server
  u8 savekeyver[2];   // version of the key files last stored; 00 00: none
  u8 runkeyver[2];    // version of the key table in use
  u8 confVer[16];     // configuration version
  u8 v0Setted;        // 1 once "key_v0" is stored
  u8 confSetted;      // 1 once a configuration file is stored
  u8 deviceIDSetted;  // 1 once deviceID and tpuSSN are stored
  u8 scvEnable;       // reserved, 0
};
static_assert(sizeof(security_db) == 64);
static_assert(offsetof(security_db, crc) == 2);
static_assert(offsetof(security_db, flag) == 4);
static_assert(offsetof(security_db, tpuSSN) == 12);
static_assert(offsetof(security_db, deviceID) == 24);
static_assert(offsetof(security_db, savekeyver) == 40);
static_assert(offsetof(security_db, runkeyver) == 42);
static_assert(offsetof(security_db, confVer) == 44);
static_assert(offsetof(security_db, v0Setted) == 60);
static_assert(offsetof(security_db, scvEnable) == 63);

// Logical name of the record file.
inline constexpr const char* SECURITY_DB_NAME = "tpu.db";

// ---- Store file helpers -------------------------------------------------

// CPU serial number (8 bytes) from the fuse file: hexadecimal text, optional
// "0x" prefix, digits most significant first, left-aligned and zero-padded.
int security_get_cpussn(u8* ssn);

// Device type 110000, 4 bytes little-endian. Always 0.
int security_get_devtype(u8* devtype);

// `slen` hex characters at `src` to bytes at `dst`; an odd length reads as if
// led by '0'. On entry *dlen is the room at `dst`, on return the number of
// bytes written. -1 on a null pointer, a room or length of 0, a length above
// 255, or a character that is not a hex digit ("h1:"/"h2:" log lines).
int security_hexstr2hex(char* dst, int* dlen, const char* src, int slen);

// 2*len upper-case hex digits and a terminating zero at `str`.
void security_hex2str(u8* hex, int len, char* str);

// Encrypted file name of a logical name: 32 upper-case hex digits of
// MD5(ssn, name) and a zero (33 bytes at `outName`).
int security_get_encfilename(const char* name, char* outName);
