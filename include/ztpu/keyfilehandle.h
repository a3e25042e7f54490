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

// Open flags of security_open_file (bit set).
inline constexpr u32 SECURITY_OPEN_CREATE = 1;   // create when missing
inline constexpr u32 SECURITY_OPEN_ENCNAME = 2;  // use the encrypted file name

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

// Opens "basePath/name" (the encrypted name with SECURITY_OPEN_ENCNAME)
// read-write, creating it (mode 0600) when missing with SECURITY_OPEN_CREATE. Returns the
// descriptor and the file's length at *outFileLen (0 when just created; may
// be null), or a negative value.
int security_open_file(const char* basePath, const char* name, u32 opFlag, u32* outFileLen);

// Reads the whole open file into a new buffer (left untouched when the file
// is empty, with length 0).
int security_read_file(int fd, u8** pOutData, u32* outDataLen);

// Replaces the whole content of the open file with `len` bytes: the old
// content goes whole to "path.b" (mode 0600, synced) first, then the file is
// rewritten and synced, "path.d" receives the MD5 of the new content (32 hex
// digits and a line feed) and the backup is removed. Reads of records and
// cryptfiles check the file against "path.d" when it exists.
int security_write_file(int fd, u8* pData, u32 len);

// Path of an open descriptor into `name` (room *len); internal.
int security_filenameofod(int fd, char* name, u32* len);

// ---- Device record and cryptfiles --------------------------------------

// Recomputes db->crc and writes the record, enciphered, to the open record
// file by the safe rewrite.
int security_dbflush(int fd, struct security_db* db);

// Deciphered, verified copy of the record (crc field 0), or null. When *pfd
// is negative the record file is opened first (created with a fresh record
// when missing) and its descriptor stored there; it stays open on failure.
// A record file that is damaged (empty, short, wrong version or CRC, or not
// the content its digest names) is restored from its backup when the backup
// passes the same checks; an empty one with neither backup nor digest
// becomes a fresh store. Other failures (fuse, cipher, memory, I/O) touch
// no file.
struct security_db* security_dbattach(int* pfd);

// Zeroes and frees a copy from security_dbattach; null is ignored.
void security_dbdetach(struct security_db* db);

// Reads and deciphers the cryptfile of logical name `fileName`; the payload
// comes back in a new buffer of exactly *len bytes. A missing cryptfile is
// created empty and fails. A damaged one is restored from its backup as the
// record is.
int security_get_cryptfile(struct security_db* pdb, char* fileName, u8** pData, u32* len);

// Enciphers `len` bytes as the cryptfile `fileName` (safe rewrite); the file
// is created when missing only if nCreateFlag is 1.
int security_save_cryptfile(struct security_db* pDb, char* fileName, int nCreateFlag, u8* pData,
                            u32 len);

// Deciphers data the server enciphered for this unit (three-key 3DES OFB
// under the key of the record's tpuSSN) into a new buffer; *noutlen == len.
int security_decrypt_srvdata(struct security_db* pdb, u8* pdata, int len, u8** poutdata,
                             int* noutlen);

// Server data key (24 bytes) of the record's tpuSSN; keylen must be >= 24.
int security_get_3deskey(struct security_db* pdb, u8* key, int keylen);

// Scrambling of the 8-byte store secret; exact inverses.
void security_flag_decode(u8* flag, u8* skey);
void security_flag_encode(u8* skey, u8* flag);

// Internal, declared for the tests: the base table, a new store secret, the
// same from a given seed, the bounds it draws under (position 0 is the bound
// itself, later positions the constant added to the sum of earlier bytes;
// a bound whose low 8 bits are 0 draws from the whole byte), and the fresh
// record written into a new file.
void security_Key_base(u8* base);
void security_Key_gen(u8* key);
void security_Key_gen_seeded(u8* key, unsigned int seed);
inline constexpr u8 SECURITY_KEYGEN_BOUNDS[8] = {251, 239, 227, 211, 197, 181, 163, 149};
int security_init_dbfile(int fd);
