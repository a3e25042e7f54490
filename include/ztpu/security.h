// Security module: the key tables produced by the server's code plug-in,
// ticket and record cryptography, provisioning and key-version switching,
// on the secure device store (keyfilehandle.h). The store's descriptor, the
// context and the record helpers stay inside the module.
//
// Conventions: 0 on success, -1 on failure with a log line at LOG_ERR,
// unless a function says otherwise. Key bytes never appear in the log.
//
// Threads: security_init/security_exit run before the other threads start
// and after they stop. Lookups (security_get_algorithm_and_key,
// security_get_random_alg_and_key and the cipher operations built on them)
// may run on any thread at any time; they hold the read lock of the table
// set. Loads (security_load_keytable, security_enable_pf) run one at a time;
// removal (security_remove_keytable) may run on another thread. The record
// and the cryptfiles are changed by one thread at a time (start-up, then the
// server command thread); the context getters take no lock because the
// values they read do not change after start.
#pragma once

#include <cstddef>

#include "ztpu/common.h"
#include "ztpu/keyfilehandle.h"

// ---- Key tables --------------------------------------------------------------

// One key; also the layout the plug-in writes.
struct __attribute__((packed)) security_key_row {
  u8 alg;      // cipher mode of crypto_crypt to use with this key
  u8 key[32];  // always handed out as 32 bytes
  u8 id[3];    // key id; a ticket names its key by these bytes
};
static_assert(sizeof(security_key_row) == 36);
static_assert(offsetof(security_key_row, key) == 1);
static_assert(offsetof(security_key_row, id) == 33);

inline constexpr int SECURITY_MAX_ROWS = 256;
inline constexpr int SECURITY_MAX_TABLES = 8;
inline constexpr u32 SECURITY_ROWS_ROOM = SECURITY_MAX_ROWS * sizeof(security_key_row);  // 9216

// One loaded key version.
struct security_key_table {
  u16 nRow;       // valid rows, 1..256
  u8 version[2];  // key version it was loaded for
  security_key_row rows[SECURITY_MAX_ROWS];
};

// Loads the table of version `ver` (verlen >= 2) through the plug-in and
// appends it. 0 when loaded or already loaded; -1 when 8 tables are loaded
// or the plug-in fails (the set is then unchanged). No plug-in file is left
// behind in either case.
int security_load_keytable(u8* ver, int verlen);

// Finds the first row, in load order of the tables and row order within
// each, whose id equals the 3 bytes at nInKeyId: writes its alg, 32 key
// bytes to nOutKey (room 32) and 32 to *keylen. -1 when no table is loaded
// or no row matches (both logged).
int security_get_algorithm_and_key(u8* nInKeyId, u8* nOutAlg, u8* nOutKey, int* keylen);

// Picks a row at random (the same row for every call within one second).
// On entry *idLen >= 3 and *keylen >= 32 give the room; writes id, alg and
// key and sets the counts to 3 and 32. -1 when no table is loaded.
int security_get_random_alg_and_key(u8* nOutKeyId, int* idLen, u8* nOutAlg, u8* nOutKey,
                                    int* keylen);

// 1 when a table is marked for removal, else 0.
int security_is_need_remove_old_keytable();

// Removes the marked table, keeping the order of the others, and clears the
// mark. -1 (mark kept) with no mark, with only one table loaded, or when no
// table has the marked version.
int security_remove_keytable();

// ---- Ticket and record cryptography ---------------------------------------

struct decrypt_voucher_param {
  u8* voucher;  // enciphered voucher
  int voucherlen;
  u8* keyid;     // 3-byte key id naming the key-table row
  int keyidlen;  // always taken as 3
};

struct encrypt_rsp2app_param {
  u32 userid;  // gives the IV
  u8* ticket;  // the key
  int ticketlen;
  u8* data;  // reply bytes
  int datalen;
};

// Longest voucher accepted: its clear form must fit the 256-byte work area.
inline constexpr int SECURITY_VOUCHER_MAX = 240;

// Deciphers a voucher with the key its key id names and checks its trailing
// CRC-16 (either byte order). On entry *outl is the room at `out`, on return
// the clear length (signature included). -1 on an unknown key, a voucher
// longer than 240 or whose clear form is shorter than 2 bytes, too little
// room (no message), or a bad signature ("signature err"; `out` then holds
// the clear bytes).
int security_decrypt_voucher(struct decrypt_voucher_param* in, u8* out, int* outl);

// The first steps of security_decrypt_voucher, for a caller with its own
// rule on the signature: the clear bytes (signature included) to `out`,
// counts as there, and the row's cipher mode to *alg. 0; -1 on an unknown
// key (the lookup logs); -2 on a refused voucher, a cipher failure or too
// little room.
int security_decipher_voucher(struct decrypt_voucher_param* in, u8* out, int* outl, u8* alg);

// TAC of `datalen` bytes (0 to 1 MiB): MD5 of their ciphertext under a
// randomly picked key row. Writes the row's key id (3 bytes) to nOutKeyId and 16 bytes to
// `out`; *outl must be >= 16 on entry and is 16 on return.
int security_gen_tac(u8* data, int datalen, u8* nOutKeyId, u8* out, int* outl);

// Writes the sign code into data[datalen-1] (the caller's buffer changes),
// then enciphers the datalen bytes (AES-128-CFB under the user-id key) into
// `out`. *outl: room on entry (>= datalen), output length on return.
// datalen must be at least 1.
int security_encrypt_enterinfo(u32 userid, u8* data, int datalen, u8* out, int* outl);

// Deciphers an entry record into `out` and checks its sign code; counts as
// above. -1 with a log line on a wrong sign code (e.g. another user).
int security_decrypt_enterinfo(u32 userid, u8* data, int datalen, u8* out, int* outl);

// Deciphers like security_decrypt_enterinfo but leaves the judgement to the
// caller: *code is the sign code the clear bytes call for (no message when
// it differs from the last clear byte).
int security_decipher_enterinfo(u32 userid, u8* data, int datalen, u8* out, int* outl, u8* code);

// Enciphers the reply for the phone (AES-128-CFB, key = ticket bytes, IV =
// user-id key) into `out`; *outl = datalen on return. `out` needs room for
// datalen bytes.
int security_encrypt_rsp2app_data(struct encrypt_rsp2app_param* in, u8* out, int* outl);

// ---- Module, identity and provisioning ----------------------------------

// Opens the store, keeps a held copy of the record and loads the table of
// its runkeyver. -1 (context closed, no table) on an unprovisioned unit
// (state 1) or when the table does not load.
int security_init();

// Releases the held copy, closes the record file and frees every table.
void security_exit();

// Copy of the record as the file holds it now (not the held copy), for a
// provisioning tool. 0, or -1 (the store logs why).
int security_read_record(struct security_db* out);

// Copies of the values taken at start. 12 / 0, or -1 when the room is short
// (security_get_deviceid zeroes `len` bytes first).
// Kept for callers: the module's documented getters, unused by the daemon.
int security_get_tpussn(u8* tpussn, int ssnlen);
int security_get_deviceid(u8* id, int len);

// The state taken at start, or 1 before start. Always 0.
int security_get_tpustate(u8* state);

// Stores a new unit state: written at once, then taken into the held copy
// and the context. -1 on a failed write (held copy and context unchanged).
int security_set_tpustate(u8 state);

// Held-copy values: confVer 16 bytes (returns 16), versions 2 bytes (0).
int security_get_confver(u8* confVer, int verlen);
int security_get_runkeyver(u8* runkeyver, int verlen);
// Kept for callers: the module's documented getters, unused by the daemon.
int security_get_savekeyver(u8* savekeyver, int verlen);

// Store a new value through the held copy (verlen exactly 16 or 2): the
// changed record is written first and becomes the held copy only then; an
// unchanged value writes nothing. -1 without a held copy or on a failed
// write (the held copy keeps its old value).
int security_set_confver(u8* confVer, int verlen);
int security_set_runkeyver(u8* runkeyver, int verlen);
int security_set_savekeyver(u8* savekeyver, int verlen);

// Stores deviceID (16 bytes) and tpuSSN (12 bytes). Cryptfiles stored under
// another tpuSSN become unreadable.
int security_save_deviceid_and_ssn(u8* id, u8* ssn);
// Kept for callers: the module's documented getters, unused by the daemon.
int security_get_deviceid_and_ssn(u8* id, u8* ssn);

// Writes the configuration file (all `len` bytes, replaced as a whole) and
// marks it stored.
int security_save_config(u8* confdata, int len);

// Stores the base key file "key_v0" as received and marks it stored.
int security_save_v0(u8* v0data, int len);

// Stores a key payload: u32 P, P plug-in bytes, u16 F, F factor bytes (both
// parts still under the server data key), length exactly 6 + P + F, F >= 1;
// the deciphered factor starts with the 2-byte version V. P < 2 reuses the
// stored plug-in of the saved version. Sets savekeyver = V; in state 1 it
// also switches to V.
int security_save_pf2file(u8* pData, u32 len);

// Makes `ver` (2 bytes) the version in use: loads its table, sets runkeyver,
// and, when the previous version differs from the saved one, deletes the
// previous version's files and marks its table for removal (removed later by
// security_remove_keytable; both tables serve lookups meanwhile).
int security_enable_pf(u8* ver);

// What is provisioned (0 or 1 each): base key file, configuration, and key
// files of savekeyver (both present and not empty).
int security_get_cryptfile_stat(u8* v0setted, u8* confsetted, u8* pfsetted);

// Device type (4 bytes) then the CPU serial number (8 bytes); 12, or -1.
int security_get_device_info(u8* devinfo);
